// The simulator's thread: it runs the protocol on the line, wakes for the line's bytes and
// for whichever of the two has something to do next, and shares the counters and images
// with other threads.

#include "bootloader_sim.h"

#include "line.h"
#include "protocol.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace bootsim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::nanoseconds;

// A paced line must not be late: a sleeping thread wakes tens of microseconds after its
// time, so it wakes this much early and polls the rest away.
constexpr microseconds kPacingSpin{150};

std::uint64_t Microseconds(const timespec& t) {
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(t.tv_nsec) / 1000u;
}

}  // namespace

struct Simulator::Impl : ProtocolEvents {
    explicit Impl(Options o) : opt(std::move(o)), protocol(opt, *this), line(opt, protocol) {
        protocol.GuardImages(image_mu);
    }

    // ---- fixed after Start
    Options opt;
    int wake_r = -1;
    int wake_w = -1;
    std::thread thread;
    clockid_t cpu_clock{};
    bool started = false;

    // ---- shared with other threads
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    Stats shared;  // a copy of the counters, published by the loop
    bool restart_requested = false;
    bool stop_requested = false;
    bool running = false;
    std::uint64_t final_cpu_us = 0;
    mutable std::mutex image_mu;  // the images are written by the loop, read by anybody

    // ---- the loop's own
    Protocol protocol;
    Line line;

    // ---- what the protocol tells
    void Note(TimePoint t, const std::string& text, bool log) override {
        line.GetTrace().Note(t, text);
        if (log && opt.log) {
            opt.log(text);
        }
    }
    void Milestone(TimePoint) override { line.GetTrace().Flush(); }
    void Restarted(TimePoint) override { line.Restarted(); }
    void HungUp(TimePoint now) override { line.HangUp(now); }
    void SessionEnded(TimePoint t, const SessionReport& report) override {
        if (!report.writes) {
            return;
        }
        std::string text;
        for (const std::string& record : *report.writes) {
            text += record + '\n';
        }
        std::string error;
        if (!WriteFile(opt.write_log_path, text, &error)) {
            Note(t, "write log: " + error, true);
        }
    }

