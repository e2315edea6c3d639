#pragma once

// A datalogger that talks before it is restarted: the suite plays it on a pseudo-terminal of
// its own, so that what the command line program costs while it waits for the restart can
// be taken under a steady stream of application output.

#include <sys/resource.h>

#include <chrono>
#include <string>
#include <vector>

namespace bench {

struct ChatterSetup {
    std::vector<std::string> argv;      // the program; the device path is appended after --port
    std::vector<std::string> args;      // the arguments after the device path
    double bytes = 0;                   // chatter to send before the restart; 0 for a silent wait
    std::chrono::milliseconds span{0};  // how long the chatter (or the silence) lasts
    std::chrono::milliseconds timeout{60000};
};

struct ChatterResult {
    std::string error;      // empty when the program ran and ended
    int status = 0;         // as wait4 gives it
    rusage usage{};         // of the whole run
    std::string output;     // its standard output
    double sent = 0;        // chatter bytes actually written
    double span_s = 0;      // the measured length of the chatter
    double cpu_share = 0;   // the program's processor time over it, percent of one core
    double bytes_back = 0;  // bytes the program wrote to the port (its ready requests)
};

// Opens a pseudo-terminal, starts the program on its device, waits until it has said it
// waits for the restart, sends the chatter at an even rate (or keeps silent as long), then
// the restart token, and answers nothing more.
ChatterResult RunChatter(const ChatterSetup& setup);

}  // namespace bench
