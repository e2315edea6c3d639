#include "process.h"

#include "measure.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace bench {

Child Child::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   bool precise_timers) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    // Everything the child needs is made before the fork: after it only async-signal-safe
    // calls are allowed.
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    // Ours first: a lookup takes the first entry of a name.
    std::vector<char*> envp;
    for (const std::string& e : env) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    for (char** e = environ; *e != nullptr; ++e) {
        envp.push_back(*e);
    }
    envp.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        ::dup2(pipe_fds[1], STDOUT_FILENO);
        if (precise_timers) {
            ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        }
        ::execve(args[0], args.data(), envp.data());
        const char msg[] = "bench: cannot start a child process\n";
        [[maybe_unused]] const ssize_t w = ::write(STDERR_FILENO, msg, sizeof msg - 1);
        ::_exit(127);
    }
    ::close(pipe_fds[1]);
    return Child(pid, pipe_fds[0]);
}

Child::Child(Child&& other) noexcept
    : pid_(other.pid_), out_(other.out_), buffered_(std::move(other.buffered_)) {
    other.pid_ = -1;
    other.out_ = -1;
}

Child::~Child() {
    Stop();
}

bool Child::Result::ExitedZero() const {
    return !timed_out && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::optional<std::string> Child::ReadLine(std::chrono::milliseconds timeout) {
    const std::int64_t deadline = NowUs() + std::int64_t(timeout.count()) * 1000;
    for (;;) {
        const std::size_t nl = buffered_.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return line;
        }
        const std::int64_t left_us = deadline - NowUs();
        if (out_ < 0 || left_us <= 0) {
            return std::nullopt;
        }
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, int((left_us + 999) / 1000)) <= 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n <= 0) {
            ::close(out_);
            out_ = -1;
            return std::nullopt;
        }
        buffered_.append(chunk, std::size_t(n));
    }
}

Child::Result Child::Finish(std::chrono::milliseconds timeout) {
    const std::int64_t deadline = NowUs() + std::int64_t(timeout.count()) * 1000;
    while (out_ >= 0) {
        const std::int64_t left_us = deadline - NowUs();
        if (left_us <= 0) {
            ::kill(pid_, SIGKILL);
            return Reap(true);
        }
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, int((left_us + 999) / 1000)) <= 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n > 0) {
            buffered_.append(chunk, std::size_t(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(out_);
            out_ = -1;
        }
    }
    return Reap(false);
}

Child::Result Child::Reap(bool timed_out) {
    Result r;
    r.timed_out = timed_out;
    if (pid_ > 0) {
        while (::wait4(pid_, &r.status, 0, &r.usage) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    if (out_ >= 0) {
        ::close(out_);
        out_ = -1;
    }
    r.output = std::move(buffered_);
    buffered_.clear();
    return r;
}

void Child::Stop() {
    if (pid_ <= 0) {
        if (out_ >= 0) {
            ::close(out_);
            out_ = -1;
        }
        return;
    }
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        ::usleep(10000);
    }
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    if (out_ >= 0) {
        ::close(out_);
        out_ = -1;
    }
}

}  // namespace bench
