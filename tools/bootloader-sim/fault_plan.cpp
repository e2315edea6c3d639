#include "fault_plan.h"

#include <algorithm>
#include <string_view>

namespace bootsim {

namespace {

// After a host gives up on a line it moves on; the simulator only leaves a random fault on
// the first two sends of a line, so that a host that resends as the protocol says always
// gets the line through, and a random run can be told apart from a broken host.
constexpr int kRandomFaultSends = 2;

// Noise is what a real line picks up: bytes that are no token of the protocol, no part of
// a version record and no flow control, so a correct host ignores every one of them.
constexpr char kNoiseBytes[] = "abcdefghijklmnopqrstuwxyz*!+=;<>_\x00\x7F\xFF";
constexpr std::string_view kNoise(kNoiseBytes, sizeof kNoiseBytes - 1);

constexpr FaultKind kAllKinds[] = {
    FaultKind::Checksum,    FaultKind::Flash,    FaultKind::Silent,    FaultKind::Stray,
    FaultKind::Late,        FaultKind::VeryLate, FaultKind::Noise,     FaultKind::Xoff,
    FaultKind::XoffAfter,   FaultKind::Hangup,   FaultKind::Duplicate, FaultKind::Restart,
    FaultKind::RestartErase};

}  // namespace

const char* FaultKindName(FaultKind kind) {
    switch (kind) {
        case FaultKind::Checksum:
            return "checksum";
        case FaultKind::Flash:
            return "flash";
        case FaultKind::Silent:
            return "silent";
        case FaultKind::Stray:
            return "stray";
        case FaultKind::Late:
            return "late";
        case FaultKind::VeryLate:
            return "very-late";
        case FaultKind::Noise:
            return "noise";
        case FaultKind::Xoff:
            return "xoff";
        case FaultKind::XoffAfter:
            return "xoff-after";
        case FaultKind::Hangup:
            return "hangup";
        case FaultKind::Duplicate:
            return "duplicate";
        case FaultKind::Restart:
            return "restart";
        case FaultKind::RestartErase:
            return "restart-erase";
    }
    return "?";
}

bool ParseFaultKind(const std::string& name, FaultKind& out) {
    for (FaultKind k : kAllKinds) {
        if (name == FaultKindName(k)) {
            out = k;
            return true;
        }
    }
    return false;
}

std::string Plan::Describe() const {
    std::string d;
    auto add = [&](bool on, const std::string& what) {
        if (on) {
            d += (d.empty() ? "" : "+") + what;
        }
    };
    add(checksum, "checksum");
    add(flash, "flash");
    add(silent, "silent");
    add(hangup, "hangup");
    add(restart, erase ? "restart-erase" : "restart");
    add(late_ms >= 0, (very_late ? "very-late " : "late ") + std::to_string(late_ms) + " ms");
    add(stray_ms >= 0, "stray - after " + std::to_string(stray_ms) + " ms");
    add(xoff_ms >= 0,
        std::string(xoff_after ? "xoff-after " : "xoff ") + std::to_string(xoff_ms) + " ms");
    add(noise, "noise");
    add(duplicate, "duplicate");
    return d;
}

FaultPlanner::FaultPlanner(const Options& options)
    : opt_(options), fault_rng_(options.seed), noise_rng_(options.seed ^ 0x6E6F697365ull) {}

Plan FaultPlanner::For(std::uint64_t session, std::uint64_t line, int send) {
    Plan p;
    // ms < 0: a random fault's, drawn up to the option's default.
    auto pick = [&](int ms, int fallback) {
        return ms > 0   ? ms
               : ms < 0 ? 1 + static_cast<int>(
                                  fault_rng_.Below(static_cast<std::size_t>(std::max(fallback, 1))))
                        : fallback;
    };
    auto add = [&](FaultKind kind, int ms) {
        switch (kind) {
            case FaultKind::Checksum:
                p.checksum = true;
                break;
            case FaultKind::Flash:
                p.flash = true;
                break;
            case FaultKind::Silent:
                p.silent = true;
                break;
            case FaultKind::Hangup:
                p.hangup = true;
                break;
            case FaultKind::Duplicate:
                p.duplicate = true;
                break;
            case FaultKind::Restart:
            case FaultKind::RestartErase:
                p.restart = true;
                p.erase = p.erase || kind == FaultKind::RestartErase;
                break;
            case FaultKind::Late:
                p.late_ms = pick(ms, opt_.late_ms);
                p.very_late = false;
                break;
            case FaultKind::Stray:
                p.stray_ms = pick(ms, opt_.late_ms);
                break;
            case FaultKind::VeryLate: {
                const int most = std::max(opt_.very_late_ms, 1);
                const int least = std::max(most / 3, 1);
                p.very_late = true;
                p.late_ms = ms >= 0 ? pick(ms, most)
                                    : least + static_cast<int>(fault_rng_.Below(
                                                  static_cast<std::size_t>(most - least + 1)));
                break;
            }
            case FaultKind::Xoff:
            case FaultKind::XoffAfter:
                p.xoff_ms = pick(ms, opt_.xoff_ms);
                p.xoff_after = kind == FaultKind::XoffAfter;
                break;
            case FaultKind::Noise:
                p.noise = true;
                break;
        }
    };
    for (const Fault& f : opt_.faults) {
        if ((f.session == 0 || static_cast<std::uint64_t>(f.session) == session) &&
            static_cast<std::uint64_t>(f.line) == line && send <= f.count) {
            add(f.kind, f.ms);
        }
    }
    if (opt_.random_fault_rate > 0 && !opt_.random_kinds.empty() &&
        (opt_.random_every_send || send <= kRandomFaultSends) &&
        fault_rng_.Uniform() < opt_.random_fault_rate) {
        const FaultKind kind = opt_.random_kinds[fault_rng_.Below(opt_.random_kinds.size())];
        add(kind, -1);
        if (kind == FaultKind::Xoff && fault_rng_.Below(2) == 0) {
            p.noise = true;  // a line that picks up noise while the bootloader is busy
        }
    }
    return p;
}

std::string FaultPlanner::Noise() {
    std::string noise;
    const std::size_t n = 1 + noise_rng_.Below(8);
    for (std::size_t i = 0; i < n; ++i) {
        noise.push_back(kNoise[noise_rng_.Below(kNoise.size())]);
    }
    return noise;
}

}  // namespace bootsim
