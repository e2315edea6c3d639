#pragma once

// The bootloader-sim command's options, parsed apart from the command so that tests can
// check how they are read.

#include "bootloader_sim.h"

#include <cstdint>
#include <string>
#include <vector>

namespace bootsim {

// A bad command line; the message names the option and what was wrong with it.
struct UsageError {
    std::string message;
};

struct Command {
    Options sim;
    bool help = false;
    bool quiet = false;
    int linger_ms = 1000;
    std::string image_hex;
    std::string image_bin;
    bool image_base_set = false;
    std::uint32_t image_base = 0;
    long long sample_records = -1;
    std::string sample_path;
    std::string image_of;
};

// What --help prints: every option, the commands on standard input and the exit status.
extern const char kUsage[];

// The arguments after the command's name. Throws UsageError.
Command ParseArgs(const std::vector<std::string>& args);

// One --fault value: KIND@LINE[xCOUNT][:MS][/SESSION]. Throws UsageError.
Fault ParseFault(const std::string& text);

}  // namespace bootsim
