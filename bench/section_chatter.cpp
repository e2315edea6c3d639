// The chatter section: quorvel-cli's wait for the restart while the datalogger chatters
// (chatter.h plays the datalogger), against the same wait in silence, for what hearing the
// chatter costs in memory and processor time.

#include "suite_shared.h"

#include "chatter.h"

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace bench::suite {

namespace {

// What a datalogger says before its restart in the chatter section: about 1 MB/s, the rate
// at which a chattering logger once took the program's memory up by 35 MB in 20 s.
constexpr double kChatterBytes = 20e6;
constexpr int kChatterSpanMs = 20000;
constexpr double kQuickChatterBytes = 2e6;
constexpr int kQuickChatterSpanMs = 2000;
// The exit status of quorvel-cli when no ready request was answered.
constexpr int kCliNoResponse = 3;

}  // namespace

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
            s.span = std::chrono::milliseconds(span_ms);
            const double busy = gate_.Before();
            const bench::ChatterResult r = bench::RunChatter(s);
            std::string error = r.error;
            if (error.empty() &&
                (!WIFEXITED(r.status) || WEXITSTATUS(r.status) != kCliNoResponse ||
                 // The failure's message goes to standard error; standard output shows
                 // the three ready requests that went unanswered.
                 r.output.find("Requesting Datalogger Ready.  Try #3") == std::string::npos)) {
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

}  // namespace bench::suite
