// The memory section: the window host's peak resident memory over a small update and over
// the largest the program takes, each in a fresh process.

#include "suite_shared.h"

#include <cstdio>
#include <string>

namespace bench::suite {

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

}  // namespace bench::suite
