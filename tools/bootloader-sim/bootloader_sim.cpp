#include "bootloader_sim.h"

#include "trace.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace bootsim {

namespace {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;
constexpr char kTokenRestart = '^';
constexpr char kTokenAck = '~';
constexpr char kTokenChecksum = '-';
constexpr char kTokenFlash = '%';
constexpr char kTokenOk = '@';
constexpr char kTokenEnd = '#';

// After a host gives up on a line it moves on; the simulator only leaves a random fault on
// the first two sends of a line, so that a host that resends as the protocol says always
// gets the line through, and a random run can be told apart from a broken host.
constexpr int kRandomFaultSends = 2;

// Noise is what a real line picks up: bytes that are no token of the protocol, no part of
// a version record and no flow control, so a correct host ignores every one of them.
constexpr char kNoiseBytes[] = "abcdefghijklmnopqrstuwxyz*!+=;<>_\x00\x7F\xFF";
constexpr std::string_view kNoise(kNoiseBytes, sizeof kNoiseBytes - 1);

constexpr milliseconds kTraceQuiet{50};
constexpr microseconds kPacingSpin{150};

// splitmix64: the same sequence from the same seed on every platform and library, which
// the standard distributions do not promise.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
    std::size_t Below(std::size_t n) { return static_cast<std::size_t>(Next() % n); }

private:
    std::uint64_t state_;
};

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

const char* FaultKindName(FaultKind kind) {
    switch (kind) {
        case FaultKind::Checksum:
            return "checksum";
        case FaultKind::Flash:
            return "flash";
        case FaultKind::Silent:
            return "silent";
        case FaultKind::Late:
            return "late";
        case FaultKind::Noise:
            return "noise";
        case FaultKind::Xoff:
            return "xoff";
        case FaultKind::XoffAfter:
            return "xoff-after";
        case FaultKind::Hangup:
            return "hangup";
    }
    return "?";
}

bool ParseFaultKind(const std::string& name, FaultKind& out) {
    for (FaultKind k :
         {FaultKind::Checksum, FaultKind::Flash, FaultKind::Silent, FaultKind::Late,
          FaultKind::Noise, FaultKind::Xoff, FaultKind::XoffAfter, FaultKind::Hangup}) {
        if (name == FaultKindName(k)) {
            out = k;
            return true;
        }
    }
    return false;
}

const char* LoaderStateName(LoaderState state) {
    switch (state) {
        case LoaderState::Idle:
            return "idle";
        case LoaderState::AwaitingReady:
            return "awaiting-ready";
        case LoaderState::Receiving:
            return "receiving";
        case LoaderState::Finished:
            return "finished";
        case LoaderState::HungUp:
            return "hung-up";
        case LoaderState::Stopped:
            return "stopped";
    }
    return "?";
}

struct Simulator::Impl {
    explicit Impl(Options o)
        : opt(std::move(o)), fault_rng(opt.seed), noise_rng(opt.seed ^ 0x6E6F697365ull) {}

    // What happens once a chunk of output has gone onto the line.
    enum class After { Nothing, SessionComplete };

    struct Chunk {
        std::string bytes;
        TimePoint ready;
        After after = After::Nothing;
        // >= 0: the chunk ends in XOFF, and a hold of this many ms, in which nothing else
        // goes out, starts when it is out (the xoff-after fault). A chunk always goes in
        // one write, so the reply and the XOFF behind it reach the host together and the
        // host cannot slip a line in between.
        int hold_ms = -1;
        std::size_t sent = 0;
    };
    struct Timed {
        TimePoint at;
        std::uint64_t seq;
        Chunk chunk;
        bool operator>(const Timed& o) const { return at != o.at ? at > o.at : seq > o.seq; }
    };

    // What the faults that match one send of a line add up to.
    struct Plan {
        bool checksum = false, flash = false, silent = false, hangup = false;
        int late_ms = -1;
        int xoff_ms = -1;
        bool xoff_after = false;
        bool noise = false;
        bool Any() const {
            return checksum || flash || silent || hangup || late_ms >= 0 || xoff_ms >= 0 || noise;
        }
    };

    // ---- fixed after Start
    Options opt;
    std::string device;
    int master = -1;
    int slave = -1;
    int wake_r = -1;
    int wake_w = -1;
    std::thread thread;
    clockid_t cpu_clock{};
    bool started = false;
    TimePoint origin;
    nanoseconds byte_time{0};

    // ---- shared with other threads
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    Stats shared;  // a copy of st, published by the loop
    bool restart_requested = false;
    bool stop_requested = false;
    bool running = false;
    std::uint64_t final_cpu_us = 0;
    mutable std::mutex image_mu;  // the images are written by the loop, read by anybody
    MemoryImage current;
    MemoryImage last;

