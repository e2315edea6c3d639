#include "line.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace bootsim {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kTraceQuiet{50};

std::string SysError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

Line::Line(const Options& options, Protocol& protocol) : opt_(options), protocol_(protocol) {
    if (opt_.pace_baud > 0) {
        // 8N1: a start bit, eight data bits and a stop bit for every byte.
        byte_time_ = std::chrono::nanoseconds(10ull * 1000000000ull / opt_.pace_baud);
    }
}

// ---- setup --------------------------------------------------------------------------------

void Line::Open() {
    try {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0) {
            throw std::runtime_error(SysError("posix_openpt"));
        }
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
        if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            throw std::runtime_error(SysError("grantpt/unlockpt"));
        }
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0) {
            throw std::runtime_error(SysError("ptsname_r"));
        }
        device_ = name;
        // Held for the simulator's whole life: with no slave open the master reports a
        // hang-up on every poll, and the host closes its port between runs.
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) {
            throw std::runtime_error(SysError("open " + device_));
        }
        // Raw from the start: a cooked pty would echo the simulator's own bytes back to it
        // and turn CR into LF before the host has set the line up.
        termios t{};
        if (::tcgetattr(slave_, &t) != 0) {
            throw std::runtime_error(SysError("tcgetattr"));
        }
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        ::cfsetispeed(&t, B57600);
        ::cfsetospeed(&t, B57600);
        if (::tcsetattr(slave_, TCSANOW, &t) != 0) {
            throw std::runtime_error(SysError("tcsetattr"));
        }
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        MakeLink();
    } catch (...) {
        Close();
        throw;
    }
}

void Line::StartTrace(TimePoint origin) {
    if (!opt_.trace_path.empty() && !trace_.Open(opt_.trace_path, origin)) {
        throw std::runtime_error(SysError("cannot create trace " + opt_.trace_path));
    }
    trace_.Note(origin, "line " + device_ + (Paced() ? " paced" : " at once"));
}

void Line::MakeLink() {
    if (opt_.link_path.empty()) {
        return;
    }
    struct stat s {};
    if (::lstat(opt_.link_path.c_str(), &s) == 0) {
        if (!S_ISLNK(s.st_mode)) {
            throw std::runtime_error(opt_.link_path + " exists and is not a symbolic link");
        }
        ::unlink(opt_.link_path.c_str());
    }
    if (::symlink(device_.c_str(), opt_.link_path.c_str()) != 0) {
        throw std::runtime_error(SysError("symlink " + opt_.link_path));
    }
    linked_ = true;
}

// Removes the link once, and only while it still points at this simulator's device: a
// second simulator may have taken the name over, even with the same device number.
void Line::RemoveLink() {
    if (!linked_) {
        return;
    }
    linked_ = false;
    char target[256];
    const ssize_t n = ::readlink(opt_.link_path.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == device_) {
        ::unlink(opt_.link_path.c_str());
    }
}

void Line::Close() {
    RemoveLink();
    CloseFd(master_);
    CloseFd(slave_);
}

void Line::HangUp(TimePoint) {
    CloseFd(master_);
    CloseFd(slave_);
    wire_in_.clear();
    trace_.Flush();
    RemoveLink();
}

void Line::Restarted() {
    wire_in_.clear();
    peer_stopped_ = false;
}

// ---- input --------------------------------------------------------------------------------

void Line::Read(TimePoint now) {
    char buf[8192];
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR) {
            // Cannot happen while the slave is held open; should it, give the line a moment
            // rather than spin on it.
            quiet_until_ = now + milliseconds(50);
        }
        return;
    }
    if (n == 0) {
        quiet_until_ = now + milliseconds(50);
        return;
    }
    bytes_received_ += static_cast<std::uint64_t>(n);
    changed_ = true;
    if (!Paced()) {
        trace_.Bytes(now, "RX", std::string_view(buf, static_cast<std::size_t>(n)));
        Deliver(std::string_view(buf, static_cast<std::size_t>(n)), now);
        return;
    }
    const TimePoint start = std::max(now, rx_free_);
    for (ssize_t i = 0; i < n; ++i) {
        wire_in_.emplace_back(start + byte_time_ * (i + 1), buf[i]);
    }
    rx_free_ = start + byte_time_ * n;
}

// Paced: when the bytes on their way in next matter, i.e. when the byte that completes a
// unit or carries flow control is in, or else the last of them. Waking for each byte would
// cost a context switch per byte and show the host nothing more.
TimePoint Line::NextInputTime() const {
    if (wire_in_.empty()) {
        return TimePoint::max();
    }
    std::string pending;
    for (const auto& [t, c] : wire_in_) {
        if (c == kXon || c == kXoff) {
            return t;
        }
        pending.push_back(c);
    }
    const std::size_t k = protocol_.CompletesAfter(pending);
    return k > 0 ? wire_in_[k - 1].first : wire_in_.back().first;
}

