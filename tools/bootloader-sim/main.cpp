// bootloader-sim: the simulated datalogger bootloader as a command for people and scripts.
// The first line it prints is the device to open; events follow, one per line. Besides
// serving the line it writes sample update files and images; its options are read in
// command_line.cpp.

#include "bootloader_sim.h"
#include "command_line.h"

#include <poll.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

int g_signal_pipe[2] = {-1, -1};

void OnSignal(int) {
    const char c = 's';
    [[maybe_unused]] const ssize_t w = ::write(g_signal_pipe[1], &c, 1);
}

bool WriteImage(const bootsim::Command& c, const bootsim::MemoryImage& image, std::string* error) {
    if (!c.image_hex.empty() && !bootsim::WriteFile(c.image_hex, image.ToIntelHex(), error)) {
        return false;
    }
    if (!c.image_bin.empty()) {
        std::string bin;
        const std::uint32_t base = c.image_base_set ? c.image_base : image.Lowest();
        if (!image.ToBinary(base, bin)) {
            *error = "the image has bytes below --image-base";
            return false;
        }
        return bootsim::WriteFile(c.image_bin, bin, error);
    }
    return true;
}

// The write log of a session that takes every data line of an update file once.
std::string WriteLogOf(const std::string& fileText) {
    std::string log;
    for (const std::string& line : bootsim::UpdateDataLines(fileText)) {
        log += line + '\n';
    }
    return log;
}

std::string Stamp(std::chrono::steady_clock::time_point origin) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - origin)
                        .count();
    char buf[32];
    std::snprintf(buf, sizeof buf, "[%6lld.%03lld] ", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000));
    return buf;
}

void PrintStats(const bootsim::Stats& s) {
    std::printf(
        "state %s; restarts %llu, ready requests %llu, records %llu (lines %llu), acks %llu, "
        "checksum errors %llu, flash errors %llu, unanswered %llu, faults %llu, garbage %llu; "
        "sessions %llu completed, %llu ok, %llu abandoned; bytes in %llu, out %llu; cpu %llu us\n",
        bootsim::LoaderStateName(s.state), static_cast<unsigned long long>(s.restarts),
        static_cast<unsigned long long>(s.ready_requests),
        static_cast<unsigned long long>(s.records), static_cast<unsigned long long>(s.lines),
        static_cast<unsigned long long>(s.acks), static_cast<unsigned long long>(s.checksum_errors),
        static_cast<unsigned long long>(s.flash_errors),
        static_cast<unsigned long long>(s.unanswered), static_cast<unsigned long long>(s.faults),
        static_cast<unsigned long long>(s.garbage),
        static_cast<unsigned long long>(s.sessions_completed),
        static_cast<unsigned long long>(s.sessions_ok),
        static_cast<unsigned long long>(s.sessions_aborted),
        static_cast<unsigned long long>(s.bytes_received),
        static_cast<unsigned long long>(s.bytes_sent), static_cast<unsigned long long>(s.cpu_us));
    std::fflush(stdout);
}

int Serve(bootsim::Command& c) {
    if (::pipe(g_signal_pipe) != 0) {
        std::fprintf(stderr, "bootloader-sim: pipe: %s\n", std::strerror(errno));
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    const auto origin = std::chrono::steady_clock::now();
    if (!c.quiet) {
        c.sim.log = [origin](const std::string& text) {
            std::printf("%s%s\n", Stamp(origin).c_str(), text.c_str());
            std::fflush(stdout);
        };
    }
    if (!c.image_hex.empty() || !c.image_bin.empty()) {
        c.sim.on_session = [&c](const bootsim::SessionReport& r) {
            std::string error;
            if (!WriteImage(c, *r.image, &error)) {
                std::fprintf(stderr, "bootloader-sim: %s\n", error.c_str());
            }
        };
    }

    bootsim::Simulator sim(c.sim);
    try {
        sim.Start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bootloader-sim: %s\n", e.what());
        return 1;
    }
    std::printf("%s\n", sim.DevicePath().c_str());
    if (!c.quiet) {
        if (!c.sim.link_path.empty()) {
            std::printf("%slink %s -> %s\n", Stamp(origin).c_str(), c.sim.link_path.c_str(),
                        sim.DevicePath().c_str());
        }
        if (c.sim.restart_after_ms < 0 && c.sim.restart_every_ms <= 0) {
            std::printf("%stype \"restart\" to restart the datalogger\n", Stamp(origin).c_str());
        }
    }
    std::fflush(stdout);

    // Tells the main loop when the simulator has nothing more to do.
    std::thread watcher([&sim] {
        sim.WaitUntilFinished(std::chrono::hours(24 * 365 * 100));
        const char f = 'f';
        [[maybe_unused]] const ssize_t w = ::write(g_signal_pipe[1], &f, 1);
    });

    bool stdin_open = true;
    std::string pending;
    bool finished = false;
    bool stop = false;
    while (!stop) {
        pollfd fds[2] = {{g_signal_pipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(fds, stdin_open ? 2 : 1, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents & POLLIN) {
            char why = 0;
            if (::read(g_signal_pipe[0], &why, 1) == 1) {
                finished = why == 'f';
                stop = true;
            }
        }
        if (stdin_open && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[512];
            const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0) {
                stdin_open = false;  // no terminal (a script, CI): keep serving
                continue;
            }
            pending.append(buf, static_cast<std::size_t>(n));
            std::size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
                    line.pop_back();
                }
                if (line == "restart") {
                    sim.Restart();
                } else if (line == "stats") {
                    PrintStats(sim.GetStats());
                } else if (line == "quit" || line == "exit") {
                    stop = true;
                } else if (!line.empty()) {
                    std::printf("commands: restart, stats, quit\n");
                    std::fflush(stdout);
                }
            }
        }
    }
    if (finished && sim.GetStats().state == bootsim::LoaderState::Finished && c.linger_ms > 0) {
        // The host may still be reading the final tokens; give it a moment before the line
        // goes away under it.
        pollfd p{g_signal_pipe[0], POLLIN, 0};
        ::poll(&p, 1, c.linger_ms);
    }
    sim.Stop();
    watcher.join();
    if (!c.quiet) {
        PrintStats(sim.GetStats());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bootsim::Command c;
    try {
        c = bootsim::ParseArgs(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const bootsim::UsageError& e) {
        std::fprintf(stderr, "bootloader-sim: %s\nTry 'bootloader-sim --help'.\n",
                     e.message.c_str());
        return 2;
    }
    if (c.help) {
        std::fputs(bootsim::kUsage, stdout);
        return 0;
    }
    std::string error;
    if (c.sample_records >= 0) {
        const std::string text = bootsim::MakeSampleUpdate(static_cast<int>(c.sample_records));
        if (!bootsim::WriteFile(c.sample_path, text, &error)) {
            std::fprintf(stderr, "bootloader-sim: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    if (!c.image_of.empty()) {
        // What a session that takes every line of the file once writes, by the same rules.
        bootsim::MemoryImage image;
        std::string text;
        if (!bootsim::ReadFile(c.image_of, text, &error) ||
            !bootsim::ImageOfUpdate(text, image, &error) || !WriteImage(c, image, &error) ||
            (!c.sim.write_log_path.empty() &&
             !bootsim::WriteFile(c.sim.write_log_path, WriteLogOf(text), &error))) {
            std::fprintf(stderr, "bootloader-sim: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    return Serve(c);
}
