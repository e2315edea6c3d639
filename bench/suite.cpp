// The suite's driver: its command line, its work folder, and the sections in the order they
// run, each with the figures it must produce.

#include "suite.h"

#include "suite_shared.h"

#include "chatter.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

const char kUsage[] = R"(Usage: quorvel-bench [--quick] [OPTION]...
       quorvel-bench window --device PATH --file PATH [--lean] [--gaps]

Measures Quorvel's host side against the simulated bootloader on a pseudo-terminal and prints
a table of figures, targets and verdicts. Every update runs in a fresh process; the simulator
runs in a process of its own and is never counted.

  --quick            a smoke run of a few hundred lines: checks that every measurement
                     produces a number, judges nothing (for CI)
  --runs N           unpaced runs of each host (default 5)
  --paced-runs N     runs at 57600 baud of each host (default 3)
  --wait-runs N      runs of each waiting scenario (default 3)
  --memory-runs N    runs of each peak-memory update (default 3)
  --chatter-runs N   runs of quorvel-cli's restart wait with and without chatter (default 3)
  --lines N          data lines of the throughput and paced updates (default 5000)
  --only LIST        run only these sections, a comma list of unpaced, paced, waits,
                     memory, chatter
  --no-quiet-wait    do not wait for other load on the machine to pass before a timed run
  --sim-default-slack
                     run the simulator with the kernel's default timer slack (50 us)
                     instead of 1 ns: its paced replies then come later than the wire's
  --sim PATH         the bootloader-sim command (default: the one built with this program)
  --reference PATH   the reference-host command (default: likewise)
  --cli PATH         the quorvel-cli command (default: likewise)
  -h, --help         show this help
)";

int PositiveArg(const char* option, const char* value) {
    const int n = value != nullptr ? std::atoi(value) : 0;
    if (n <= 0) {
        std::fprintf(stderr, "quorvel-bench: %s needs a positive number\n", option);
        std::exit(2);
    }
    return n;
}

}  // namespace

