// One update in fresh processes: the update files it sends, the run on a fresh simulator,
// and the suite's wrapper that waits for a quiet machine and reports how the run went.

#include "suite_shared.h"

#include "bootloader_sim.h"
#include "process.h"

#include <cstdio>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench::suite {

using std::chrono::seconds;

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

}  // namespace bench::suite
