#pragma once

// What the parts of the suite share: its settings, one update run in fresh processes, the
// figures gathered over the runs, and the Suite class itself. Each section of measurements
// is a member of Suite with a file of its own (section_*.cpp); the table of results is in
// table.cpp, and the order of the sections and the command line are in suite.cpp.

#include "machine.h"
#include "measure.h"

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace bench::suite {

// The data lines of the updates that measure waits: a few lines between the waits suffice.
constexpr int kWaitUpdateLines = 20;

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

// ---- update files ---------------------------------------------------------------------------

// A made-up update file with exactly dataLines data lines after its version line; the
// simulator's sample maker adds an address record every 64 KiB and the end record.
std::string WriteUpdate(const Config& c, int dataLines);

// ---- one run ------------------------------------------------------------------------------

enum class Host { Window, Reference };

struct Setup {
    Host host = Host::Window;
    std::string file;
    std::vector<std::string> sim_args;
    std::vector<std::string> host_args;
    std::chrono::seconds timeout{60};
    std::string outcome = "Updated";
    std::vector<std::string> needs;  // report keys the run must produce
};

struct RunResult {
    std::string error;  // empty when the run produced what it should
    bench::Report report;
    rusage usage{};
};

// One update on a fresh simulator, by a fresh host process.
RunResult RunOnce(const Config& c, const Setup& s);

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

// A figure as the table shows it: "n/a" for none, thousands separated in large whole numbers.
std::string Num(double v, int decimals);

// The lines (version line included) of the update whose peak memory is held against that
// of a 100-line one: the largest the program takes, 32,767 lines.
inline int LargeUpdateLines(const Config& c) {
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
    // The sections, each in the file named after it.
    void Throughput();  // section_unpaced.cpp
    void Paced();       // section_paced.cpp
    void Waits();       // section_waits.cpp
    void Memory();      // section_memory.cpp
    void Chatter();     // section_chatter.cpp
    // Notes the processor share (percent of one core) and the length (s) of a wait.
    void AddWait(const std::string& figure, const bench::Report& report, const std::string& span);
    void PrintTable() const;  // table.cpp

    Config c_;
    QuietGate gate_;
    Figures f_;
    int failures_ = 0;
    std::string updateFile_;
    std::string waitFile_;
};

}  // namespace bench::suite
