#pragma once

// A scripted host for the simulator's tests: the host side of the protocol on the slave
// device with plain POSIX I/O, set up like the program's port: raw, XON/XOFF, and strict (no
// IXANY), so that only XON releases output held by XOFF.

#include "intel_hex.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace simtest {

// Generous: a test waits this long for a byte that should come at once, so it fails on a
// missing reply, never on a slow machine.
constexpr int kReplyMs = 5000;
constexpr char kTokens[] = "^?~-%@#";

class Host {
public:
    explicit Host(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd_ >= 0) {
            termios t{};
            ::tcgetattr(fd_, &t);
            ::cfmakeraw(&t);
            t.c_iflag |= IXON | IXOFF;
            t.c_iflag &= ~tcflag_t(IXANY);
            ::tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Host() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    bool IsOpen() const { return fd_ >= 0; }

    void Send(const std::string& s) {
        [[maybe_unused]] const ssize_t n = ::write(fd_, s.data(), s.size());
    }

    // Reads until `last` arrives or nothing comes for ms; returns what it read.
    std::string ReadThrough(char last, int ms = kReplyMs) {
        std::string got;
        char c;
        while (got.find(last) == std::string::npos && ReadByte(c, ms)) {
            got.push_back(c);
        }
        return got;
    }
    // Waits for any byte and takes it; false when nothing comes within ms.
    bool AnyByte(int ms = kReplyMs) {
        char c;
        return ReadByte(c, ms);
    }
    // The next token, skipping anything else; 0 when none comes within ms.
    char Token(int ms = kReplyMs) {
        char c;
        while (ReadByte(c, ms)) {
            if (std::string_view(kTokens).find(c) != std::string_view::npos) {
                return c;
            }
        }
        return 0;
    }

private:
    bool ReadByte(char& c, int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1) {
            return false;
        }
        return (p.revents & POLLIN) != 0 && ::read(fd_, &c, 1) == 1;
    }

    int fd_ = -1;
};

// What the host saw of one update: the replies to each data line's sends ('_' for none) and
// the final tokens.
struct Run {
    std::string restart, version, finalTokens;
    std::vector<std::string> replies;
};

// The host's side of a session from the wait for the restart on, resending a line on '-'
// or silence up to three sends in all, and carrying on past a line that never got through.
inline Run Update(Host& host, const std::vector<std::string>& lines, int replyMs = kReplyMs) {
    Run run;
    run.restart = host.ReadThrough('^');
    host.Send("@&$");
    run.version = host.ReadThrough('?');
    for (const std::string& line : lines) {
        if (line == ":00000001FF") {
            host.Send(line);
            run.finalTokens = host.ReadThrough('#');
            break;
        }
        std::string replies;
        for (int send = 0; send < 3; ++send) {
            host.Send(line);
            const char r = host.Token(replyMs);
            replies.push_back(r ? r : '_');
            if (r != '-' && r != 0) {
                break;
            }
        }
        run.replies.push_back(replies);
    }
    return run;
}

struct TraceLine {
    long long us;
    std::string what;  // "RX <bytes>" or "TX <bytes>"
};

inline std::vector<TraceLine> ReadTrace(const std::string& path) {
    std::vector<TraceLine> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t sp = line.find(' ');
        if (sp != std::string::npos &&
            (line.compare(sp + 1, 3, "RX ") == 0 || line.compare(sp + 1, 3, "TX ") == 0)) {
            out.push_back({std::atoll(line.c_str()), line.substr(sp + 1)});
        }
    }
    return out;
}

}  // namespace simtest