    // ---- the loop's own
    Stats st;
    bool publish = false;
    bool notify = false;
    Framer framer;
    Record record;
    ImageBuilder builder{current};
    Trace trace;
    Random fault_rng;
    Random noise_rng;
    std::deque<Chunk> out;
    // When the last answer queued so far goes out: answers go out in order, so none goes
    // before it (except a late one with late_overtakes).
    TimePoint answer_free{};
    std::vector<Timed> timed;  // a min-heap on (at, seq)
    std::uint64_t timed_seq = 0;
    TimePoint tx_free{};  // paced: when the line is free for our next byte
    std::deque<std::pair<TimePoint, char>> wire_in;  // paced: bytes still on their way in
    TimePoint rx_free{};
    TimePoint last_rx{};
    bool want_pollout = false;
    bool peer_stopped = false;  // the host sent XOFF
    bool host_held = false;     // our last flow control byte on the line was XOFF
    bool xoff_held = false;     // an xoff-after hold: nothing goes out until xoff_until
    TimePoint xoff_until{};
    TimePoint restart_at = TimePoint::max();
    TimePoint master_quiet_until{};
    std::string rx_batch;

    // The session in progress.
    std::uint64_t session = 1;  // the number the session will have when it completes
    int session_ready = 0;      // ready requests seen in this session
    std::uint64_t line_no = 0;
    std::uint64_t session_records = 0;
    std::string line_text;
    int line_sends = 0;
    bool line_accepted = false;
    bool session_failed = false;

    // ------------------------------------------------------------------------------------
    void Log(TimePoint t, const std::string& text) {
        trace.Note(t, text);
        if (opt.log) {
            opt.log(text);
        }
    }

    void SetState(LoaderState s) {
        st.state = s;
        publish = notify = true;
    }

    bool Terminal() const {
        return st.state == LoaderState::Finished || st.state == LoaderState::HungUp ||
               st.state == LoaderState::Stopped;
    }

    // ---- output ---------------------------------------------------------------------------
    void Send(std::string bytes, TimePoint now, After after = After::Nothing, int hold_ms = -1) {
        out.push_back(Chunk{std::move(bytes), now, after, hold_ms, 0});
    }

    void SendAt(TimePoint at, std::string bytes, After after = After::Nothing, int hold_ms = -1) {
        timed.push_back(Timed{at, timed_seq++, Chunk{std::move(bytes), at, after, hold_ms, 0}});
        std::push_heap(timed.begin(), timed.end(), std::greater<Timed>());
    }

    // Sends now or later, in the order of the calls either way for equal times.
    void SendWhen(TimePoint at, std::string bytes, TimePoint now, After after = After::Nothing,
                  int hold_ms = -1) {
        if (at <= now) {
            Send(std::move(bytes), now, after, hold_ms);
        } else {
            SendAt(at, std::move(bytes), after, hold_ms);
        }
    }

    void ReleaseTimed(TimePoint now) {
        while (!timed.empty() && timed.front().at <= now) {
            std::pop_heap(timed.begin(), timed.end(), std::greater<Timed>());
            out.push_back(std::move(timed.back().chunk));
            timed.pop_back();
        }
    }

    void Finish(Chunk& c, TimePoint now) {
        for (char b : c.bytes) {
            if (b == kXon || b == kXoff) {
                host_held = b == kXoff;
            }
        }
        if (c.hold_ms >= 0 && master >= 0) {
            xoff_held = true;
            xoff_until = now + milliseconds(c.hold_ms);
        }
        if (c.after == After::SessionComplete) {
            SessionComplete(now);
        }
    }

