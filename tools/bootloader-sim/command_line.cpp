#include "command_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace bootsim {

namespace {

[[noreturn]] void Bad(const std::string& message) {
    throw UsageError{message};
}

// Numbers are decimal, leading zeros and all: "@09" is line 9 and "@010" line 10, as
// anybody who counts lines reads them. Only an address may be written in hex, with 0x.
long long ParseInt(const std::string& option, const std::string& text, long long lo, long long hi,
                   int base = 10) {
    const bool hex =
        base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    errno = 0;
    const long long v = digits.empty() || digits.find_first_not_of(allowed) != std::string::npos
                            ? -1
                            : std::strtoll(digits.c_str(), nullptr, hex ? 16 : 10);
    if (v < 0 || errno != 0 || v < lo || v > hi) {
        Bad(option + ": expected a number from " + std::to_string(lo) + " to " +
            std::to_string(hi) + ", got '" + text + "'");
    }
    return v;
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        const std::size_t comma = std::min(text.find(',', pos), text.size());
        out.push_back(text.substr(pos, comma - pos));
        pos = comma + 1;
    }
    return out;
}

bool IsDecimalNumber(const std::string& s) {
    const std::size_t dot = s.find('.');
    const std::string whole = s.substr(0, dot);
    const std::string frac = dot == std::string::npos ? "0" : s.substr(dot + 1);
    auto digits = [](const std::string& t) {
        return !t.empty() && t.find_first_not_of("0123456789") == std::string::npos;
    };
    return digits(whole) && digits(frac);
}

}  // namespace

const char kUsage[] = R"(Usage: bootloader-sim [OPTION]...
       bootloader-sim --make-sample N PATH
       bootloader-sim --image-of FILE [--image-hex PATH] [--image-bin PATH [--image-base ADDR]]
                      [--write-log PATH]

Simulates the datalogger's serial bootloader on a pseudo-terminal. Prints the slave device
(the "serial port" to open at 57600 8N1, XON/XOFF) on the first line of its output, then one
line per event. Point the program at it with QUORVEL_COM1=<device or link>.

The line
  --link PATH              make PATH a symbolic link to the device (removed on exit)
  --pace                   move bytes no faster than a real 57600 baud 8N1 line (173.6 us
                           a byte); without it every answer goes out at once
  --pace-baud N            like --pace, at N baud
  --idle-gap MS            bytes that are not a whole record end after MS quiet (default 30)
  --trace PATH             write every byte received and sent, with its time, to PATH
  --linger MS              after the last session, keep the line open MS (default 1000)

Restarts (a session begins when the bootloader sends '^')
  --restart-after MS       announce MS after start and after each session
  --restart-every MS       announce every MS until a ready request arrives (a demo needs
                           no typing); first announcement after --restart-after, if given
  --sessions N             serve N sessions, then exit (default 0: no limit)
  --session-timeout MS     give up a session that hears nothing for MS, then restart as
                           above (for a program that abandons an update halfway)
  Without either restart option, type "restart" on standard input.