    void Loop() {
        for (;;) {
            TimePoint now = Clock::now();
            bool restart = false;
            {
                std::lock_guard<std::mutex> lock(mu);
                if (stop_requested) {
                    break;
                }
                restart = restart_requested;
                restart_requested = false;
            }
            if (restart) {
                protocol.Restart(now);
            }
            line.ReleaseInput(now);
            protocol.Tick(now, line.InputQuiet());
            // Published before the replies go out, so that a host that has seen a reply
            // finds the statistics up to date with it.
            Publish();
            line.Write(now);
            line.FlushTraceIfQuiet(now);
            Publish();

            pollfd fds[2];
            fds[0] = pollfd{wake_r, POLLIN, 0};
            nfds_t nfds = 1;
            const int fd = line.PollFd(now);
            if (fd >= 0) {
                fds[1] =
                    pollfd{fd, static_cast<short>(POLLIN | (line.WantsToWrite() ? POLLOUT : 0)), 0};
                nfds = 2;
            }
            const TimePoint deadline =
                std::min(protocol.NextDeadline(line.InputQuiet()), line.NextDeadline(now));
            timespec ts{};
            timespec* timeout = nullptr;
            if (deadline != TimePoint::max()) {
                auto wait = std::max(nanoseconds(0), deadline - now);
                if (line.Paced()) {
                    wait = wait > kPacingSpin ? wait - kPacingSpin : nanoseconds(0);
                }
                ts.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
                ts.tv_nsec = static_cast<long>(wait.count() % 1000000000);
                timeout = &ts;
            }
            const int r = ::ppoll(fds, nfds, timeout, nullptr);
            if (r <= 0) {
                continue;
            }
            if (fds[0].revents != 0) {
                char drain[64];
                while (::read(wake_r, drain, sizeof drain) > 0) {
                }
            }
            if (nfds == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                line.Read(Clock::now());
            }
        }
        protocol.DropOutput(Clock::now());
        line.GetTrace().Note(Clock::now(), "stopped");
        line.GetTrace().Close();
        timespec cpu{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        std::lock_guard<std::mutex> lock(mu);
        final_cpu_us = Microseconds(cpu);
        shared = Counters();
        shared.state = LoaderState::Stopped;
        running = false;
        cv.notify_all();
    }

    Stats Counters() const {
        Stats s = protocol.GetStats();
        s.bytes_received = line.BytesReceived();
        s.bytes_sent = line.BytesSent();
        return s;
    }

    void Publish() {
        bool wake = false;
        const bool changed = protocol.TakeChanged(&wake);
        if (!line.TakeChanged() && !changed) {
            return;
        }
        std::lock_guard<std::mutex> lock(mu);
        shared = Counters();
        if (wake) {
            cv.notify_all();
        }
    }

    void Wake() {
        const char c = 1;
        [[maybe_unused]] const ssize_t w = ::write(wake_w, &c, 1);
    }

    void OpenWakePipe() {
        int p[2];
        if (::pipe(p) != 0) {
            throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
        }
        wake_r = p[0];
        wake_w = p[1];
        for (int fd : p) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
    }

    void CloseAll() {
        line.Close();
        for (int* fd : {&wake_r, &wake_w}) {
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        }
    }
};

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() {
    Stop();
}

void Simulator::Start() {
    Impl& d = *impl_;
    if (d.started) {
        throw std::runtime_error("a simulator starts only once");
    }
    if (d.opt.idle_gap_ms < 1 || d.opt.split_gap_ms < 0 || d.opt.late_ms < 0 || d.opt.xoff_ms < 0 ||
        d.opt.very_late_ms < 0 || d.opt.session_timeout_ms < 0 || d.opt.random_fault_rate < 0 ||
        d.opt.random_fault_rate > 1) {
        throw std::runtime_error("invalid simulator options");
    }
    TimePoint origin;
    try {
        d.line.Open();
        d.OpenWakePipe();
        origin = Clock::now();
        d.line.StartTrace(origin);
    } catch (...) {
        d.CloseAll();
        throw;
    }
    d.protocol.Start(origin);
    d.shared = d.Counters();
    d.running = true;
    d.started = true;
    d.thread = std::thread([&d] { d.Loop(); });
    if (pthread_getcpuclockid(d.thread.native_handle(), &d.cpu_clock) != 0) {
        d.cpu_clock = CLOCK_THREAD_CPUTIME_ID;  // reads as the caller's: better than nothing
    }
}

void Simulator::Stop() {
    Impl& d = *impl_;
    if (!d.thread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(d.mu);
        d.stop_requested = true;
    }
    d.Wake();
    d.thread.join();
    d.CloseAll();
}

std::string Simulator::DevicePath() const {
    return impl_->line.Device();
}

void Simulator::Restart() {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->restart_requested = true;
    }
    if (impl_->wake_w >= 0) {
        impl_->Wake();
    }
}

Stats Simulator::GetStats() const {
    const Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    Stats s = d.shared;
    s.cpu_us = d.final_cpu_us;
    if (d.running) {
        timespec cpu{};
        if (::clock_gettime(d.cpu_clock, &cpu) == 0) {
            s.cpu_us = Microseconds(cpu);
        }
    }
    return s;
}

bool Simulator::WaitForSessions(std::uint64_t n, std::chrono::milliseconds timeout) const {
    const Impl& d = *impl_;
    std::unique_lock<std::mutex> lock(d.mu);
    d.cv.wait_for(lock, timeout, [&] {
        return d.shared.sessions_completed >= n || d.shared.state == LoaderState::HungUp ||
               d.shared.state == LoaderState::Stopped || d.shared.state == LoaderState::Finished;
    });
    return d.shared.sessions_completed >= n;
}

bool Simulator::WaitUntilFinished(std::chrono::milliseconds timeout) const {
    const Impl& d = *impl_;
    std::unique_lock<std::mutex> lock(d.mu);
    return d.cv.wait_for(lock, timeout, [&] {
        return d.shared.state == LoaderState::HungUp || d.shared.state == LoaderState::Stopped ||
               d.shared.state == LoaderState::Finished;
    });
}

MemoryImage Simulator::LastImage() const {
    std::lock_guard<std::mutex> lock(impl_->image_mu);
    return impl_->protocol.LastImage();
}

MemoryImage Simulator::CurrentImage() const {
    std::lock_guard<std::mutex> lock(impl_->image_mu);
    return impl_->protocol.CurrentImage();
}

}  // namespace bootsim
