#include "measure.h"

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>

namespace bench {

std::int64_t NowUs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

CpuTime ProcessCpu() {
    // getrusage's user and system times add up to the scheduler's exact run time of all
    // the process's threads (only the split between the two is sampled at clock ticks), so
    // even a wait that costs a few milliseconds in seconds is measured well.
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    CpuTime t;
    t.user_us = std::int64_t(u.ru_utime.tv_sec) * 1000000 + u.ru_utime.tv_usec;
    t.system_us = std::int64_t(u.ru_stime.tv_sec) * 1000000 + u.ru_stime.tv_usec;
    return t;
}

Mark MarkNow() {
    Mark m;
    m.wall_us = NowUs();
    m.cpu = ProcessCpu();
    return m;
}

void Span::Add(const Mark& from, const Mark& to) {
    wall_us += to.wall_us - from.wall_us;
    user_us += to.cpu.user_us - from.cpu.user_us;
    system_us += to.cpu.system_us - from.cpu.system_us;
    cpu_us = user_us + system_us;
}

double Percentile(std::vector<double>& values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * double(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void Report::Set(const std::string& key, double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", value);
    values_[key] = text;
}

void Report::Set(const std::string& key, const std::string& word) {
    values_[key] = word;
}

void Report::SetSpan(const std::string& key, const Span& span) {
    Set(key + "_us", double(span.wall_us));
    Set(key + "_cpu_us", double(span.cpu_us));
    Set(key + "_user_us", double(span.user_us));
    Set(key + "_system_us", double(span.system_us));
}

void Report::SetLineTimes(const std::vector<LineTimes>& lines) {
    std::vector<double> trips;
    std::vector<double> turns;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        trips.push_back(double(lines[i].sent_us - lines[i - 1].sent_us));
        if (lines[i - 1].reply_us >= 0) {
            turns.push_back(double(lines[i].sent_us - lines[i - 1].reply_us));
        }
    }
    if (!trips.empty()) {
        Set("rtt_median_us", Percentile(trips, 50));
        Set("rtt_p99_us", Percentile(trips, 99));
    }
    if (!turns.empty()) {
        Set("turn_median_us", Percentile(turns, 50));
        Set("turn_p99_us", Percentile(turns, 99));
    }
}

void Report::Print() const {
    for (const auto& [key, value] : values_) {
        std::printf("%s %s\n", key.c_str(), value.c_str());
    }
    std::fflush(stdout);
}

Report Report::Parse(const std::string& text) {
    Report r;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t space = line.find(' ');
        if (space != std::string::npos && space > 0) {
            r.values_[line.substr(0, space)] = line.substr(space + 1);
        }
    }
    return r;
}

double Report::Number(const std::string& key) const {
    const auto it = values_.find(key);
    if (it == values_.end()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    char* end = nullptr;
    const double v = std::strtod(it->second.c_str(), &end);
    return end != it->second.c_str() && *end == '\0' ? v : std::numeric_limits<double>::quiet_NaN();
}

std::string Report::Word(const std::string& key) const {
    const auto it = values_.find(key);
    return it == values_.end() ? std::string() : it->second;
}

}  // namespace bench