    void WriteOutput(TimePoint now) {
        want_pollout = false;
        if (master < 0 || out.empty() || peer_stopped || xoff_held) {
            return;
        }
        if (byte_time.count() == 0) {
            // Everything due goes in one write, up to the end of an XOFF: what follows it
            // waits for the hold to end.
            iovec iov[16];
            int n = 0;
            for (auto it = out.begin(); it != out.end() && n < 16; ++it) {
                iov[n].iov_base = &it->bytes[it->sent];
                iov[n].iov_len = it->bytes.size() - it->sent;
                ++n;
                if (it->hold_ms >= 0) {
                    break;
                }
            }
            const ssize_t w = ::writev(master, iov, n);
            if (w < 0) {
                want_pollout = (errno == EAGAIN || errno == EINTR);
                return;
            }
            TraceSent(now, iov, n, static_cast<std::size_t>(w));
            std::size_t left = static_cast<std::size_t>(w);
            while (!out.empty()) {
                Chunk& c = out.front();
                const std::size_t take = std::min(left, c.bytes.size() - c.sent);
                c.sent += take;
                left -= take;
                if (c.sent < c.bytes.size()) {
                    want_pollout = true;
                    break;
                }
                Chunk done = std::move(c);
                out.pop_front();
                Finish(done, now);
                if (xoff_held) {
                    break;
                }
            }
            return;
        }
        // Paced: a chunk reaches the host when its last byte would have, a byte time per
        // byte after the line was free for it. Writing it whole then costs one wake-up per
        // reply instead of one per byte, and is never ahead of the wire.
        while (!out.empty() && !peer_stopped && !xoff_held) {
            Chunk& c = out.front();
            const std::size_t count = c.bytes.size() - c.sent;
            const TimePoint arrive =
                std::max(c.ready, tx_free) + byte_time * static_cast<long>(count);
            if (arrive > now) {
                break;
            }
            const ssize_t w = ::write(master, &c.bytes[c.sent], count);
            if (w <= 0) {
                want_pollout = (w < 0 && (errno == EAGAIN || errno == EINTR));
                return;
            }
            trace.Bytes(now, "TX", std::string_view(&c.bytes[c.sent], static_cast<std::size_t>(w)));
            st.bytes_sent += static_cast<std::uint64_t>(w);
            publish = true;
            tx_free = arrive;
            c.sent += static_cast<std::size_t>(w);
            if (c.sent == c.bytes.size()) {
                Chunk done = std::move(c);
                out.pop_front();
                Finish(done, now);
            }
        }
    }

    void TraceSent(TimePoint now, const iovec* iov, int n, std::size_t w) {
        st.bytes_sent += w;
        publish = true;
        if (!trace.IsOpen()) {
            return;
        }
        std::string sent;
        for (int i = 0; i < n && w > 0; ++i) {
            const std::size_t take = std::min(w, iov[i].iov_len);
            sent.append(static_cast<const char*>(iov[i].iov_base), take);
            w -= take;
        }
        trace.Bytes(now, "TX", sent);
    }

    TimePoint NextOutputTime() const {
        if (out.empty() || peer_stopped || xoff_held || byte_time.count() == 0) {
            return TimePoint::max();
        }
        const Chunk& c = out.front();
        const std::size_t count = c.bytes.size() - c.sent;
        return std::max(c.ready, tx_free) + byte_time * static_cast<long>(count);
    }

    // Drops what a restarted datalogger would never send. A session whose final tokens
    // were still waiting has ended all the same.
    void DropOutput(TimePoint now) {
        std::vector<Chunk> dropped;
        for (Chunk& c : out) {
            dropped.push_back(std::move(c));
        }
        for (Timed& t : timed) {
            dropped.push_back(std::move(t.chunk));
        }
        out.clear();
        timed.clear();
        answer_free = TimePoint{};
        for (const Chunk& c : dropped) {
            if (c.after == After::SessionComplete) {
                SessionComplete(now);
            }
        }
    }

