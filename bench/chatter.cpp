#include "chatter.h"

#include "measure.h"
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace bench {
namespace {

// How often the chatter is topped up: often enough that it flows evenly (5 kB a step at
// 1 MB/s), rarely enough that the suite's own wake-ups stay out of the way.
constexpr int kStepMs = 5;

// Printable lines such as a logger's application prints while it records. They hold none of
// the protocol's token characters (^ ? ~ % # @ - $ &), so that nothing in them can be taken
// for the restart or for any later answer.
std::string ChatterText() {
    std::string text;
    char line[160];
    for (int i = 0; i < 1000; ++i) {
        const int s = i * 7;
        std::snprintf(line, sizeof line,
                      "%02d:%02d:%02d.%03d rec %06d  T1=%2d.%02d C  RH=%2d.%d pct  P=%4d.%d hPa  "
                      "batt=3.%03d V  ch4=%d.%04d\r\n",
                      s / 3600 % 24, s / 60 % 60, s % 60, (i * 37) % 1000, i, 18 + i % 9,
                      (i * 13) % 100, 40 + i % 30, i % 10, 990 + i % 40, (i * 3) % 10,
                      600 + (i * 11) % 400, i % 3, (i * 97) % 10000);
        text += line;
    }
    return text;
}

// The processor time a process has used so far, all its threads, in seconds (clock ticks).
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    // After the command name: state is field 3, utime 14 and stime 15.
    std::istringstream fields(stat.substr(close + 2));
    std::string skip;
    for (int field = 3; field < 14; ++field) {
        fields >> skip;
    }
    unsigned long long user = 0;
    unsigned long long system = 0;
    fields >> user >> system;
    return double(user + system) / double(::sysconf(_SC_CLK_TCK));
}

// Everything the program wrote to the port so far; the read never waits.
double Drain(int master) {
    double n = 0;
    char sink[4096];
    for (;;) {
        const ssize_t got = ::read(master, sink, sizeof sink);
        if (got <= 0) {
            return n;
        }
        n += double(got);
    }
}

class Pty {
public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            return;
        }
        const char* name = ::ptsname(master_);
        if (name == nullptr) {
            return;
        }
        path_ = name;
        // The suite holds the device open too, so that the program's opening and closing it
        // never leaves the master without a peer, and sets it raw as a serial line is.
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        if (slave_ < 0 || ::tcgetattr(slave_, &t) != 0) {
            path_.clear();
            return;
        }
        ::cfmakeraw(&t);
        ::tcsetattr(slave_, TCSANOW, &t);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() {
        if (slave_ >= 0) {
            ::close(slave_);
        }
        if (master_ >= 0) {
            ::close(master_);
        }
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool Ok() const { return !path_.empty(); }
    int Master() const { return master_; }
    const std::string& Path() const { return path_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

}  // namespace

ChatterResult RunChatter(const ChatterSetup& setup) {
    ChatterResult r;
    Pty pty;
    if (!pty.Ok()) {
        r.error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return r;
    }
    std::vector<std::string> argv = setup.argv;
    argv.insert(argv.end(), {"--port", pty.Path()});
    argv.insert(argv.end(), setup.args.begin(), setup.args.end());
    Child child = Child::Start(argv);

    // The program says it waits for the restart once the port is open and what came before
    // has been dropped: the chatter starts then, all of it reaches the wait.
    bool waiting = false;
    while (!waiting) {
        const std::optional<std::string> line = child.ReadLine(std::chrono::seconds(15));
        if (!line) {
            break;
        }
        waiting = line->find("Waiting for Datalogger to Restart") != std::string::npos;
    }
    if (!waiting) {
        child.Stop();
        r.error = "the program did not start to wait for the restart";
        return r;
    }

    const std::string text = ChatterText();
    std::size_t at = 0;  // where in the text the next byte comes from
    const double cpu_before = CpuSeconds(child.Pid());
    const std::int64_t start = NowUs();
    const double span_us = double(setup.span.count()) * 1000.0;
    // An even rate; should the program fall behind and the pty fill, the chatter goes on
    // until all of it is sent, and the span is what it took.
    for (;;) {
        const double elapsed = double(NowUs() - start);
        if (elapsed >= span_us && r.sent >= setup.bytes) {
            break;
        }
        if (elapsed > 3 * span_us + 10e6) {
            r.error = "the chatter could not be sent in three times its span";
            break;
        }
        const double due = setup.bytes * std::min(1.0, elapsed / span_us);
        while (r.sent < due) {
            const std::size_t want = std::min(text.size() - at, std::size_t(due - r.sent) + 1);
            const ssize_t n = ::write(pty.Master(), text.data() + at, want);
            if (n <= 0) {
                break;  // full: the program has not read yet
            }
            r.sent += double(n);
            at = (at + std::size_t(n)) % text.size();
        }
        r.bytes_back += Drain(pty.Master());
        pollfd p{pty.Master(), POLLIN, 0};
        ::poll(&p, 1, kStepMs);
    }
    r.span_s = double(NowUs() - start) / 1e6;
    const double cpu_after = CpuSeconds(child.Pid());
    r.cpu_share =
        cpu_before < 0 || cpu_after < 0 ? -1 : 100.0 * (cpu_after - cpu_before) / r.span_s;

    // The restart, and then silence: every ready request goes unanswered.
    const char restart = '^';
    for (int tries = 0; ::write(pty.Master(), &restart, 1) != 1 && tries < 2000; ++tries) {
        ::poll(nullptr, 0, kStepMs);
    }
    Child::Result done = child.Finish(setup.timeout);
    r.bytes_back += Drain(pty.Master());
    r.status = done.status;
    r.usage = done.usage;
    r.output = std::move(done.output);
    if (done.timed_out) {
        r.error = "timed out";
    }
    return r;
}

}  // namespace bench
