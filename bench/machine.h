#pragma once

// The machine the benchmark runs on: what it is, and a gate that holds each timed run until
// other work has let go of the cores.

#include <string>

namespace bench::suite {

std::string FirstLineOf(const char* path);
std::string CpuModel();

// Timing figures mean something only on a quiet machine: before each timed run, wait until
// other people's builds and tests have let go of the cores (nothing of ours runs then).
class QuietGate {
public:
    explicit QuietGate(bool wait) : wait_(wait) {}

    // The busy share just before the run.
    double Before();
    double Worst() const { return worst_; }

private:
    const bool wait_;
    double worst_ = 0;
};

}  // namespace bench::suite
