#include "machine.h"

#include "measure.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <thread>

namespace bench::suite {

namespace {

using std::chrono::milliseconds;

// Other load on the machine above this share of all cores makes a timed run wait.
constexpr double kQuietBusyPercent = 15;
constexpr int kQuietMaxWaitS = 180;

struct CpuTicks {
    unsigned long long total = 0;
    unsigned long long idle = 0;
};

CpuTicks ReadCpuTicks() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    unsigned long long v[8] = {};
    in >> cpu >> v[0] >> v[1] >> v[2] >> v[3] >> v[4] >> v[5] >> v[6] >> v[7];
    CpuTicks t;
    for (unsigned long long x : v) {
        t.total += x;
    }
    t.idle = v[3] + v[4];  // idle and waiting for I/O
    return t;
}

// The share of all cores that was busy over the next interval, in percent.
double BusyPercent(milliseconds over) {
    const CpuTicks a = ReadCpuTicks();
    std::this_thread::sleep_for(over);
    const CpuTicks b = ReadCpuTicks();
    const double total = double(b.total - a.total);
    return total > 0 ? 100.0 * (total - double(b.idle - a.idle)) / total : 0;
}

}  // namespace

std::string FirstLineOf(const char* path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "unknown processor";
}

double QuietGate::Before() {
    double busy = BusyPercent(milliseconds(300));
    const std::int64_t give_up = bench::NowUs() + std::int64_t(kQuietMaxWaitS) * 1000000;
    bool told = false;
    while (wait_ && busy > kQuietBusyPercent && bench::NowUs() < give_up) {
        if (!told) {
            std::printf("    (machine %.0f%% busy with other work; waiting for it to quieten)\n",
                        busy);
            std::fflush(stdout);
            told = true;
        }
        busy = BusyPercent(milliseconds(1000));
    }
    worst_ = std::max(worst_, busy);
    return busy;
}

}  // namespace bench::suite
