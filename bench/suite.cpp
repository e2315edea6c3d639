#include "suite.h"

#include "bootloader_sim.h"
#include "chatter.h"
#include "measure.h"
#include "process.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

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

// Wire time of a byte: 10 bits (start, 8 data, stop) at 57600 baud.
constexpr double kByteUs = 10.0 * 1e6 / 57600.0;
// Other load on the machine above this share of all cores makes a timed run wait.
constexpr double kQuietBusyPercent = 15;
constexpr int kQuietMaxWaitS = 180;
// The data lines of the updates that measure waits: a few lines between the waits suffice.
constexpr int kWaitUpdateLines = 20;
// What a datalogger says before its restart in the chatter section: about 1 MB/s, the rate
// at which a chattering logger once took the program's memory up by 35 MB in 20 s.
constexpr double kChatterBytes = 20e6;
constexpr int kChatterSpanMs = 20000;
constexpr double kQuickChatterBytes = 2e6;
constexpr int kQuickChatterSpanMs = 2000;
// The exit status of quorvel-cli when no ready request was answered.
constexpr int kCliNoResponse = 3;

struct Config {
    bool quick = false;
    int runs = 5;
    int paced_runs = 3;
    int wait_runs = 3;
    int memory_runs = 3;
    int chatter_runs = 3;
    int lines = 5000;
    bool quiet_wait = true;
    std::string only;  // empty: every section
    // The simulator stands in for a wire, which delivers a byte on time; with the kernel's
    // default timer slack each of its paced wake-ups (two a line) could come 50 us late
    // and be counted against the host.
    bool precise_sim = true;
    std::string sim = QUORVEL_BENCH_SIM;
    std::string reference = QUORVEL_BENCH_REFERENCE;
    std::string cli = QUORVEL_BENCH_CLI;
    std::string self;
    std::string dir;
};

// ---- the machine ------------------------------------------------------------------------

struct CpuTicks {
    unsigned long long total = 0;
    unsigned long long idle = 0;
};

CpuTicks ReadCpuTicks() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    unsigned long long v[8] = {};
    in >> cpu >> v[0] >> v[1] >> v[2] >> v[3] >> v[4] >> v[5] >> v[6] >> v[7];
    CpuTicks t;
    for (unsigned long long x : v) {
        t.total += x;
    }
    t.idle = v[3] + v[4];  // idle and waiting for I/O
    return t;
}

// The share of all cores that was busy over the next interval, in percent.
double BusyPercent(milliseconds over) {
    const CpuTicks a = ReadCpuTicks();
    std::this_thread::sleep_for(over);
    const CpuTicks b = ReadCpuTicks();
    const double total = double(b.total - a.total);
    return total > 0 ? 100.0 * (total - double(b.idle - a.idle)) / total : 0;
}

std::string FirstLineOf(const char* path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "unknown processor";
}

// Timing figures mean something only on a quiet machine: before each timed run, wait until
// other people's builds and tests have let go of the cores (nothing of ours runs then).
class QuietGate {
public:
    explicit QuietGate(bool wait) : wait_(wait) {}

    // The busy share just before the run.
    double Before() {
        double busy = BusyPercent(milliseconds(300));
        const std::int64_t give_up = bench::NowUs() + std::int64_t(kQuietMaxWaitS) * 1000000;
        bool told = false;
        while (wait_ && busy > kQuietBusyPercent && bench::NowUs() < give_up) {
            if (!told) {
                std::printf(
                    "    (machine %.0f%% busy with other work; waiting for it to quieten)\n", busy);
                std::fflush(stdout);
                told = true;
            }
            busy = BusyPercent(milliseconds(1000));
        }
        worst_ = std::max(worst_, busy);
        return busy;
    }
    double Worst() const { return worst_; }

private:
    const bool wait_;
    double worst_ = 0;
};

// ---- update files ---------------------------------------------------------------------------

