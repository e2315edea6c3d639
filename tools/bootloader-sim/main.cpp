// bootloader-sim: the simulated datalogger bootloader as a command for people and scripts.
// The first line it prints is the device to open; events follow, one per line.

#include "bootloader_sim.h"
#include "command_line.h"
#include "trace.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kHelp[] = R"(Usage: bootloader-sim [OPTION]...
       bootloader-sim --make-sample N PATH
       bootloader-sim --image-of FILE (--image-hex PATH | --image-bin PATH [--image-base ADDR])

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
      late                 accept, but answer only after MS (default --late-ms); the
                           answers behind it wait for it
      noise                put a few random non-token bytes before the answer
      xoff                 send XOFF, then after MS (default --xoff-ms) the answer and XON;
                           with noise on the same line, the noise comes while held
      xoff-after           send XOFF behind the answer, XON after MS, nothing in between
      hangup               close the line instead of answering; the simulator then exits
  --random-faults RATE     a random fault on a received record with chance RATE (0..1); never
                           on a line's third send, so a host that resends gets through
  --random-every-send      let random faults hit every send of a line
  --random-kinds LIST      the kinds random faults pick from (default checksum,silent,noise)
  --seed N                 seed for random faults and noise bytes (default 1)
  --late-ms MS             delay of late answers (default 3500; random ones: 1 to MS)
  --xoff-ms MS             XOFF hold (default 1000; random ones: 1 to MS, half of them
                           with noise while held)
  --late-overtakes         let the answers behind a late one overtake it
  --naive                  end an update with @# even when a line was never accepted, as a
                           bootloader that cannot see a missing record does

Images
  --image-hex PATH         after each session, write the image it flashed as Intel HEX
  --image-bin PATH         after each session, write the image as a binary from --image-base
  --image-base ADDR        first address of --image-bin (default: lowest address written)

Other modes
  --make-sample N PATH     write a made-up update file of N 16-byte data records and exit
  --image-of FILE          write the image that update FILE flashes (with --image-hex or
                           --image-bin) and exit; cmp it with a session's image
  -q, --quiet              print only the device path
  -h, --help               show this help and exit

Commands on standard input: restart, stats, quit.
Exit status: 0 done, 1 the line or a file could not be set up, 2 bad options.
)";

int g_signal_pipe[2] = {-1, -1};

void OnSignal(int) {
    const char c = 's';
    [[maybe_unused]] const ssize_t w = ::write(g_signal_pipe[1], &c, 1);
}

bool WriteImage(const bootsim::Command& c, const bootsim::MemoryImage& image, std::string* error) {
    if (!c.image_hex.empty() && !bootsim::WriteFile(c.image_hex, image.ToIntelHex(), error)) {
        return false;
    }
    if (!c.image_bin.empty()) {
        std::string bin;
        const std::uint32_t base = c.image_base_set ? c.image_base : image.Lowest();
        if (!image.ToBinary(base, bin)) {
            *error = "the image has bytes below --image-base";
            return false;
        }
        return bootsim::WriteFile(c.image_bin, bin, error);
    }
    return true;
}

std::string Stamp(std::chrono::steady_clock::time_point origin) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - origin)
                        .count();
    char buf[32];
    std::snprintf(buf, sizeof buf, "[%6lld.%03lld] ", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000));
    return buf;
}

void PrintStats(const bootsim::Stats& s) {
    std::printf(
        "state %s; restarts %llu, ready requests %llu, records %llu (lines %llu), acks %llu, "
        "checksum errors %llu, flash errors %llu, unanswered %llu, faults %llu, garbage %llu; "
        "sessions %llu completed, %llu ok, %llu abandoned; bytes in %llu, out %llu; cpu %llu us\n",
        bootsim::LoaderStateName(s.state), static_cast<unsigned long long>(s.restarts),
        static_cast<unsigned long long>(s.ready_requests),
        static_cast<unsigned long long>(s.records), static_cast<unsigned long long>(s.lines),
        static_cast<unsigned long long>(s.acks), static_cast<unsigned long long>(s.checksum_errors),
        static_cast<unsigned long long>(s.flash_errors),
        static_cast<unsigned long long>(s.unanswered), static_cast<unsigned long long>(s.faults),
        static_cast<unsigned long long>(s.garbage),
        static_cast<unsigned long long>(s.sessions_completed),
        static_cast<unsigned long long>(s.sessions_ok),
        static_cast<unsigned long long>(s.sessions_aborted),
        static_cast<unsigned long long>(s.bytes_received),
        static_cast<unsigned long long>(s.bytes_sent), static_cast<unsigned long long>(s.cpu_us));
    std::fflush(stdout);
}

