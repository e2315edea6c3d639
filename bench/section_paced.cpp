// The paced section: updates against a simulator that answers when a 57600 baud wire would
// deliver its replies, for how far the host's time stays above the wire's own.

#include "suite_shared.h"

#include <cstdio>
#include <string>

namespace bench::suite {

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

}  // namespace bench::suite
