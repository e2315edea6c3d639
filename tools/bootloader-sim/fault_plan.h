#pragma once

// The fault plan: which faults hit one send of a line, scripted by line number or drawn at
// random, and the noise a faulty line picks up. Seeded, so a run is the same every time.

#include "sim_types.h"

#include <cstdint>
#include <string>

namespace bootsim {

// splitmix64: the same sequence from the same seed on every platform and library, which
// the standard distributions do not promise.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
    std::size_t Below(std::size_t n) { return static_cast<std::size_t>(Next() % n); }

private:
    std::uint64_t state_;
};

// What the faults that match one send of a line add up to.
struct Plan {
    bool checksum = false, flash = false, silent = false, hangup = false;
    bool restart = false, erase = false;
    bool duplicate = false;
    int late_ms = -1;
    bool very_late = false;  // late_ms is a very-late fault's
    int stray_ms = -1;
    int xoff_ms = -1;
    bool xoff_after = false;
    bool noise = false;
    bool Any() const {
        return checksum || flash || silent || hangup || restart || duplicate || late_ms >= 0 ||
               stray_ms >= 0 || xoff_ms >= 0 || noise;
    }
    // "checksum+late 300 ms": for the log and the trace.
    std::string Describe() const;
};

class FaultPlanner {
public:
    explicit FaultPlanner(const Options& options);

    // The plan for the send-th send (from 1) of data line `line` (from 1) of the session
    // that will have number `session` when it completes. Draws from the random sequence
    // whenever random faults are on, so call it once per received record.
    Plan For(std::uint64_t session, std::uint64_t line, int send);
    // One to eight bytes that are no token of the protocol, no part of a version record and
    // no flow control: a correct host ignores every one of them.
    std::string Noise();

private:
    const Options& opt_;
    Random fault_rng_;
    Random noise_rng_;
};

}  // namespace bootsim
