// reference-host: the benchmark's yardstick. It runs the same update protocol as Quorvel in
// the plainest way a POSIX program can (one descriptor in raw termios mode, poll, read,
// write; no Qt, no event loop, no window), so that what Quorvel costs beyond it is what its
// window, its event loop and its serial layer cost.
//
// It prints one run's report (see measure.h) and exits 0 when the bootloader reported a
// successful update.

#include "measure.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kReplyWaitMs = 3000;
constexpr int kMaxSends = 3;
constexpr int kRestartWaitMs = 60000;

struct Failed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The serial line: 57600 8N1, raw, XON/XOFF, non-blocking.
class Line {
public:
    explicit Line(const std::string& device) {
        fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) {
            throw Failed("cannot open " + device + ": " + std::strerror(errno));
        }
        termios t{};
        if (::tcgetattr(fd_, &t) != 0) {
            throw Failed("not a terminal: " + device);
        }
        ::cfmakeraw(&t);
        ::cfsetispeed(&t, B57600);
        ::cfsetospeed(&t, B57600);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
        t.c_iflag |= IXON | IXOFF;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        if (::tcsetattr(fd_, TCSANOW, &t) != 0) {
            throw Failed("cannot set the line: " + std::string(std::strerror(errno)));
        }
    }
    ~Line() { ::close(fd_); }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    void Write(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += std::size_t(n);
                bytes_out += std::uint64_t(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                // A full output buffer or a line held by XOFF.
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, kReplyWaitMs);
            } else {
                throw Failed("write: " + std::string(std::strerror(errno)));
            }
        }
    }

    // Appends what arrives to got until it holds one of tokens or timeout_ms have passed.
    bool ReadUntil(std::string& got, const char* tokens, int timeout_ms) {
        const std::int64_t deadline = bench::NowUs() + std::int64_t(timeout_ms) * 1000;
        for (;;) {
            if (got.find_first_of(tokens) != std::string::npos) {
                return true;
            }
            const std::int64_t left_us = deadline - bench::NowUs();
            if (left_us <= 0) {
                return false;
            }
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, int((left_us + 999) / 1000));
            if (ready < 0 && errno != EINTR) {
                throw Failed("poll: " + std::string(std::strerror(errno)));
            }
            if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                throw Failed("the line went away");
            }
            if (ready > 0) {
                Drain(got);
            }
        }
    }

    // Appends whatever is waiting, without waiting.
    void Drain(std::string& got) {
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n > 0) {
                got.append(chunk, std::size_t(n));
                bytes_in += std::uint64_t(n);
                if (std::size_t(n) < sizeof chunk) {
                    return;  // all there was: another read would only say "try again"
                }
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                return;
            }
            throw Failed("the line went away");
        }
    }

    std::uint64_t bytes_in = 0;
    std::uint64_t bytes_out = 0;

private:
    int fd_ = -1;
};

// The data lines of an update file: a line ends at CR or CR LF, empty lines and the
// firmware version line ("V...") are not sent.
std::vector<std::string> DataLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw Failed("cannot open " + path);
    }
    std::ostringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\r', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (pos < text.size() && text[pos] == '\n') {
            ++pos;
        }
        if (!line.empty() && line.front() != 'V') {
            lines.push_back(std::move(line));
        }
    }
    return lines;
}

bench::Report Update(const std::string& device, const std::string& path) {
    const std::vector<std::string> lines = DataLines(path);
    std::vector<bench::LineTimes> times;
    times.reserve(lines.size());

    const bench::Mark opened = bench::MarkNow();
    Line line(device);
    std::string got;
    // Whatever arrived before the port was opened is no restart.
    line.Drain(got);
    got.clear();
    if (!line.ReadUntil(got, "^", kRestartWaitMs)) {
        throw Failed("no restart announcement");
    }
    bool ready = false;
    for (int tries = 0; tries < kMaxSends && !ready; ++tries) {
        got.clear();
        line.Write("@&$");
        ready = line.ReadUntil(got, "?", kReplyWaitMs);
    }
    if (!ready) {
        throw Failed("no response to the ready request");
    }

    const bench::Mark first = bench::MarkNow();
    const std::uint64_t in0 = line.bytes_in;
    const std::uint64_t out0 = line.bytes_out;
    bool ended = false;
    int sent = 0;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        times.push_back({bench::NowUs(), -1});
        bool accepted = false;
        for (int tries = 0; tries < kMaxSends && !accepted; ++tries) {
            got.clear();
            line.Write(lines[n]);
            ++sent;
            line.ReadUntil(got, "~-%@#", kReplyWaitMs);
            if (times.back().reply_us < 0 && !got.empty()) {
                times.back().reply_us = bench::NowUs();
            }
            if (got.find('%') != std::string::npos) {
                throw Failed("flash error at line " + std::to_string(n + 1));
            }
            accepted = got.find_first_of("~@#") != std::string::npos;
        }
        if (!accepted) {
            throw Failed("line " + std::to_string(n + 1) + " was never accepted");
        }
        ended = got.find('#') != std::string::npos;
    }
    if (!ended && !line.ReadUntil(got, "#", kReplyWaitMs)) {
        throw Failed("no final reply");
    }
    const bench::Mark last = bench::MarkNow();

    bench::Report report;
    report.Set("host", "reference");
    report.Set("outcome", got.find('@') != std::string::npos ? "Updated" : "UpdateFailed");
    report.Set("data_lines", double(lines.size()));
    report.Set("sends", double(sent));
    bench::Span transfer;
    transfer.Add(first, last);
    report.SetSpan("transfer", transfer);
    bench::Span run;
    run.Add(opened, last);
    report.SetSpan("run", run);
    report.Set("bytes_out", double(line.bytes_out - out0));
    report.Set("bytes_in", double(line.bytes_in - in0));
    report.SetLineTimes(times);
    return report;
}

}  // namespace

int main(int argc, char** argv) {
    std::string device;
    std::string file;
    bool usable = argc == 5;
    for (int i = 1; usable && i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--device") {
            device = argv[i + 1];
        } else if (option == "--file") {
            file = argv[i + 1];
        } else {
            usable = false;
        }
    }
    if (!usable || device.empty() || file.empty()) {
        std::fprintf(stderr, "usage: reference-host --device PATH --file PATH\n");
        return 2;
    }
    try {
        const bench::Report report = Update(device, file);
        report.Print();
        return report.Word("outcome") == "Updated" ? 0 : 1;
    } catch (const Failed& e) {
        std::fprintf(stderr, "reference-host: %s\n", e.what());
        return 1;
    }
}