The version record: <prefix>V<loader>|<firmware>?
  --loader-version X       decimal loader version (default 1.30; below 1.28 is an old loader)
  --firmware-version TEXT  the firmware the datalogger has now (default 2.05)
  --version-prefix TEXT    text before the V (default "BOOT ")
  --old-loader             same as --loader-version 1.20
  --no-version             leave out the V and | parts: the record is <prefix>?
  --omit PARTS             leave out parts: a comma list of loader, firmware, ready
  --silent-ready K         leave the first K ready requests of each session unanswered
  --split PIECES[:MS]      send the version record (and the final @#) in PIECES pieces, MS
                           apart (default 40)

Faults (LINE counts the data lines of a session from 1; resends share their line's number;
numbers are decimal)
  --fault KIND@LINE[xCOUNT][:MS][/SESSION]
                           inject a fault on the first COUNT (default 1) sends of LINE, in
                           every session or only in SESSION; repeatable. KIND is one of
      checksum             answer '-' and drop the line
      flash                answer '%' (a flash write error: the update fails)
      silent               answer nothing and drop the line
      stray                drop the line as silent does, but send '-' after MS (default
                           --late-ms) all the same: noise in the wait, answered as garbled
      late                 accept, but answer only after MS (default --late-ms); the
                           answers behind it wait for it
      very-late            accept, but answer only after MS (default --very-late-ms), long
                           after any host gave the line up; the answers behind it wait too
      noise                put a few random non-token bytes before the answer
      xoff                 send XOFF, then after MS (default --xoff-ms) the answer and XON;
                           with noise on the same line, the noise comes while held
      xoff-after           send XOFF behind the answer, XON after MS (default --xoff-ms),
                           nothing in between: the host's next line waits in its port
      hangup               close the line instead of answering; the simulator then exits
      duplicate            send the answer twice (e.g. ~~ or @#@#), as a loader with a
                           retransmit bug or an echo does
      restart              restart instead of answering (a watchdog, a brown-out): send '^'
                           and wait for a ready request; the session is abandoned, flash
                           keeps what it wrote
      restart-erase        the same on a bootloader that erases the application area as it
                           starts: the abandoned session leaves flash empty
  --random-faults RATE     a random fault on a received record with chance RATE (0..1); never
                           on a line's third send, so a host that resends gets through
  --random-every-send      let random faults hit every send of a line
  --random-kinds LIST      the kinds random faults draw (default checksum,silent,noise);
                           KIND*N weighs one N times as heavy (checksum*20,restart: one
                           restart for every 20 checksum errors)
  --seed N                 seed for random faults and noise bytes (default 1)
  --late-ms MS             delay of late answers (default 3500; random ones: 1 to MS)
  --very-late-ms MS        delay of very late answers (default 30000; random ones: MS/3 to
                           MS)
  --xoff-ms MS             XOFF hold of xoff and xoff-after (default 1000; random ones: 1
                           to MS, half of the random xoff ones with noise while held)
  --late-overtakes         let the answers behind a late one overtake it
  --naive                  end an update with @# even when a line was never accepted, as a
                           bootloader that cannot see a missing record does

Images (a session that a restart or --session-timeout abandons writes them too: they then
show what it left in flash)
  --image-hex PATH         after each session, write the image it flashed as Intel HEX
  --image-bin PATH         after each session, write the image as a binary from --image-base
  --image-base ADDR        first address of --image-bin (default: lowest address written)
  --write-log PATH         after each session, write the records it wrote to flash, one a
                           line, in order: every record answered '~' (a resend of an
                           accepted line again), the end-of-file record last if answered '@'

Other modes
  --make-sample N PATH     write a made-up update file of N 16-byte data records and exit
  --image-of FILE          write the image that update FILE flashes (with --image-hex or
                           --image-bin) and the write log of its update (--write-log), and
                           exit; cmp them with a session's
  -q, --quiet              print only the device path
  -h, --help               show this help and exit

Commands on standard input: restart, stats, quit.
Exit status: 0 done, 1 the line or a file could not be set up, 2 bad options.
)";

Fault ParseFault(const std::string& text) {
    const std::string option = "--fault " + text;
    const std::size_t at = text.find('@');
    Fault f;
    if (at == std::string::npos || !ParseFaultKind(text.substr(0, at), f.kind)) {
        Bad(option +
            ": expected KIND@LINE with KIND one of checksum, flash, silent, stray, late, "
            "very-late, "
            "noise, xoff, xoff-after, hangup, duplicate, restart, restart-erase");
    }
    std::string rest = text.substr(at + 1);
    auto take = [&](char mark) -> std::string {
        const std::size_t p = rest.find(mark);
        if (p == std::string::npos) {
            return std::string();
        }
        std::string tail = rest.substr(p + 1);
        rest.erase(p);
        if (tail.empty()) {
            Bad(option + ": nothing after '" + std::string(1, mark) + "'");
        }
        return tail;
    };
    // Peeled from the end, in the reverse of the order they are written in.
    const std::string session = take('/');
    const std::string ms = take(':');
    const std::string count = take('x');
    f.line = static_cast<int>(ParseInt(option, rest, 1, 1000000000));
    if (!count.empty()) {
        f.count = static_cast<int>(ParseInt(option, count, 1, 1000000000));
    }
    if (!ms.empty()) {
        f.ms = static_cast<int>(ParseInt(option, ms, 0, 3600000));
    }
    if (!session.empty()) {
        f.session = static_cast<int>(ParseInt(option, session, 1, 1000000000));
    }
    return f;
}

Command ParseArgs(const std::vector<std::string>& args) {
    Command c;
    Options& o = c.sim;
    o.sessions = 0;
    const std::size_t argc = args.size();
    for (std::size_t i = 0; i < argc; ++i) {
        std::string arg = args[i];
        std::string value;
        bool has_inline = false;
        if (arg.rfind("--", 0) == 0) {
            const std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.erase(eq);
                has_inline = true;
            }
        }
        auto next = [&]() -> std::string {
            if (has_inline) {
                has_inline = false;
                return value;
            }
            if (i + 1 >= argc) {
                Bad(arg + " needs a value");
            }
            return args[++i];
        };
        auto number = [&](long long lo, long long hi) { return ParseInt(arg, next(), lo, hi); };
        auto flag = [&] {
            if (has_inline) {
                Bad(arg + " takes no value");
            }
        };

        if (arg == "--help" || arg == "-h") {
            flag();
            c.help = true;
        } else if (arg == "--link") {
            o.link_path = next();
        } else if (arg == "--pace") {
            flag();
            o.pace_baud = 57600;
        } else if (arg == "--pace-baud") {
            o.pace_baud = static_cast<unsigned>(number(50, 4000000));
        } else if (arg == "--idle-gap") {
            o.idle_gap_ms = static_cast<int>(number(1, 60000));
        } else if (arg == "--trace") {
            o.trace_path = next();
        } else if (arg == "--linger") {
            c.linger_ms = static_cast<int>(number(0, 600000));
        } else if (arg == "--restart-after") {
            o.restart_after_ms = static_cast<int>(number(0, 86400000));
        } else if (arg == "--restart-every") {
            o.restart_every_ms = static_cast<int>(number(1, 86400000));
        } else if (arg == "--session-timeout") {
            o.session_timeout_ms = static_cast<int>(number(1, 86400000));
        } else if (arg == "--sessions") {
            o.sessions = static_cast<int>(number(0, 1000000000));
        } else if (arg == "--loader-version") {
            o.loader_version = next();
            if (!IsDecimalNumber(o.loader_version)) {
                Bad("--loader-version: expected a decimal number such as 1.30, got '" +
                    o.loader_version + "'");
            }
        } else if (arg == "--firmware-version") {
            o.firmware_version = next();
        } else if (arg == "--version-prefix") {
            o.version_prefix = next();
        } else if (arg == "--old-loader") {
            flag();
            o.loader_version = "1.20";
        } else if (arg == "--no-version") {
            flag();
            o.send_loader_version = false;
            o.send_firmware_version = false;
        } else if (arg == "--omit") {
            for (const std::string& part : SplitList(next())) {
                if (part == "loader") {
                    o.send_loader_version = false;
                } else if (part == "firmware") {
                    o.send_firmware_version = false;
                } else if (part == "ready") {
                    o.send_ready_token = false;
                } else {
                    Bad("--omit: unknown part '" + part + "' (loader, firmware, ready)");
                }
            }
        } else if (arg == "--silent-ready") {
            o.silent_ready_requests = static_cast<int>(number(0, 1000000));
        } else if (arg == "--split") {
            const std::string v = next();
            const std::size_t colon = v.find(':');
            o.split_pieces = static_cast<int>(ParseInt(arg, v.substr(0, colon), 1, 1000));
            if (colon != std::string::npos) {
                o.split_gap_ms = static_cast<int>(ParseInt(arg, v.substr(colon + 1), 0, 60000));
            }
        } else if (arg == "--fault") {
            o.faults.push_back(ParseFault(next()));
        } else if (arg == "--random-faults") {
            const std::string v = next();
            char* end = nullptr;
            o.random_fault_rate = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(o.random_fault_rate >= 0) ||
                o.random_fault_rate > 1) {
                Bad("--random-faults: expected a rate from 0 to 1, got '" + v + "'");
            }
        } else if (arg == "--random-kinds") {
            // KIND*N weighs a kind: a draw picks it as if it stood N times in the list, so
            // that habits which end a run can be rare beside those a host rides out.
            o.random_kinds.clear();
            for (const std::string& item : SplitList(next())) {
                const std::size_t star = item.find('*');
                const std::string name = item.substr(0, star);
                FaultKind k;
                if (!ParseFaultKind(name, k)) {
                    Bad("--random-kinds: unknown fault kind '" + name + "'");
                }
                const long long weight =
                    star == std::string::npos ? 1 : ParseInt(arg, item.substr(star + 1), 1, 1000);
                o.random_kinds.insert(o.random_kinds.end(), static_cast<std::size_t>(weight), k);
            }
        } else if (arg == "--random-every-send") {
            flag();
            o.random_every_send = true;
        } else if (arg == "--late-overtakes") {
            flag();
            o.late_overtakes = true;
        } else if (arg == "--naive") {
            flag();
            o.naive = true;
        } else if (arg == "--seed") {
            o.seed = static_cast<std::uint64_t>(number(0, 0x7FFFFFFFFFFFFFFFll));
        } else if (arg == "--late-ms") {
            o.late_ms = static_cast<int>(number(0, 3600000));
        } else if (arg == "--very-late-ms") {
            o.very_late_ms = static_cast<int>(number(0, 3600000));
        } else if (arg == "--xoff-ms") {
            o.xoff_ms = static_cast<int>(number(0, 3600000));
        } else if (arg == "--image-hex") {
            c.image_hex = next();
        } else if (arg == "--image-bin") {
            c.image_bin = next();
        } else if (arg == "--write-log") {
            o.write_log_path = next();
        } else if (arg == "--image-base") {
            c.image_base = static_cast<std::uint32_t>(ParseInt(arg, next(), 0, 0xFFFFFFFFll, 16));
            c.image_base_set = true;
        } else if (arg == "--make-sample") {
            c.sample_records = number(0, 10000000);
            c.sample_path = next();
        } else if (arg == "--image-of") {
            c.image_of = next();
        } else if (arg == "--quiet" || arg == "-q") {
            flag();
            c.quiet = true;
        } else {
            Bad("unknown option '" + args[i] + "'");
        }
        if (has_inline) {
            Bad(arg + " takes no value");
        }
    }
    if (!c.image_of.empty() && c.image_hex.empty() && c.image_bin.empty() &&
        o.write_log_path.empty()) {
        Bad("--image-of needs --image-hex, --image-bin or --write-log");
    }
    return c;
}

}  // namespace bootsim
