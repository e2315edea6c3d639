#include "clock.h"

#include <chrono>

qint64 MonotonicClock::Seconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
}
