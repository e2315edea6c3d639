#pragma once

// What every benchmark process shares, without Qt: the clocks, percentiles, and the
// report each host process prints for the suite to read.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

// Monotonic wall time in microseconds; the origin is arbitrary.
std::int64_t NowUs();

// The calling process's own processor time so far, all threads, in microseconds.
struct CpuTime {
    std::int64_t user_us = 0;
    std::int64_t system_us = 0;
    std::int64_t Total() const { return user_us + system_us; }
};
CpuTime ProcessCpu();

// A moment of a run: wall time and the process's processor time at once, so that any two
// of them give both the length of what lay between and what it cost.
struct Mark {
    std::int64_t wall_us = -1;
    CpuTime cpu;
    bool Set() const { return wall_us >= 0; }
};
Mark MarkNow();

// What lay between two marks.
struct Span {
    std::int64_t wall_us = 0;
    std::int64_t cpu_us = 0;
    std::int64_t user_us = 0;
    std::int64_t system_us = 0;
    void Add(const Mark& from, const Mark& to);
};

// Nearest-rank percentile (0 < p <= 100) of the values; sorts them. 0 for no values.
double Percentile(std::vector<double>& values, double p);
double Median(std::vector<double> values);

// When a data line went out and when the host first had its reply in hand (-1: never).
struct LineTimes {
    std::int64_t sent_us = 0;
    std::int64_t reply_us = -1;
};

// A host process reports one run as "key value" lines on its standard output; the suite
// reads them back. Values are numbers or single words.
class Report {
public:
    void Set(const std::string& key, double value);
    void Set(const std::string& key, const std::string& word);
    // Adds the span as <key>_us, <key>_cpu_us, <key>_user_us and <key>_system_us.
    void SetSpan(const std::string& key, const Span& span);
    // Adds the per-line figures, each as a median and a 99th percentile: the round trip
    // (rtt_*: one line's send to the next's) and the host's turnaround (turn_*: a reply in
    // hand to the next line's send), the share of the round trip that is the host's own.
    void SetLineTimes(const std::vector<LineTimes>& lines);
    void Print() const;

    static Report Parse(const std::string& text);
    bool Has(const std::string& key) const { return values_.count(key) != 0; }
    // The number under key; NaN when it is missing or not a number.
    double Number(const std::string& key) const;
    std::string Word(const std::string& key) const;

private:
    std::map<std::string, std::string> values_;
};

}  // namespace bench
