// The unpaced section: updates as fast as the simulator answers, through the window and
// through the reference host, for lines per second, the round trip and the host's own
// turnaround per line, and processor time per line.

#include "suite_shared.h"

#include <cstdio>
#include <string>

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

}  // namespace bench::suite