namespace bench::suite {

void Suite::Throughput() {
    std::printf("Unpaced updates of %d data lines\n", c_.lines);
    for (int i = 1; i <= c_.runs; ++i) {
        for (Host host : {Host::Window, Host::Reference}) {
            const std::string who = host == Host::Window ? "window" : "reference";
            Setup s;
            s.host = host;
            s.file = updateFile_;
            s.sim_args = {"--restart-every", "50"};
            s.needs = {"transfer_us", "transfer_cpu_us", "rtt_median_us", "rtt_p99_us",
                       "turn_median_us"};
            RunResult r;
            if (!Measure(who + " run " + std::to_string(i), s, r)) {
                continue;
            }
            const bench::Report& p = r.report;
            const double lines = p.Number("sends");
            if (lines != c_.lines) {
                ++failures_;
                std::printf("    sent %s lines for %d: resends on a clean line\n",
                            Num(lines, 0).c_str(), c_.lines);
                continue;
            }
            f_.Add(who + ".lines_per_s", lines * 1e6 / p.Number("transfer_us"));
            f_.Add(who + ".rtt_median", p.Number("rtt_median_us"));
            f_.Add(who + ".rtt_p99", p.Number("rtt_p99_us"));
            f_.Add(who + ".turn_median", p.Number("turn_median_us"));
            f_.Add(who + ".cpu_per_line", p.Number("transfer_cpu_us") / lines);
            f_.Add(who + ".user_per_line", p.Number("transfer_user_us") / lines);
            f_.Add(who + ".system_per_line", p.Number("transfer_system_us") / lines);
        }
    }
}

namespace {

// Wire time of a byte: 10 bits (start, 8 data, stop) at 57600 baud.
constexpr double kByteUs = 10.0 * 1e6 / 57600.0;

}  // namespace

void Suite::Paced() {
    std::printf("Updates of %d data lines at 57600 baud (simulator --pace)\n", c_.lines);
    for (int i = 1; i <= c_.paced_runs; ++i) {
        for (Host host : {Host::Window, Host::Reference}) {
            const std::string who = host == Host::Window ? "window" : "reference";
            Setup s;
            s.host = host;
            s.file = updateFile_;
            s.sim_args = {"--restart-every", "50", "--pace"};
            s.timeout = std::chrono::seconds(60 + c_.lines / 50);
            s.needs = {"transfer_us", "bytes_in", "bytes_out", "turn_median_us"};
            RunResult r;
            if (!Measure(who + " paced run " + std::to_string(i), s, r)) {
                continue;
            }
            const bench::Report& p = r.report;
            const double wire_us = (p.Number("bytes_out") + p.Number("bytes_in")) * kByteUs;
            f_.Add(who + ".wire_ratio", p.Number("transfer_us") / wire_us);
            f_.Add(who + ".beyond_wire_per_line",
                   (p.Number("transfer_us") - wire_us) / p.Number("sends"));
            f_.Add(who + ".paced_turn_median", p.Number("turn_median_us"));
        }
    }
}

void Suite::AddWait(const std::string& figure, const bench::Report& report,
                    const std::string& span) {
    const double wall_us = report.Number(span + "_us");
    f_.Add(figure, 100.0 * report.Number(span + "_cpu_us") / wall_us);
    f_.Add(figure + ".s", wall_us / 1e6);
}

void Suite::Waits() {
    std::printf("Waits (the window's own processor time over each)\n");
    const std::string restartAfter = c_.quick ? "1000" : "3000";
    const int silentLines = c_.quick ? 3 : 10;
    for (int i = 1; i <= c_.wait_runs; ++i) {
        // The restart comes seconds after the port opens; the first ready request goes
        // unanswered; the end record is never answered, the prompt about it is answered Yes,
        // and the final wait hears nothing.
        Setup s;
        s.file = waitFile_;
        s.sim_args = {"--restart-after", restartAfter,
                      "--silent-ready",  "1",
                      "--fault",         "silent@" + std::to_string(kWaitUpdateLines) + "x3"};
        s.host_args = {"--gaps"};
        s.outcome = "NoFinalReply";
        s.needs = {"restart_wait_us", "ready_wait_us", "line_wait_us", "final_wait_us"};
        RunResult r;
        if (Measure("restart, ready, reply, final " + std::to_string(i), s, r)) {
            AddWait("restart_wait", r.report, "restart_wait");
            AddWait("ready_wait", r.report, "ready_wait");
            AddWait("reply_wait", r.report, "line_wait");
            AddWait("final_wait", r.report, "final_wait");
        }

        // An old loader that ignores some lines: each costs the tick wait.
        Setup o;
        o.file = waitFile_;
        o.sim_args = {"--old-loader", "--restart-every", "50"};
        for (int line = 2; line < 2 + silentLines; ++line) {
            o.sim_args.insert(o.sim_args.end(), {"--fault", "silent@" + std::to_string(line)});
        }
        o.host_args = {"--gaps"};
        o.outcome = "UpdateFailed";
        o.needs = {"line_wait_us"};
        if (Measure("old loader tick waits " + std::to_string(i), o, r)) {
            AddWait("tick_wait", r.report, "line_wait");
            if (r.report.Number("line_waits") != silentLines) {
                std::printf("    %s tick waits for %d silent lines\n",
                            Num(r.report.Number("line_waits"), 0).c_str(), silentLines);
            }
        }
    }
}

void Suite::Memory() {
    std::printf("Peak memory (fresh process per update)\n");
    const struct {
        const char* figure;
        int lines;  // the version line and the data lines
        std::string file;
    } updates[] = {
        {"mem.small", 100, WriteUpdate(c_, 99)},
        {"mem.large", LargeUpdateLines(c_), WriteUpdate(c_, LargeUpdateLines(c_) - 1)},
    };
    for (int i = 1; i <= c_.memory_runs; ++i) {
        for (const auto& u : updates) {
            Setup s;
            s.file = u.file;
            s.sim_args = {"--restart-every", "50"};
            s.host_args = {"--lean"};
            s.timeout = std::chrono::seconds(180);
            RunResult r;
            if (Measure(Num(u.lines, 0) + "-line update " + std::to_string(i), s, r)) {
                f_.Add(u.figure, double(r.usage.ru_maxrss) / 1024.0);
            }
        }
    }
}

namespace {

// What a datalogger says before its restart in the chatter section: about 1 MB/s, the rate
// at which a chattering logger once took the program's memory up by 35 MB in 20 s.
constexpr double kChatterBytes = 20e6;
constexpr int kChatterSpanMs = 20000;
constexpr double kQuickChatterBytes = 2e6;
constexpr int kQuickChatterSpanMs = 2000;
// The exit status of quorvel-cli when no ready request was answered.
constexpr int kCliNoResponse = 3;

}  // namespace

void Suite::Chatter() {
    const double bytes = c_.quick ? kQuickChatterBytes : kChatterBytes;
    const int span_ms = c_.quick ? kQuickChatterSpanMs : kChatterSpanMs;
    std::printf(
        "quorvel-cli's restart wait: %s MB of chatter over %s s, and the same wait "
        "in silence\n",
        Num(bytes / 1e6, 0).c_str(), Num(span_ms / 1000.0, 0).c_str());
    for (int i = 1; i <= c_.chatter_runs; ++i) {
        for (const bool loud : {true, false}) {
            bench::ChatterSetup s;
            s.argv = {c_.cli};
            s.args = {"--file", waitFile_, "--on-error", "abort"};
            s.bytes = loud ? bytes : 0;
            s.span = std::chrono::milliseconds(span_ms);
            const double busy = gate_.Before();
            const bench::ChatterResult r = bench::RunChatter(s);
            std::string error = r.error;
            if (error.empty() &&
                (!WIFEXITED(r.status) || WEXITSTATUS(r.status) != kCliNoResponse ||
                 r.output.find("No response from Datalogger.") == std::string::npos)) {
                error = "ended with status " +
                        std::to_string(WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1) +
                        ", expected " + std::to_string(kCliNoResponse) + " (no response)";
            }
            if (error.empty() && r.cpu_share < 0) {
                error = "its processor time could not be read";
            }
            std::printf("  %-34s",
                        ((loud ? "chatter run " : "silent run ") + std::to_string(i)).c_str());
            if (!error.empty()) {
                ++failures_;
                std::printf("FAILED: %s\n", error.c_str());
                std::fflush(stdout);
                continue;
            }
            std::printf("ok   (machine %2.0f%% busy before; %s MB in %s s)\n", busy,
                        Num(r.sent / 1e6, 1).c_str(), Num(r.span_s, 1).c_str());
            std::fflush(stdout);
            const std::string key = loud ? "chatter.loud" : "chatter.silent";
            f_.Add(key + ".mem", double(r.usage.ru_maxrss) / 1024.0);
            f_.Add(key + ".cpu", r.cpu_share);
            if (loud) {
                f_.Add("chatter.rate", r.sent / 1e6 / r.span_s);
            }
        }
    }
}

int Suite::Run() {
    std::printf("Quorvel host benchmark%s\n", c_.quick ? " (quick)" : "");
    std::printf("  machine: %u cores, %s; load average %s\n", std::thread::hardware_concurrency(),
                CpuModel().c_str(), FirstLineOf("/proc/loadavg").c_str());
    std::printf("  simulator: %s (a separate process, never counted)\n\n", c_.sim.c_str());
    std::fflush(stdout);

    updateFile_ = WriteUpdate(c_, c_.lines);
    waitFile_ = WriteUpdate(c_, kWaitUpdateLines);
    // Each section and the figures it must produce.
    const struct Section {
        const char* name;
        void (Suite::*run)();
        std::vector<const char*> figures;
    } sections[] = {
        {"unpaced",
         &Suite::Throughput,
         {"window.lines_per_s", "window.rtt_median", "window.rtt_p99", "window.cpu_per_line",
          "window.turn_median", "reference.lines_per_s", "reference.cpu_per_line"}},
        {"paced", &Suite::Paced, {"window.wire_ratio", "reference.wire_ratio"}},
        {"waits",
         &Suite::Waits,
         {"restart_wait", "ready_wait", "tick_wait", "final_wait", "reply_wait"}},
        {"memory", &Suite::Memory, {"mem.small", "mem.large"}},
        {"chatter",
         &Suite::Chatter,
         {"chatter.silent.mem", "chatter.loud.mem", "chatter.silent.cpu", "chatter.loud.cpu"}},
    };
    std::vector<const char*> expected;
    for (const Section& section : sections) {
        if (c_.only.empty() || ("," + c_.only + ",").find("," + std::string(section.name) + ",") !=
                                   std::string::npos) {
            (this->*section.run)();
            expected.insert(expected.end(), section.figures.begin(), section.figures.end());
        }
    }
    PrintTable();
    std::printf("Load average at the end: %s\n", FirstLineOf("/proc/loadavg").c_str());
    for (const char* key : expected) {
        if (!std::isfinite(f_.Median(key))) {
            std::printf("No number for %s.\n", key);
            ++failures_;
        }
    }
    if (failures_ > 0) {
        std::printf("\n%d measurement(s) failed: see above.\n", failures_);
        return 1;
    }
    return 0;
}

}  // namespace bench::suite

