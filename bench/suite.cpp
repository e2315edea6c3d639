// The suite's driver: its command line, its work folder, and the sections in the order they
// run, each with the figures it must produce.

#include "suite.h"

#include "suite_shared.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