// A made-up update file with exactly dataLines data lines after its version line; the
// simulator's sample maker adds an address record every 64 KiB and the end record.
std::string WriteUpdate(const Config& c, int dataLines) {
    int records = dataLines - 1;
    while (records > 0 && records + (records + 4095) / 4096 + 1 > dataLines) {
        --records;
    }
    const std::string text = bootsim::MakeSampleUpdate(records);
    int count = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line, '\n');) {
        count += line.empty() || line.front() == 'V' ? 0 : 1;
    }
    if (count != dataLines) {
        throw std::runtime_error("cannot make an update of " + std::to_string(dataLines) +
                                 " data lines");
    }
    const std::string path = c.dir + "/update-" + std::to_string(dataLines) + ".upd";
    std::string error;
    if (!bootsim::WriteFile(path, text, &error)) {
        throw std::runtime_error(error);
    }
    return path;
}

// ---- one run ------------------------------------------------------------------------------

enum class Host { Window, Reference };

struct Setup {
    Host host = Host::Window;
    std::string file;
    std::vector<std::string> sim_args;
    std::vector<std::string> host_args;
    seconds timeout{60};
    std::string outcome = "Updated";
    std::vector<std::string> needs;  // report keys the run must produce
};

struct RunResult {
    std::string error;  // empty when the run produced what it should
    bench::Report report;
    rusage usage{};
};

// One update on a fresh simulator, by a fresh host process.
RunResult RunOnce(const Config& c, const Setup& s) {
    RunResult r;
    std::vector<std::string> sim_argv = {c.sim, "--quiet"};
    sim_argv.insert(sim_argv.end(), s.sim_args.begin(), s.sim_args.end());
    bench::Child sim = bench::Child::Start(sim_argv, {}, c.precise_sim);
    const std::optional<std::string> device = sim.ReadLine(seconds(10));
    if (!device || device->empty()) {
        r.error = "the simulator did not start";
        return r;
    }
    std::vector<std::string> argv;
    if (s.host == Host::Window) {
        argv = {c.self, "window"};
    } else {
        argv = {c.reference};
    }
    argv.insert(argv.end(), {"--device", *device, "--file", s.file});
    argv.insert(argv.end(), s.host_args.begin(), s.host_args.end());
    bench::Child host =
        bench::Child::Start(argv, {"QT_QPA_PLATFORM=offscreen", "QT_LOGGING_RULES=qt.qpa.*=false",
                                   "XDG_RUNTIME_DIR=" + c.dir + "/runtime"});
    const bench::Child::Result done = host.Finish(s.timeout);
    sim.Stop();

    r.report = bench::Report::Parse(done.output);
    r.usage = done.usage;
    if (done.timed_out) {
        r.error = "timed out after " + std::to_string(s.timeout.count()) + " s";
    } else if (s.host == Host::Window && !done.ExitedZero()) {
        r.error = "the window host failed";
    } else if (r.report.Word("outcome") != s.outcome) {
        r.error = "ended " +
                  (r.report.Word("outcome").empty() ? std::string("without a report")
                                                    : r.report.Word("outcome")) +
                  ", expected " + s.outcome;
    }
    for (const std::string& key : s.needs) {
        if (r.error.empty() && !r.report.Has(key)) {
            r.error = "no " + key + " in its report";
        }
    }
    return r;
}

// ---- figures -------------------------------------------------------------------------------

class Figures {
public:
    void Add(const std::string& key, double value) { values_[key].push_back(value); }
    double Median(const std::string& key) const {
        const auto it = values_.find(key);
        return it == values_.end() ? std::nan("") : bench::Median(it->second);
    }
    std::string Runs(const std::string& key, int decimals) const;

private:
    std::map<std::string, std::vector<double>> values_;
};

