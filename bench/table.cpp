// The table of results: each figure's median for Quorvel and for the reference host, their
// ratio, the target and a verdict (not judged in a quick run), then every run's values.

#include "suite_shared.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

namespace bench::suite {

std::string Num(double v, int decimals) {
    if (std::isnan(v)) {
        return "n/a";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    if (decimals > 0 || std::fabs(v) < 1000) {
        return text;
    }
    // Thousands separators for the large whole numbers.
    std::string digits = text;
    const std::size_t start = digits[0] == '-' ? 1 : 0;
    for (int pos = int(digits.size()) - 3; pos > int(start); pos -= 3) {
        digits.insert(std::size_t(pos), ",");
    }
    return digits;
}

std::string Figures::Runs(const std::string& key, int decimals) const {
    const auto it = values_.find(key);
    if (it == values_.end()) {
        return "n/a";
    }
    std::string out;
    for (double v : it->second) {
        out += (out.empty() ? "" : " ") + Num(v, decimals);
    }
    return out;
}

namespace {

void Row(const std::string& label, const std::string& quorvel, const std::string& reference,
         const std::string& ratio, const std::string& target, const std::string& verdict) {
    std::printf("%-42s %11s %11s %9s  %-12s %s\n", label.c_str(), quorvel.c_str(),
                reference.c_str(), ratio.c_str(), target.c_str(), verdict.c_str());
}

std::string Ratio(double a, double b) {
    return std::isnan(a) || std::isnan(b) || b == 0 ? "" : Num(a / b, 2) + "x";
}

class Judge {
public:
    explicit Judge(bool quick) : quick_(quick) {}
    // at_most: the figure must not exceed the limit; else it must reach it.
    std::string operator()(double value, double limit, bool at_most) const {
        if (std::isnan(value)) {
            return "NO NUMBER";
        }
        if (quick_) {
            return "(quick: not judged)";
        }
        const bool pass = at_most ? value <= limit : value >= limit;
        const double off = 100.0 * std::fabs(value - limit) / limit;
        if (pass) {
            return off <= 100 ? "PASS (" + Num(off, off < 10 ? 1 : 0) + "% margin)" : "PASS";
        }
        return "FAIL (" + Num(off, off < 10 ? 1 : 0) + (at_most ? "% over)" : "% short)");
    }

private:
    bool quick_;
};

}  // namespace

void Suite::PrintTable() const {
    const Judge judge(c_.quick);
    const Figures& f = f_;
    std::printf(
        "\nResults: medians of %d unpaced, %d paced, %d waiting, %d memory and %d "
        "chatter runs%s\n\n",
        c_.runs, c_.paced_runs, c_.wait_runs, c_.memory_runs, c_.chatter_runs,
        c_.quick ? " (quick smoke run: figures are not meaningful)" : "");
    Row("", "Quorvel", "reference", "ratio", "target", "verdict");
    Row("1 Lines per second, unpaced", Num(f.Median("window.lines_per_s"), 0),
        Num(f.Median("reference.lines_per_s"), 0),
        Ratio(f.Median("window.lines_per_s"), f.Median("reference.lines_per_s")), ">= 10,000",
        judge(f.Median("window.lines_per_s"), 10000, false));
    Row("  Round trip per line, median (us)", Num(f.Median("window.rtt_median"), 1),
        Num(f.Median("reference.rtt_median"), 1),
        Ratio(f.Median("window.rtt_median"), f.Median("reference.rtt_median")), "", "");
    Row("  Round trip per line, 99th percentile (us)", Num(f.Median("window.rtt_p99"), 1),
        Num(f.Median("reference.rtt_p99"), 1),
        Ratio(f.Median("window.rtt_p99"), f.Median("reference.rtt_p99")), "", "");
    Row("  Host turnaround per line, median (us)", Num(f.Median("window.turn_median"), 1),
        Num(f.Median("reference.turn_median"), 1),
        Ratio(f.Median("window.turn_median"), f.Median("reference.turn_median")), "", "");
    Row("2 Processor time per line (us)", Num(f.Median("window.cpu_per_line"), 1),
        Num(f.Median("reference.cpu_per_line"), 1),
        Ratio(f.Median("window.cpu_per_line"), f.Median("reference.cpu_per_line")),
        "<= 1.5 x ref",
        judge(f.Median("window.cpu_per_line") / f.Median("reference.cpu_per_line"), 1.5, true));
    // The kernel splits a process's exact processor time between user and system by
    // sampling at clock ticks, so over a fraction of a second the split is rough.
    Row("    user, sampled (us)", Num(f.Median("window.user_per_line"), 1),
        Num(f.Median("reference.user_per_line"), 1), "", "", "");
    Row("    system, sampled (us)", Num(f.Median("window.system_per_line"), 1),
        Num(f.Median("reference.system_per_line"), 1), "", "", "");
    Row("3 Paced at 57600 baud: time / wire time", Num(f.Median("window.wire_ratio"), 4),
        Num(f.Median("reference.wire_ratio"), 4), "", "<= 1.02",
        judge(f.Median("window.wire_ratio"), 1.02, true));
    Row("    beyond the wire, per line (us)", Num(f.Median("window.beyond_wire_per_line"), 1),
        Num(f.Median("reference.beyond_wire_per_line"), 1),
        Ratio(f.Median("window.beyond_wire_per_line"), f.Median("reference.beyond_wire_per_line")),
        "", "");
    Row("    host turnaround per line, median (us)", Num(f.Median("window.paced_turn_median"), 1),
        Num(f.Median("reference.paced_turn_median"), 1),
        Ratio(f.Median("window.paced_turn_median"), f.Median("reference.paced_turn_median")), "",
        "");
    Row("4 Processor while waiting (% of one core)", "", "", "", "", "");
    const struct {
        const char* key;
        const char* label;
        bool target;
    } waits[] = {
        {"restart_wait", "  (a) restart wait", true},
        {"ready_wait", "  (b) unanswered ready request", true},
        {"tick_wait", "  (c) old loader tick waits", true},
        {"final_wait", "  (d) final wait", true},
        {"reply_wait", "      reply waits (no target)", false},
    };
    for (const auto& w : waits) {
        const std::string key = w.key;
        const std::string label =
            std::string(w.label) + " [" + Num(f.Median(key + ".s"), 1) + " s]";
        Row(label, Num(f.Median(key), 3), "", "", w.target ? "<= 2" : "",
            w.target ? judge(f.Median(key), 2, true) : "");
    }
    const double small = f.Median("mem.small");
    const double large = f.Median("mem.large");
    const std::string largeLabel = Num(LargeUpdateLines(c_), 0);
    Row("5 Peak resident memory (MB)", "", "", "", "", "");
    Row("    100-line update", Num(small, 1), "", "", "", "");
    Row("    " + largeLabel + "-line update", Num(large, 1), "", "", "< 80",
        judge(large, 80, true));
    Row("    growth", Num(large - small, 2), "", "", "<= 5", judge(large - small, 5, true));
    // The program's restart wait under a datalogger's chatter, against the same wait in
    // silence: the memory it keeps must not grow with what it hears, and hearing it must
    // cost little.
    const double silentMem = f.Median("chatter.silent.mem");
    const double loudMem = f.Median("chatter.loud.mem");
    Row("6 Restart wait under chatter (quorvel-cli)", "", "", "", "", "");
    Row("    chatter rate (MB/s)", Num(f.Median("chatter.rate"), 2), "", "", "", "");
    Row("    peak memory, silent wait (MB)", Num(silentMem, 1), "", "", "", "");
    Row("    peak memory, chatter (MB)", Num(loudMem, 1), "", "", "", "");
    Row("    growth (MB)", Num(loudMem - silentMem, 2), "", "", "<= 5",
        judge(loudMem - silentMem, 5, true));
    Row("    processor over the silent wait (%)", Num(f.Median("chatter.silent.cpu"), 2), "", "",
        "", "");
    Row("    processor over the chatter (%)", Num(f.Median("chatter.loud.cpu"), 2), "", "", "<= 5",
        judge(f.Median("chatter.loud.cpu"), 5, true));

    std::printf("\nPer run:\n");
    const std::pair<const char*, int> perRun[] = {
        {"window.lines_per_s", 0},  {"reference.lines_per_s", 0},
        {"window.cpu_per_line", 2}, {"reference.cpu_per_line", 2},
        {"window.wire_ratio", 4},   {"reference.wire_ratio", 4},
        {"restart_wait", 3},        {"ready_wait", 3},
        {"tick_wait", 3},           {"final_wait", 3},
        {"reply_wait", 3},          {"mem.small", 1},
        {"mem.large", 1},           {"chatter.silent.mem", 1},
        {"chatter.loud.mem", 1},    {"chatter.silent.cpu", 2},
        {"chatter.loud.cpu", 2}};
    for (const auto& [key, decimals] : perRun) {
        std::printf("  %-24s %s\n", key, f.Runs(key, decimals).c_str());
    }
    std::printf("\nOther load on the machine before a timed run: at most %.0f%% of all cores.\n",
                gate_.Worst());
}

}  // namespace bench::suite