// Paced: bytes count as received when their last bit is in.
void Line::ReleaseInput(TimePoint now) {
    if (wire_in_.empty() || wire_in_.front().first > now) {
        return;
    }
    rx_batch_.clear();
    TimePoint last = now;
    while (!wire_in_.empty() && wire_in_.front().first <= now) {
        rx_batch_.push_back(wire_in_.front().second);
        last = wire_in_.front().first;
        wire_in_.pop_front();
    }
    trace_.Bytes(last, "RX", rx_batch_);
    Deliver(rx_batch_, last);
}

// The host's own flow control (it runs with IXOFF) is honoured and is no data.
void Line::Deliver(std::string_view bytes, TimePoint t) {
    data_.clear();
    for (const char c : bytes) {
        if (c == kXon || c == kXoff) {
            peer_stopped_ = c == kXoff;
        } else {
            data_.push_back(c);
        }
    }
    protocol_.Feed(data_, t);
}

// ---- output -------------------------------------------------------------------------------

void Line::Write(TimePoint now) {
    want_pollout_ = false;
    const std::deque<Output>& out = protocol_.Outbox();
    if (master_ < 0 || out.empty() || peer_stopped_ || protocol_.Held()) {
        return;
    }
    if (!Paced()) {
        // Everything due goes in one write, up to the end of an XOFF: what follows it waits
        // for the hold to end.
        iovec iov[16];
        int n = 0;
        for (auto it = out.begin(); it != out.end() && n < 16; ++it) {
            iov[n].iov_base = const_cast<char*>(it->bytes.data() + it->sent);
            iov[n].iov_len = it->bytes.size() - it->sent;
            ++n;
            if (it->hold_ms >= 0) {
                break;
            }
        }
        const ssize_t w = ::writev(master_, iov, n);
        if (w < 0) {
            want_pollout_ = (errno == EAGAIN || errno == EINTR);
            return;
        }
        TraceSent(now, iov, n, static_cast<std::size_t>(w));
        protocol_.Written(static_cast<std::size_t>(w), now);
        want_pollout_ = !protocol_.Outbox().empty() && !protocol_.Held();
        return;
    }
    // Paced: a piece reaches the host when its last byte would have, a byte time per byte
    // after the line was free for it. Writing it whole then costs one wake-up per reply
    // instead of one per byte, and is never ahead of the wire.
    while (!out.empty() && !peer_stopped_ && !protocol_.Held()) {
        const Output& o = out.front();
        const std::size_t count = o.bytes.size() - o.sent;
        const TimePoint arrive =
            std::max(o.ready, tx_free_) + byte_time_ * static_cast<long>(count);
        if (arrive > now) {
            break;
        }
        const ssize_t w = ::write(master_, o.bytes.data() + o.sent, count);
        if (w <= 0) {
            want_pollout_ = (w < 0 && (errno == EAGAIN || errno == EINTR));
            return;
        }
        trace_.Bytes(now, "TX",
                     std::string_view(o.bytes.data() + o.sent, static_cast<std::size_t>(w)));
        bytes_sent_ += static_cast<std::uint64_t>(w);
        changed_ = true;
        tx_free_ = arrive;
        protocol_.Written(static_cast<std::size_t>(w), now);
    }
}

void Line::TraceSent(TimePoint now, const iovec* iov, int n, std::size_t w) {
    bytes_sent_ += w;
    changed_ = true;
    if (!trace_.IsOpen()) {
        return;
    }
    std::string sent;
    for (int i = 0; i < n && w > 0; ++i) {
        const std::size_t take = std::min(w, iov[i].iov_len);
        sent.append(static_cast<const char*>(iov[i].iov_base), take);
        w -= take;
    }
    trace_.Bytes(now, "TX", sent);
}

TimePoint Line::NextOutputTime() const {
    const std::deque<Output>& out = protocol_.Outbox();
    if (out.empty() || peer_stopped_ || protocol_.Held() || !Paced()) {
        return TimePoint::max();
    }
    const Output& o = out.front();
    const std::size_t count = o.bytes.size() - o.sent;
    return std::max(o.ready, tx_free_) + byte_time_ * static_cast<long>(count);
}

void Line::FlushTraceIfQuiet(TimePoint now) {
    if (trace_.Dirty() && now >= trace_.LastWrite() + kTraceQuiet) {
        trace_.Flush();
    }
}

TimePoint Line::NextDeadline(TimePoint now) const {
    TimePoint d = std::min(NextInputTime(), NextOutputTime());
    if (trace_.Dirty()) {
        d = std::min(d, trace_.LastWrite() + kTraceQuiet);
    }
    if (master_ >= 0 && now < quiet_until_) {
        d = std::min(d, quiet_until_);
    }
    return d;
}

bool Line::TakeChanged() {
    const bool changed = changed_;
    changed_ = false;
    return changed;
}

}  // namespace bootsim