std::string Num(double v, int decimals) {
    if (std::isnan(v)) {
        return "n/a";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    if (decimals > 0 || std::fabs(v) < 1000) {
        return text;
    }
    // Thousands separators for the large whole numbers.
    std::string digits = text;
    const std::size_t start = digits[0] == '-' ? 1 : 0;
    for (int pos = int(digits.size()) - 3; pos > int(start); pos -= 3) {
        digits.insert(std::size_t(pos), ",");
    }
    return digits;
}

std::string Figures::Runs(const std::string& key, int decimals) const {
    const auto it = values_.find(key);
    if (it == values_.end()) {
        return "n/a";
    }
    std::string out;
    for (double v : it->second) {
        out += (out.empty() ? "" : " ") + Num(v, decimals);
    }
    return out;
}

// The lines (version line included) of the update whose peak memory is held against that
// of a 100-line one: the largest the program takes, 32,767 lines.
int LargeUpdateLines(const Config& c) {
    return c.quick ? 1000 : 32767;
}

// ---- the measurements -------------------------------------------------------------------------

class Suite {
public:
    explicit Suite(Config c) : c_(std::move(c)), gate_(c_.quiet_wait && !c_.quick) {}

    int Run();

private:
    // Runs one setup, notes its failure, prints its progress line; false when it failed.
    bool Measure(const std::string& label, const Setup& s, RunResult& r);
    void Throughput();
    void Paced();
    void Waits();
    void Memory();
    void Chatter();
    // Notes the processor share (percent of one core) and the length (s) of a wait.
    void AddWait(const std::string& figure, const bench::Report& report, const std::string& span);
    void PrintTable() const;

    Config c_;
    QuietGate gate_;
    Figures f_;
    int failures_ = 0;
    std::string updateFile_;
    std::string waitFile_;
};

bool Suite::Measure(const std::string& label, const Setup& s, RunResult& r) {
    const double busy = gate_.Before();
    r = RunOnce(c_, s);
    std::printf("  %-34s", label.c_str());
    if (!r.error.empty()) {
        ++failures_;
        std::printf("FAILED: %s\n", r.error.c_str());
        std::fflush(stdout);
        return false;
    }
    std::printf("ok   (machine %2.0f%% busy before)\n", busy);
    std::fflush(stdout);
    return true;
}

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

void Suite::Paced() {
    std::printf("Updates of %d data lines at 57600 baud (simulator --pace)\n", c_.lines);
    for (int i = 1; i <= c_.paced_runs; ++i) {
        for (Host host : {Host::Window, Host::Reference}) {
            const std::string who = host == Host::Window ? "window" : "reference";
            Setup s;
            s.host = host;
            s.file = updateFile_;
            s.sim_args = {"--restart-every", "50", "--pace"};
            s.timeout = seconds(60 + c_.lines / 50);
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
            s.timeout = seconds(180);
            RunResult r;
            if (Measure(Num(u.lines, 0) + "-line update " + std::to_string(i), s, r)) {
                f_.Add(u.figure, double(r.usage.ru_maxrss) / 1024.0);
            }
        }
    }
}

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
            s.span = milliseconds(span_ms);
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

// ---- the table --------------------------------------------------------------------------------

void Row(const std::string& label, const std::string& quorvel, const std::string& reference,
         const std::string& ratio, const std::string& target, const std::string& verdict) {
    std::printf("%-42s %11s %11s %9s  %-12s %s\n", label.c_str(), quorvel.c_str(),
                reference.c_str(), ratio.c_str(), target.c_str(), verdict.c_str());
}

std::string Ratio(double a, double b) {
    return std::isnan(a) || std::isnan(b) || b == 0 ? "" : Num(a / b, 2) + "x";
}

class Judge {
public:
    explicit Judge(bool quick) : quick_(quick) {}
    // at_most: the figure must not exceed the limit; else it must reach it.
    std::string operator()(double value, double limit, bool at_most) const {
        if (std::isnan(value)) {
            return "NO NUMBER";
        }
        if (quick_) {
            return "(quick: not judged)";
        }
        const bool pass = at_most ? value <= limit : value >= limit;
        const double off = 100.0 * std::fabs(value - limit) / limit;
        if (pass) {
            return off <= 100 ? "PASS (" + Num(off, off < 10 ? 1 : 0) + "% margin)" : "PASS";
        }
        return "FAIL (" + Num(off, off < 10 ? 1 : 0) + (at_most ? "% over)" : "% short)");
    }

private:
    bool quick_;
};

void Suite::PrintTable() const {
    const Judge judge(c_.quick);
    const Figures& f = f_;
    std::printf(
        "\nResults: medians of %d unpaced, %d paced, %d waiting, %d memory and %d "
        "chatter runs%s\n\n",
        c_.runs, c_.paced_runs, c_.wait_runs, c_.memory_runs, c_.chatter_runs,
        c_.quick ? " (quick smoke run: figures are not meaningful)" : "");
    Row("", "Quorvel", "reference", "ratio", "target", "verdict");
    Row("1 Lines per second, unpaced", Num(f.Median("window.lines_per_s"), 0),
        Num(f.Median("reference.lines_per_s"), 0),
        Ratio(f.Median("window.lines_per_s"), f.Median("reference.lines_per_s")), ">= 10,000",
        judge(f.Median("window.lines_per_s"), 10000, false));
    Row("  Round trip per line, median (us)", Num(f.Median("window.rtt_median"), 1),
        Num(f.Median("reference.rtt_median"), 1),
        Ratio(f.Median("window.rtt_median"), f.Median("reference.rtt_median")), "", "");
    Row("  Round trip per line, 99th percentile (us)", Num(f.Median("window.rtt_p99"), 1),
        Num(f.Median("reference.rtt_p99"), 1),
        Ratio(f.Median("window.rtt_p99"), f.Median("reference.rtt_p99")), "", "");
    Row("  Host turnaround per line, median (us)", Num(f.Median("window.turn_median"), 1),
        Num(f.Median("reference.turn_median"), 1),
        Ratio(f.Median("window.turn_median"), f.Median("reference.turn_median")), "", "");
    Row("2 Processor time per line (us)", Num(f.Median("window.cpu_per_line"), 1),
        Num(f.Median("reference.cpu_per_line"), 1),
        Ratio(f.Median("window.cpu_per_line"), f.Median("reference.cpu_per_line")), "<= 25",
        judge(f.Median("window.cpu_per_line"), 25, true));
    // The kernel splits a process's exact processor time between user and system by
    // sampling at clock ticks, so over a fraction of a second the split is rough.
    Row("    user, sampled (us)", Num(f.Median("window.user_per_line"), 1),
        Num(f.Median("reference.user_per_line"), 1), "", "", "");
    Row("    system, sampled (us)", Num(f.Median("window.system_per_line"), 1),
        Num(f.Median("reference.system_per_line"), 1), "", "", "");
    Row("3 Paced at 57600 baud: time / wire time", Num(f.Median("window.wire_ratio"), 4),
        Num(f.Median("reference.wire_ratio"), 4), "", "<= 1.02",
        judge(f.Median("window.wire_ratio"), 1.02, true));
    Row("    beyond the wire, per line (us)", Num(f.Median("window.beyond_wire_per_line"), 1),
        Num(f.Median("reference.beyond_wire_per_line"), 1),
        Ratio(f.Median("window.beyond_wire_per_line"), f.Median("reference.beyond_wire_per_line")),
        "", "");
    Row("    host turnaround per line, median (us)", Num(f.Median("window.paced_turn_median"), 1),
        Num(f.Median("reference.paced_turn_median"), 1),
        Ratio(f.Median("window.paced_turn_median"), f.Median("reference.paced_turn_median")), "",
        "");
    Row("4 Processor while waiting (% of one core)", "", "", "", "", "");
    const struct {
        const char* key;
        const char* label;
        bool target;
    } waits[] = {
        {"restart_wait", "  (a) restart wait", true},
        {"ready_wait", "  (b) unanswered ready request", true},
        {"tick_wait", "  (c) old loader tick waits", true},
        {"final_wait", "  (d) final wait", true},
        {"reply_wait", "      reply waits (no target)", false},
    };
    for (const auto& w : waits) {
        const std::string key = w.key;
        const std::string label =
            std::string(w.label) + " [" + Num(f.Median(key + ".s"), 1) + " s]";
        Row(label, Num(f.Median(key), 3), "", "", w.target ? "<= 2" : "",
            w.target ? judge(f.Median(key), 2, true) : "");
    }
    const double small = f.Median("mem.small");
    const double large = f.Median("mem.large");
    const std::string largeLabel = Num(LargeUpdateLines(c_), 0);
    Row("5 Peak resident memory (MB)", "", "", "", "", "");
    Row("    100-line update", Num(small, 1), "", "", "", "");
    Row("    " + largeLabel + "-line update", Num(large, 1), "", "", "< 80",
        judge(large, 80, true));
    Row("    growth", Num(large - small, 2), "", "", "<= 5", judge(large - small, 5, true));
    // The program's restart wait under a datalogger's chatter, against the same wait in
    // silence: the memory it keeps must not grow with what it hears, and hearing it must
    // cost little.
    const double silentMem = f.Median("chatter.silent.mem");
    const double loudMem = f.Median("chatter.loud.mem");
    Row("6 Restart wait under chatter (quorvel-cli)", "", "", "", "", "");
    Row("    chatter rate (MB/s)", Num(f.Median("chatter.rate"), 2), "", "", "", "");
    Row("    peak memory, silent wait (MB)", Num(silentMem, 1), "", "", "", "");
    Row("    peak memory, chatter (MB)", Num(loudMem, 1), "", "", "", "");
    Row("    growth (MB)", Num(loudMem - silentMem, 2), "", "", "<= 5",
        judge(loudMem - silentMem, 5, true));
    Row("    processor over the silent wait (%)", Num(f.Median("chatter.silent.cpu"), 2), "", "",
        "", "");
    Row("    processor over the chatter (%)", Num(f.Median("chatter.loud.cpu"), 2), "", "", "<= 5",
        judge(f.Median("chatter.loud.cpu"), 5, true));

    std::printf("\nPer run:\n");
    const std::pair<const char*, int> perRun[] = {
        {"window.lines_per_s", 0},  {"reference.lines_per_s", 0},
        {"window.cpu_per_line", 2}, {"reference.cpu_per_line", 2},
        {"window.wire_ratio", 4},   {"reference.wire_ratio", 4},
        {"restart_wait", 3},        {"ready_wait", 3},
        {"tick_wait", 3},           {"final_wait", 3},
        {"reply_wait", 3},          {"mem.small", 1},
        {"mem.large", 1},           {"chatter.silent.mem", 1},
        {"chatter.loud.mem", 1},    {"chatter.silent.cpu", 2},
        {"chatter.loud.cpu", 2}};
    for (const auto& [key, decimals] : perRun) {
        std::printf("  %-24s %s\n", key, f.Runs(key, decimals).c_str());
    }
    std::printf("\nOther load on the machine before a timed run: at most %.0f%% of all cores.\n",
                gate_.Worst());
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

int PositiveArg(const char* option, const char* value) {
    const int n = value != nullptr ? std::atoi(value) : 0;
    if (n <= 0) {
        std::fprintf(stderr, "quorvel-bench: %s needs a positive number\n", option);
        std::exit(2);
    }
    return n;
}

}  // namespace

int RunSuite(int argc, char** argv) {
    Config c;
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
        status = Suite(c).Run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorvel-bench: %s\n", e.what());
    }
    std::error_code ignored;
    std::filesystem::remove_all(c.dir, ignored);
    return status;
}