    // ---- input ----------------------------------------------------------------------------
    void ReadMaster(TimePoint now) {
        char buf[8192];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                // Cannot happen while the slave is held open; should it, give the line a
                // moment rather than spin on it.
                master_quiet_until = now + milliseconds(50);
            }
            return;
        }
        if (n == 0) {
            master_quiet_until = now + milliseconds(50);
            return;
        }
        st.bytes_received += static_cast<std::uint64_t>(n);
        publish = true;
        if (byte_time.count() == 0) {
            trace.Bytes(now, "RX", std::string_view(buf, static_cast<std::size_t>(n)));
            Consume(std::string_view(buf, static_cast<std::size_t>(n)), now);
            return;
        }
        const TimePoint start = std::max(now, rx_free);
        for (ssize_t i = 0; i < n; ++i) {
            wire_in.emplace_back(start + byte_time * (i + 1), buf[i]);
        }
        rx_free = start + byte_time * n;
    }

    // Paced: when the bytes on their way in next matter, i.e. when the byte that completes
    // a unit or carries flow control is in, or else the last of them. Waking for each byte
    // would cost a context switch per byte and show the host nothing more.
    TimePoint NextInputTime() const {
        if (wire_in.empty()) {
            return TimePoint::max();
        }
        std::string pending;
        for (const auto& [t, c] : wire_in) {
            if (c == kXon || c == kXoff) {
                return t;
            }
            pending.push_back(c);
        }
        const std::size_t k = framer.CompletesAfter(pending);
        return k > 0 ? wire_in[k - 1].first : wire_in.back().first;
    }

    // Paced: bytes count as received when their last bit is in.
    void ReleasePacedInput(TimePoint now) {
        if (wire_in.empty() || wire_in.front().first > now) {
            return;
        }
        rx_batch.clear();
        TimePoint last = now;
        while (!wire_in.empty() && wire_in.front().first <= now) {
            rx_batch.push_back(wire_in.front().second);
            last = wire_in.front().first;
            wire_in.pop_front();
        }
        trace.Bytes(last, "RX", rx_batch);
        Consume(rx_batch, last);
    }

    void Consume(std::string_view bytes, TimePoint t) {
        last_rx = t;
        std::size_t start = 0;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] == kXon || bytes[i] == kXoff) {
                // The host's own flow control (it runs with IXOFF): honoured, and no data.
                FeedFramer(bytes.substr(start, i - start), t);
                peer_stopped = bytes[i] == kXoff;
                start = i + 1;
            }
        }
        FeedFramer(bytes.substr(start), t);
    }

    void FeedFramer(std::string_view bytes, TimePoint t) {
        while (!bytes.empty() && master >= 0) {
            Framer::Unit unit;
            bytes.remove_prefix(framer.Feed(bytes, unit));
            if (unit != Framer::Unit::None) {
                OnUnit(unit, framer.Text(), t);
            }
        }
    }

    void CheckIdleGap(TimePoint now) {
        if (framer.Pending() && wire_in.empty() && now >= last_rx + milliseconds(opt.idle_gap_ms)) {
            const Framer::Unit unit = framer.Flush();
            OnUnit(unit, framer.Text(), now);
        }
    }

    // ---- the protocol ---------------------------------------------------------------------
    void OnUnit(Framer::Unit unit, std::string_view text, TimePoint now) {
        if (st.state != LoaderState::AwaitingReady && st.state != LoaderState::Receiving) {
            return;  // the datalogger is not in its bootloader: nobody listens
        }
        switch (unit) {
            case Framer::Unit::ReadyRequest:
                OnReadyRequest(now);
                break;
            case Framer::Unit::Record:
                OnRecord(text, now);
                break;
            case Framer::Unit::Garbage:
                ++st.garbage;
                publish = true;
                if (st.state == LoaderState::Receiving) {
                    ++st.checksum_errors;
                    Answer(std::string(1, kTokenChecksum), Plan(), now, After::Nothing);
                }
                break;
            case Framer::Unit::None:
                break;
        }
    }

    std::string VersionRecord() const {
        std::string r = opt.version_prefix;
        if (opt.send_loader_version) {
            r += 'V';
            r += opt.loader_version;
        }
        if (opt.send_firmware_version) {
            r += '|';
            r += opt.firmware_version;
        }
        if (opt.send_ready_token) {
            r += '?';
        }
        return r;
    }

    // Sends text in pieces split_gap_ms apart when asked to, so that the host has to put a
    // reply together from several reads.
    void SendInPieces(const std::string& text, TimePoint now, After after) {
        const std::size_t pieces =
            std::min<std::size_t>(static_cast<std::size_t>(std::max(opt.split_pieces, 1)),
                                  std::max<std::size_t>(text.size(), 1));
        if (pieces <= 1) {
            SendWhen(std::max(now, answer_free), text, now, after);
            return;
        }
        // A serial line keeps its order: an answer starts behind the pieces of an earlier
        // one that are still on their way, never ahead of them.
        const TimePoint start = std::max(now, answer_free);
        std::size_t pos = 0;
        for (std::size_t i = 0; i < pieces; ++i) {
            const std::size_t end = text.size() * (i + 1) / pieces;
            const After a = i + 1 == pieces ? after : After::Nothing;
            const TimePoint at = start + milliseconds(opt.split_gap_ms) * static_cast<long>(i);
            SendWhen(at, text.substr(pos, end - pos), now, a);
            answer_free = at;
            pos = end;
        }
    }

    void OnReadyRequest(TimePoint now) {
        ++st.ready_requests;
        ++session_ready;
        publish = true;
        if (st.state == LoaderState::AwaitingReady) {
            restart_at = TimePoint::max();  // somebody is there: no more announcements
            if (session_ready <= opt.silent_ready_requests) {
                Log(now, "ready request " + std::to_string(session_ready) + " left unanswered");
                return;
            }
        }
        const std::string v = VersionRecord();
        ++st.version_records;
        if (!v.empty()) {
            SendInPieces(v, now, After::Nothing);
        }
        if (st.state == LoaderState::AwaitingReady) {
            SetState(LoaderState::Receiving);
            Log(now, "handshake: version record " + EscapeBytes(v));
        }
    }

    Plan PlanFor(std::uint64_t line, int send) {
        Plan p;
        // ms < 0: a random fault's, drawn up to the option's default.
        auto pick = [&](int ms, int fallback) {
            return ms > 0   ? ms
                   : ms < 0 ? 1 + static_cast<int>(fault_rng.Below(
                                      static_cast<std::size_t>(std::max(fallback, 1))))
                            : fallback;
        };
        auto add = [&](FaultKind kind, int ms) {
            switch (kind) {
                case FaultKind::Checksum:
                    p.checksum = true;
                    break;
                case FaultKind::Flash:
                    p.flash = true;
                    break;
                case FaultKind::Silent:
                    p.silent = true;
                    break;
                case FaultKind::Hangup:
                    p.hangup = true;
                    break;
                case FaultKind::Late:
                    p.late_ms = pick(ms, opt.late_ms);
                    break;
                case FaultKind::Xoff:
                case FaultKind::XoffAfter:
                    p.xoff_ms = pick(ms, opt.xoff_ms);
                    p.xoff_after = kind == FaultKind::XoffAfter;
                    break;
                case FaultKind::Noise:
                    p.noise = true;
                    break;
            }
        };
        for (const Fault& f : opt.faults) {
            if ((f.session == 0 || static_cast<std::uint64_t>(f.session) == session) &&
                static_cast<std::uint64_t>(f.line) == line && send <= f.count) {
                add(f.kind, f.ms);
            }
        }
        if (opt.random_fault_rate > 0 && !opt.random_kinds.empty() &&
            (opt.random_every_send || send <= kRandomFaultSends) &&
            fault_rng.Uniform() < opt.random_fault_rate) {
            const FaultKind kind = opt.random_kinds[fault_rng.Below(opt.random_kinds.size())];
            add(kind, -1);
            if (kind == FaultKind::Xoff && fault_rng.Below(2) == 0) {
                p.noise = true;  // a line that picks up noise while the bootloader is busy
            }
        }
        return p;
    }

    static std::string Describe(const Plan& p) {
        std::string d;
        auto add = [&](bool on, const std::string& what) {
            if (on) {
                d += (d.empty() ? "" : "+") + what;
            }
        };
        add(p.checksum, "checksum");
        add(p.flash, "flash");
        add(p.silent, "silent");
        add(p.hangup, "hangup");
        add(p.late_ms >= 0, "late " + std::to_string(p.late_ms) + " ms");
        add(p.xoff_ms >= 0, std::string(p.xoff_after ? "xoff-after " : "xoff ") +
                                std::to_string(p.xoff_ms) + " ms");
        add(p.noise, "noise");
        return d;
    }

    // A line is told from a resend of the previous one by its text: a host resends a line
    // exactly as it stands, and consecutive records of a file always differ.
    void OnRecord(std::string_view text, TimePoint now) {
        ++st.records;
        if (st.state == LoaderState::AwaitingReady) {
            // The bootloader takes records only after it has said it is ready: a host that
            // skips the handshake hears nothing, as from a datalogger still starting up.
            ++st.unanswered;
            publish = true;
            return;
        }
        ++session_records;
        publish = true;
        if (line_no == 0 || text != line_text) {
            CloseLine();
            ++line_no;
            st.lines = line_no;
            line_text.assign(text.data(), text.size());
            line_sends = 0;
            line_accepted = false;
        }
        ++line_sends;
        const RecordCheck check = CheckRecord(text, record);
        const Plan plan = PlanFor(line_no, line_sends);
        if (plan.Any()) {
            ++st.faults;
            Log(now, "fault " + Describe(plan) + " on line " + std::to_string(line_no) + ", send " +
                         std::to_string(line_sends));
        }
        if (plan.hangup) {
            HangUp(now);
            return;
        }
        char token = kTokenAck;
        if (check != RecordCheck::Ok || plan.checksum) {
            token = kTokenChecksum;
            ++st.checksum_errors;
        } else if (plan.flash) {
            token = kTokenFlash;
            ++st.flash_errors;
            session_failed = true;
        } else if (plan.silent) {
            ++st.unanswered;
            return;
        }
        if (token == kTokenAck && record.type == kEndOfFile) {
            line_accepted = true;
            EndSession(plan, now);
            return;
        }
        if (token == kTokenAck) {
            {
                std::lock_guard<std::mutex> lock(image_mu);
                builder.Apply(record);
            }
            line_accepted = true;
            ++st.acks;
        }
        Answer(std::string(1, token), plan, now, After::Nothing);
    }

    // Sends a reply with what the plan adds around it: noise before it, an XOFF hold before
    // it (the noise then comes while held) or right behind it, or all of it late. Answers
    // keep their order: none goes out before the one queued ahead of it.
    void Answer(std::string reply, const Plan& plan, TimePoint now, After after) {
        std::string noise;
        if (plan.noise) {
            const std::size_t n = 1 + noise_rng.Below(8);
            for (std::size_t i = 0; i < n; ++i) {
                noise.push_back(kNoise[noise_rng.Below(kNoise.size())]);
            }
        }
        const TimePoint start = std::max(now, answer_free);
        if (plan.xoff_ms >= 0 && plan.xoff_after) {
            // Nothing else goes out until the XON.
            answer_free = start;
            SendWhen(start, noise + reply + kXoff, now, after, plan.xoff_ms);
            return;
        }
        if (plan.xoff_ms >= 0) {
            // Busy: the bootloader stops the host first, and answers when it is done. What
            // it sends while held is no XON, and releases nothing on a strict host.
            const TimePoint done = start + milliseconds(plan.xoff_ms);
            SendWhen(start, std::string(1, kXoff), now);
            if (!noise.empty()) {
                SendWhen(start + milliseconds(plan.xoff_ms / 2), noise, now);
            }
            SendWhen(done, reply + kXon, now, after);
            answer_free = done;
            return;
        }
        if (plan.late_ms >= 0) {
            const TimePoint at = (opt.late_overtakes ? now : start) + milliseconds(plan.late_ms);
            SendAt(at, noise + reply, after);
            if (!opt.late_overtakes) {
                answer_free = std::max(answer_free, at);
            }
            return;
        }
        if (opt.split_pieces > 1 && reply.size() > 1) {
            if (!noise.empty()) {
                SendWhen(start, std::move(noise), now);
            }
            SendInPieces(reply, now, after);
            return;
        }
        SendWhen(start, noise + reply, now, after);
    }

    void CloseLine() {
        if (line_no > 0 && !line_accepted && !opt.naive) {
            session_failed = true;
        }
    }

    void EndSession(const Plan& plan, TimePoint now) {
        const bool ok = !session_failed;
        std::string tokens;
        if (ok) {
            tokens.push_back(kTokenOk);
            ++st.update_ok;
        }
        tokens.push_back(kTokenEnd);
        ++st.update_end;
        // The bootloader is done with this session; the session counts as complete once the
        // final tokens are on the line.
        SetState(LoaderState::Idle);
        Answer(tokens, plan, now, After::SessionComplete);
    }

    void SessionComplete(TimePoint now) {
        const bool ok = !session_failed;
        ++st.sessions_completed;
        if (ok) {
            ++st.sessions_ok;
        }
        st.last_session_ok = ok;
        publish = notify = true;
        SessionReport report;
        report.number = session;
        report.ok = ok;
        report.lines = line_no;
        report.records = session_records;
        {
            std::lock_guard<std::mutex> lock(image_mu);
            last = current;
        }
        Log(now, "session " + std::to_string(session) + " complete: " +
                     (ok ? "update OK" : "update failed") + ", " + std::to_string(line_no) +
                     " lines, " + std::to_string(session_records) + " records");
        trace.Flush();
        if (opt.on_session) {
            report.image = &last;  // only this thread writes it
            opt.on_session(report);
        }
        ++session;
        ResetSession();
        if (opt.sessions > 0 && st.sessions_completed >= static_cast<std::uint64_t>(opt.sessions)) {
            restart_at = TimePoint::max();
            SetState(LoaderState::Finished);
            Log(now, "all " + std::to_string(opt.sessions) + " sessions served");
            trace.Flush();
            return;
        }
        ScheduleFirstRestart(now);
    }

    void ResetSession() {
        framer.Reset();
        session_ready = 0;
        line_no = 0;
        session_records = 0;
        line_text.clear();
        line_sends = 0;
        line_accepted = false;
        session_failed = false;
        builder.Reset();
        std::lock_guard<std::mutex> lock(image_mu);
        current.Clear();
    }

    void ScheduleFirstRestart(TimePoint now) {
        if (opt.restart_after_ms >= 0) {
            restart_at = now + milliseconds(opt.restart_after_ms);
        } else if (opt.restart_every_ms > 0) {
            restart_at = now + milliseconds(opt.restart_every_ms);
        } else {
            restart_at = TimePoint::max();
        }
    }

    void DoRestart(TimePoint now) {
        if (Terminal()) {
            return;
        }
        if (st.state == LoaderState::Receiving) {
            ++st.sessions_aborted;
            Log(now, "session " + std::to_string(session) + " abandoned by a restart");
        }
        DropOutput(now);
        if (Terminal()) {
            return;  // a dropped session end was the last one
        }
        ResetSession();
        wire_in.clear();
        peer_stopped = false;
        if (xoff_held || host_held) {
            // A restart must not leave the host stopped for good.
            xoff_held = false;
            Send(std::string(1, kXon), now);
        }
        ++st.restarts;
        if (st.state == LoaderState::AwaitingReady) {
            trace.Note(now, "restart again");  // a repeat: the log has said it once
        } else {
            Log(now, opt.restart_every_ms > 0
                         ? "restart (repeated every " + std::to_string(opt.restart_every_ms) +
                               " ms until a ready request)"
                         : "restart");
        }
        SetState(LoaderState::AwaitingReady);
        Send(std::string(1, kTokenRestart), now);
        restart_at =
            opt.restart_every_ms > 0 ? now + milliseconds(opt.restart_every_ms) : TimePoint::max();
    }

    void HangUp(TimePoint now) {
        Log(now, "hang-up: the line is closed");
        CloseFd(master);
        CloseFd(slave);
        out.clear();
        timed.clear();
        wire_in.clear();
        restart_at = TimePoint::max();
        xoff_held = false;
        framer.Reset();
        trace.Flush();
        RemoveLink();
        SetState(LoaderState::HungUp);
    }

    void CheckTimers(TimePoint now) {
        if (xoff_held && now >= xoff_until) {
            xoff_held = false;
            out.push_front(Chunk{std::string(1, kXon), now, After::Nothing, -1, 0});
        }
        if (now >= restart_at) {
            DoRestart(now);
        }
        if (SessionTimedOut(now)) {
            ++st.sessions_aborted;
            Log(now, "session " + std::to_string(session) + " given up: nothing heard for " +
                         std::to_string(opt.session_timeout_ms) + " ms");
            DropOutput(now);
            ResetSession();
            SetState(LoaderState::Idle);
            ScheduleFirstRestart(now);
        }
    }

    bool SessionTimedOut(TimePoint now) const {
        return opt.session_timeout_ms > 0 && st.state == LoaderState::Receiving &&
               wire_in.empty() && now >= last_rx + milliseconds(opt.session_timeout_ms);
    }

    TimePoint NextDeadline() const {
        TimePoint d = restart_at;
        if (!timed.empty()) {
            d = std::min(d, timed.front().at);
        }
        if (framer.Pending() && wire_in.empty()) {
            d = std::min(d, last_rx + milliseconds(opt.idle_gap_ms));
        }
        d = std::min(d, NextInputTime());
        if (xoff_held) {
            d = std::min(d, xoff_until);
        }
        if (opt.session_timeout_ms > 0 && st.state == LoaderState::Receiving) {
            d = std::min(d, last_rx + milliseconds(opt.session_timeout_ms));
        }
        if (trace.Dirty()) {
            d = std::min(d, trace.LastWrite() + kTraceQuiet);
        }
        return std::min(d, NextOutputTime());
    }

    // ---- the thread -----------------------------------------------------------------------
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
                DoRestart(now);
            }
            ReleasePacedInput(now);
            CheckIdleGap(now);
            ReleaseTimed(now);
            CheckTimers(now);
            // Published before the replies go out, so that a host that has seen a reply
            // finds the statistics up to date with it.
            Publish();
            WriteOutput(now);
            if (trace.Dirty() && now >= trace.LastWrite() + kTraceQuiet) {
                trace.Flush();
            }
            Publish();

            pollfd fds[2];
            fds[0] = pollfd{wake_r, POLLIN, 0};
            nfds_t nfds = 1;
            if (master >= 0 && now >= master_quiet_until) {
                fds[1] =
                    pollfd{master, static_cast<short>(POLLIN | (want_pollout ? POLLOUT : 0)), 0};
                nfds = 2;
            }
            TimePoint deadline = NextDeadline();
            if (master >= 0 && now < master_quiet_until) {
                deadline = std::min(deadline, master_quiet_until);
            }
            timespec ts{};
            timespec* timeout = nullptr;
            if (deadline != TimePoint::max()) {
                auto wait = std::max(nanoseconds(0), deadline - now);
                // A paced line must not be late: a sleeping thread wakes tens of
                // microseconds after its time, so it wakes early and polls the rest away.
                if (opt.pace_baud != 0) {
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
                ReadMaster(Clock::now());
            }
        }
        DropOutput(Clock::now());
        trace.Note(Clock::now(), "stopped");
        trace.Close();
        timespec cpu{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        std::lock_guard<std::mutex> lock(mu);
        final_cpu_us = static_cast<std::uint64_t>(cpu.tv_sec) * 1000000u +
                       static_cast<std::uint64_t>(cpu.tv_nsec) / 1000u;
        st.state = LoaderState::Stopped;
        shared = st;
        running = false;
        cv.notify_all();
    }

    void Publish() {
        if (!publish) {
            return;
        }
        publish = false;
        std::lock_guard<std::mutex> lock(mu);
        shared = st;
        if (notify) {
            notify = false;
            cv.notify_all();
        }
    }

    void Wake() {
        const char c = 1;
        [[maybe_unused]] const ssize_t w = ::write(wake_w, &c, 1);
    }

    // ---- setup ----------------------------------------------------------------------------
    void OpenPty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0) {
            throw std::runtime_error(SysError("posix_openpt"));
        }
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            throw std::runtime_error(SysError("grantpt/unlockpt"));
        }
        char name[128];
        if (::ptsname_r(master, name, sizeof name) != 0) {
            throw std::runtime_error(SysError("ptsname_r"));
        }
        device = name;
        // Held for the simulator's whole life: with no slave open the master reports a
        // hang-up on every poll, and the host closes its port between runs.
        slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0) {
            throw std::runtime_error(SysError("open " + device));
        }
        // Raw from the start: a cooked pty would echo the simulator's own bytes back to it
        // and turn CR into LF before the host has set the line up.
        termios t{};
        if (::tcgetattr(slave, &t) != 0) {
            throw std::runtime_error(SysError("tcgetattr"));
        }
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        ::cfsetispeed(&t, B57600);
        ::cfsetospeed(&t, B57600);
        if (::tcsetattr(slave, TCSANOW, &t) != 0) {
            throw std::runtime_error(SysError("tcsetattr"));
        }
        const int flags = ::fcntl(master, F_GETFL);
        ::fcntl(master, F_SETFL, flags | O_NONBLOCK);
        int p[2];
        if (::pipe(p) != 0) {
            throw std::runtime_error(SysError("pipe"));
        }
        wake_r = p[0];
        wake_w = p[1];
        for (int fd : p) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
    }

    void MakeLink() {
        if (opt.link_path.empty()) {
            return;
        }
        struct stat s {};
        if (::lstat(opt.link_path.c_str(), &s) == 0) {
            if (!S_ISLNK(s.st_mode)) {
                throw std::runtime_error(opt.link_path + " exists and is not a symbolic link");
            }
            ::unlink(opt.link_path.c_str());
        }
        if (::symlink(device.c_str(), opt.link_path.c_str()) != 0) {
            throw std::runtime_error(SysError("symlink " + opt.link_path));
        }
    }

    // Removes the link only while it still points at this simulator's device: a second
    // simulator may have taken the name over.
    void RemoveLink() {
        if (opt.link_path.empty()) {
            return;
        }
        char target[256];
        const ssize_t n = ::readlink(opt.link_path.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == device) {
            ::unlink(opt.link_path.c_str());
        }
    }

    void CloseAll() {
        CloseFd(master);
        CloseFd(slave);
        CloseFd(wake_r);
        CloseFd(wake_w);
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
        d.opt.session_timeout_ms < 0 || d.opt.random_fault_rate < 0 ||
        d.opt.random_fault_rate > 1) {
        throw std::runtime_error("invalid simulator options");
    }
    try {
        d.OpenPty();
        d.MakeLink();
        d.origin = Clock::now();
        if (!d.opt.trace_path.empty() && !d.trace.Open(d.opt.trace_path, d.origin)) {
            throw std::runtime_error(SysError("cannot create trace " + d.opt.trace_path));
        }
    } catch (...) {
        d.RemoveLink();
        d.CloseAll();
        throw;
    }
    if (d.opt.pace_baud > 0) {
        // 8N1: a start bit, eight data bits and a stop bit for every byte.
        d.byte_time = nanoseconds(10ull * 1000000000ull / d.opt.pace_baud);
    }
    d.trace.Note(d.origin, "line " + d.device + (d.byte_time.count() ? " paced" : " at once"));
    d.ScheduleFirstRestart(d.origin);
    d.st = Stats();
    d.shared = d.st;
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
    d.RemoveLink();
    d.CloseAll();
}

std::string Simulator::DevicePath() const {
    return impl_->device;
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
            s.cpu_us = static_cast<std::uint64_t>(cpu.tv_sec) * 1000000u +
                       static_cast<std::uint64_t>(cpu.tv_nsec) / 1000u;
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
    return impl_->last;
}

MemoryImage Simulator::CurrentImage() const {
    std::lock_guard<std::mutex> lock(impl_->image_mu);
    return impl_->current;
}

}  // namespace bootsim
