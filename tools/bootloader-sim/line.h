#pragma once

// The serial line between the host and the protocol: a pseudo-terminal whose slave is the
// host's "serial port", the pace of a real 8N1 line when asked for, the host's XON/XOFF,
// and the byte trace. It moves bytes and keeps time for them; what they mean is the
// protocol's business.

#include "protocol.h"
#include "sim_types.h"
#include "trace.h"

#include <sys/uio.h>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

namespace bootsim {

class Line {
public:
    // Both must outlive the line.
    Line(const Options& options, Protocol& protocol);
    ~Line() { Close(); }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // Creates the pty (raw, 57600 8N1) and the link. Throws std::runtime_error.
    void Open();
    // Opens the trace, whose times count from origin. Throws std::runtime_error.
    void StartTrace(TimePoint origin);
    // Closes the line and removes the link. Idempotent.
    void Close();
    // The hang-up fault: the host's port goes away.
    void HangUp(TimePoint now);
    // The datalogger restarted: bytes on their way in are lost, the host's XOFF forgotten.
    void Restarted();

    const std::string& Device() const { return device_; }
    bool Paced() const { return byte_time_.count() != 0; }
    Trace& GetTrace() { return trace_; }

    // For the thread's poll: the master, when it is worth polling now.
    int PollFd(TimePoint now) const { return master_ >= 0 && now >= quiet_until_ ? master_ : -1; }
    bool WantsToWrite() const { return want_pollout_; }
    // The master is readable: takes what the host sent. Unpaced it goes to the protocol at
    // once; paced it is on its way in until ReleaseInput finds its last bit in.
    void Read(TimePoint now);
    void ReleaseInput(TimePoint now);
    // No byte is on its way in.
    bool InputQuiet() const { return wire_in_.empty(); }
    // Writes what the protocol has due, unless the host said XOFF.
    void Write(TimePoint now);
    // Puts the trace on disk once the line has been quiet for a moment.
    void FlushTraceIfQuiet(TimePoint now);
    // When the line next has something to do: a paced byte in or out, the trace's flush.
    TimePoint NextDeadline(TimePoint now) const;

    // True once after a byte went either way.
    bool TakeChanged();
    std::uint64_t BytesReceived() const { return bytes_received_; }
    std::uint64_t BytesSent() const { return bytes_sent_; }

private:
    void Deliver(std::string_view bytes, TimePoint t);
    void TraceSent(TimePoint now, const iovec* iov, int n, std::size_t w);
    TimePoint NextInputTime() const;
    TimePoint NextOutputTime() const;
    void MakeLink();
    void RemoveLink();

    const Options& opt_;
    Protocol& protocol_;
    std::string device_;
    int master_ = -1;
    int slave_ = -1;
    bool linked_ = false;
    std::chrono::nanoseconds byte_time_{0};
    Trace trace_;

    bool peer_stopped_ = false;  // the host sent XOFF
    bool want_pollout_ = false;
    TimePoint quiet_until_{};  // the master misbehaved: leave it alone until then
    TimePoint tx_free_{};      // paced: when the line is free for our next byte
    std::deque<std::pair<TimePoint, char>> wire_in_;  // paced: bytes still on their way in
    TimePoint rx_free_{};
    std::string rx_batch_;
    std::string data_;

    bool changed_ = false;
    std::uint64_t bytes_received_ = 0;
    std::uint64_t bytes_sent_ = 0;
};

}  // namespace bootsim