int RunSuite(int argc, char** argv) {
    bench::suite::Config c;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--quick") {
            c.quick = true;
        } else if (a == "--runs") {
            c.runs = PositiveArg(argv[i], value), ++i;
        } else if (a == "--paced-runs") {
            c.paced_runs = PositiveArg(argv[i], value), ++i;
        } else if (a == "--wait-runs") {
            c.wait_runs = PositiveArg(argv[i], value), ++i;
        } else if (a == "--memory-runs") {
            c.memory_runs = PositiveArg(argv[i], value), ++i;
        } else if (a == "--chatter-runs") {
            c.chatter_runs = PositiveArg(argv[i], value), ++i;
        } else if (a == "--lines") {
            c.lines = PositiveArg(argv[i], value), ++i;
        } else if (a == "--no-quiet-wait") {
            c.quiet_wait = false;
        } else if (a == "--only" && value != nullptr) {
            c.only = value, ++i;
        } else if (a == "--sim-default-slack") {
            c.precise_sim = false;
        } else if (a == "--sim" && value != nullptr) {
            c.sim = value, ++i;
        } else if (a == "--reference" && value != nullptr) {
            c.reference = value, ++i;
        } else if (a == "--cli" && value != nullptr) {
            c.cli = value, ++i;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "quorvel-bench: unknown option '%s'\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    if (c.quick) {
        c.runs = c.paced_runs = c.wait_runs = c.memory_runs = c.chatter_runs = 1;
        c.lines = 300;
    }
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        std::fprintf(stderr, "quorvel-bench: cannot find its own executable\n");
        return 1;
    }
    c.self.assign(self, std::size_t(n));

    char dir[] = "/tmp/quorvel-bench-XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
        std::fprintf(stderr, "quorvel-bench: cannot make a work folder: %s\n",
                     std::strerror(errno));
        return 1;
    }
    c.dir = dir;
    // The window host's private runtime folder, which Qt wants to find ready.
    ::mkdir((c.dir + "/runtime").c_str(), 0700);
    int status = 1;
    try {
        status = bench::suite::Suite(c).Run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorvel-bench: %s\n", e.what());
    }
    std::error_code ignored;
    std::filesystem::remove_all(c.dir, ignored);
    return status;
}
