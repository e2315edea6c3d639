#pragma once

// Child processes for the suite: every host under measurement and every simulator runs in
// a process of its own, so that each one's processor time and peak memory are its own.

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace bench {

class Child {
public:
    // Starts argv[0] (a path) with argv, its standard output on a pipe to us and its
    // standard error shared with ours; env adds "NAME=value" entries to our environment.
    // With precise_timers its timed sleeps end on time instead of up to 50 us late (the
    // kernel's default timer slack, which it keeps across exec). Throws std::runtime_error
    // when it cannot be started.
    static Child Start(const std::vector<std::string>& argv,
                       const std::vector<std::string>& env = {}, bool precise_timers = false);

    Child(Child&& other) noexcept;
    Child& operator=(Child&&) = delete;
    Child(const Child&) = delete;
    ~Child();  // stops it if it still runs

    pid_t Pid() const { return pid_; }

    // One line of its output, without the newline; nothing when none came in time.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);

    struct Result {
        bool timed_out = false;
        int status = 0;  // as wait4 gives it
        rusage usage{};  // its own processor time and peak memory, from wait4
        std::string output;
        bool ExitedZero() const;
    };
    // Reads its output to the end and reaps it; kills it when it runs past the timeout.
    Result Finish(std::chrono::milliseconds timeout);
    // Asks it to end (SIGTERM), kills it if it does not within a second, and reaps it.
    void Stop();

private:
    Child(pid_t pid, int out) : pid_(pid), out_(out) {}
    Result Reap(bool timed_out);

    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffered_;
};

}  // namespace bench