int Serve(bootsim::Command& c) {
    if (::pipe(g_signal_pipe) != 0) {
        std::fprintf(stderr, "bootloader-sim: pipe: %s\n", std::strerror(errno));
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    const auto origin = std::chrono::steady_clock::now();
    if (!c.quiet) {
        c.sim.log = [origin](const std::string& text) {
            std::printf("%s%s\n", Stamp(origin).c_str(), text.c_str());
            std::fflush(stdout);
        };
    }
    if (!c.image_hex.empty() || !c.image_bin.empty()) {
        c.sim.on_session = [&c](const bootsim::SessionReport& r) {
            std::string error;
            if (!WriteImage(c, *r.image, &error)) {
                std::fprintf(stderr, "bootloader-sim: %s\n", error.c_str());
            }
        };
    }

    bootsim::Simulator sim(c.sim);
    try {
        sim.Start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bootloader-sim: %s\n", e.what());
        return 1;
    }
    std::printf("%s\n", sim.DevicePath().c_str());
    if (!c.quiet) {
        if (!c.sim.link_path.empty()) {
            std::printf("%slink %s -> %s\n", Stamp(origin).c_str(), c.sim.link_path.c_str(),
                        sim.DevicePath().c_str());
        }
        if (c.sim.restart_after_ms < 0 && c.sim.restart_every_ms <= 0) {
            std::printf("%stype \"restart\" to restart the datalogger\n", Stamp(origin).c_str());
        }
    }
    std::fflush(stdout);

    // Tells the main loop when the simulator has nothing more to do.
    std::thread watcher([&sim] {
        sim.WaitUntilFinished(std::chrono::hours(24 * 365 * 100));
        const char f = 'f';
        [[maybe_unused]] const ssize_t w = ::write(g_signal_pipe[1], &f, 1);
    });

    bool stdin_open = true;
    std::string pending;
    bool finished = false;
    bool stop = false;
    while (!stop) {
        pollfd fds[2] = {{g_signal_pipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(fds, stdin_open ? 2 : 1, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents & POLLIN) {
            char why = 0;
            if (::read(g_signal_pipe[0], &why, 1) == 1) {
                finished = why == 'f';
                stop = true;
            }
        }
        if (stdin_open && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[512];
            const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0) {
                stdin_open = false;  // no terminal (a script, CI): keep serving
                continue;
            }
            pending.append(buf, static_cast<std::size_t>(n));
            std::size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
                    line.pop_back();
                }
                if (line == "restart") {
                    sim.Restart();
                } else if (line == "stats") {
                    PrintStats(sim.GetStats());
                } else if (line == "quit" || line == "exit") {
                    stop = true;
                } else if (!line.empty()) {
                    std::printf("commands: restart, stats, quit\n");
                    std::fflush(stdout);
                }
            }
        }
    }
    if (finished && sim.GetStats().state == bootsim::LoaderState::Finished && c.linger_ms > 0) {
        // The host may still be reading the final tokens; give it a moment before the line
        // goes away under it.
        pollfd p{g_signal_pipe[0], POLLIN, 0};
        ::poll(&p, 1, c.linger_ms);
    }
    sim.Stop();
    watcher.join();
    if (!c.quiet) {
        PrintStats(sim.GetStats());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bootsim::Command c;
    try {
        c = bootsim::ParseArgs(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const bootsim::UsageError& e) {
        std::fprintf(stderr, "bootloader-sim: %s\nTry 'bootloader-sim --help'.\n",
                     e.message.c_str());
        return 2;
    }
    if (c.help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    std::string error;
    if (c.sample_records >= 0) {
        const std::string text = bootsim::MakeSampleUpdate(static_cast<int>(c.sample_records));
        if (!bootsim::WriteFile(c.sample_path, text, &error)) {
            std::fprintf(stderr, "bootloader-sim: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    if (!c.image_of.empty()) {
        bootsim::MemoryImage image;
        if (!bootsim::ImageOfUpdateFile(c.image_of, image, &error) ||
            !WriteImage(c, image, &error)) {
            std::fprintf(stderr, "bootloader-sim: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    return Serve(c);
}
