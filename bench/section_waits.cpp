// The waits section: the window's processor time while it waits for the datalogger (its
// restart, a ready request, a reply, an old loader's tick, the final reply), as a share of
// one core.

#include "suite_shared.h"

#include <cstdio>
#include <string>

namespace bench::suite {

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

}  // namespace bench::suite
