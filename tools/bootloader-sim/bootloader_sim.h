#pragma once

// A simulated datalogger bootloader on a pseudo-terminal.
//
// The simulator owns a pty and a thread. The host opens the slave side (DevicePath) as its
// serial port; the simulator plays the datalogger on the master side: it announces a
// restart, answers ready requests with its version record, checks and "flashes" each
// record, and ends a session with the final tokens. Faults are injected by line number so
// that a host's recovery can be tested line by line, and every byte on the line can be
// traced with its time.
//
// Everything here is thread-safe: the host under test typically blocks its own thread in
// the update while the simulator answers on its own.
//
// The bootloader itself is the Protocol (protocol.h), which a test can also drive alone in
// virtual time; the pty, its pace and the trace are the Line (line.h).

#include "sim_types.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace bootsim {

class Simulator {
public:
    explicit Simulator(Options options = Options());
    ~Simulator();  // stops
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Creates the pty (raw, 57600 8N1), the link and the trace, and starts the thread.
    // Throws std::runtime_error when any of them fails.
    void Start();
    // Ends the thread, closes the line, removes the link. Idempotent.
    void Stop();

    // The slave device, e.g. /dev/pts/7; valid after Start.
    std::string DevicePath() const;

    // "The user restarted the datalogger": abandon any session in progress and announce
    // '^'. Asynchronous; ignored once all sessions were served or the line hung up.
    void Restart();

    Stats GetStats() const;
    // Waits until at least n sessions completed (ended with the final tokens, which are then
    // on the line and in the trace). False on time-out, hang-up or stop.
    bool WaitForSessions(std::uint64_t n, std::chrono::milliseconds timeout) const;
    // Waits until the simulator has nothing more to do: all sessions served, hung up or
    // stopped.
    bool WaitUntilFinished(std::chrono::milliseconds timeout) const;

    // The image of the last session that ended (completed, or abandoned: then what it left
    // in flash), and of the session in progress.
    MemoryImage LastImage() const;
    MemoryImage CurrentImage() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace bootsim
