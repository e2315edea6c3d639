#pragma once

// The bootloader's side of the protocol, apart from any line and any clock. Bytes from the
// host go in with the time they arrived (Feed), the passing of time goes in too (Tick), and
// what to send comes out as pieces of output in the outbox, each with the earliest time it
// may go out. Whoever runs the protocol writes the outbox's front and reports it (Written):
// the simulator's thread on a pseudo-terminal, or a test in virtual time that never sleeps.
//
// It keeps the session: the restarts, the handshake, the lines and their resends, the
// fault plan's answers, the flashed image and the final tokens.

#include "fault_plan.h"
#include "intel_hex.h"
#include "sim_types.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace bootsim {

using TimePoint = std::chrono::steady_clock::time_point;

constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;

// One piece of output. It goes out in one write, so a reply and the XOFF behind it reach
// the host together and the host cannot slip a line in between.
struct Output {
    std::string bytes;
    TimePoint ready;            // not before this
    bool ends_session = false;  // the session is complete once these bytes are on the line
    // >= 0: the piece ends in XOFF, and a hold of this many ms, in which nothing else goes
    // out, starts when it is on the line (the xoff-after fault).
    int hold_ms = -1;
    std::size_t sent = 0;  // bytes already on the line
};

// What the protocol tells whoever runs it, from inside its calls. Each does nothing unless
// overridden.
class ProtocolEvents {
public:
    virtual ~ProtocolEvents() = default;
    // Something the loader did, for the trace; `log` when people should hear of it too
    // (restarts, handshakes, faults, session results: never an accepted record).
    virtual void Note(TimePoint /*t*/, const std::string& /*text*/, bool /*log*/) {}
    // A session ended, or the last one was served: what was noted should reach its file.
    virtual void Milestone(TimePoint /*t*/) {}
    // The datalogger restarted: bytes still on their way in are lost, and a host's XOFF
    // no longer holds the loader's output.
    virtual void Restarted(TimePoint /*t*/) {}
    // A hang-up fault: the line closes now; the protocol is done.
    virtual void HungUp(TimePoint /*t*/) {}
    // A session ended; called just before Options::on_session, with the same report.
    virtual void SessionEnded(TimePoint /*t*/, const SessionReport& /*report*/) {}
};

class Protocol {
public:
    // Both must outlive the protocol.
    Protocol(const Options& options, ProtocolEvents& events);
    Protocol(const Protocol&) = delete;
    Protocol& operator=(const Protocol&) = delete;

    // The datalogger is switched on: the first restart is planned from now.
    void Start(TimePoint now);
    // Bytes from the host, the host's own flow control taken out. Called for everything the
    // line hears, even when only flow control came: the host is there all the same.
    void Feed(std::string_view data, TimePoint now);
    // Time has passed: a unit the quiet line ends, answers that come due, the end of an XOFF
    // hold, a planned restart, a session given up. `line_quiet` is false while bytes are
    // still on their way in: the line is not quiet then.
    void Tick(TimePoint now, bool line_quiet = true);
    // When Tick next has something to do; TimePoint::max() for never.
    TimePoint NextDeadline(bool line_quiet = true) const;
    // "The user restarted the datalogger": abandons the session and announces '^'.
    void Restart(TimePoint now);
    // Drops what was never written; a session whose final tokens were among it has ended
    // all the same. For a restart and for the end of the simulator.
    void DropOutput(TimePoint now);

    // The output to write now, in order: nothing while an XOFF hold lasts (Held), and a
    // piece with a hold ends what may go in one write.
    const std::deque<Output>& Outbox() const { return out_; }
    bool Held() const { return xoff_held_; }
    // n more bytes from the outbox's front are on the line.
    void Written(std::size_t n, TimePoint now);

    // How many of these bytes the framer would take before a unit completes (0: none): a
    // paced line sleeps until that byte is in.
    std::size_t CompletesAfter(std::string_view in) const { return framer_.CompletesAfter(in); }

    // The counters, bytes on the line not included (the line counts those).
    const Stats& GetStats() const { return st_; }
    // True once after the counters changed; *wake then tells whether somebody waiting for
    // a state or a session should look.
    bool TakeChanged(bool* wake);

    // The image of the session in progress and of the last one that ended, completed or
    // abandoned (then what it left in flash). Other threads may
    // read them while the protocol writes them, holding the mutex given here, which the
    // protocol takes around each write.
    void GuardImages(std::mutex& mu) { image_mu_ = &mu; }
    const MemoryImage& CurrentImage() const { return current_; }
    const MemoryImage& LastImage() const { return last_; }

private:
    struct Timed {
        std::uint64_t seq;
        Output out;
        bool operator>(const Timed& o) const {
            return out.ready != o.out.ready ? out.ready > o.out.ready : seq > o.seq;
        }
    };

    void Log(TimePoint t, const std::string& text) { events_.Note(t, text, true); }
    void SetState(LoaderState s);
    bool Terminal() const;
    template <class F>
    void WithImages(F f);

    // Output.
    void Send(std::string bytes, TimePoint now, bool ends_session = false, int hold_ms = -1);
    void SendAt(TimePoint at, std::string bytes, bool ends_session = false, int hold_ms = -1);
    void SendWhen(TimePoint at, std::string bytes, TimePoint now, bool ends_session = false,
                  int hold_ms = -1);
    void SendInPieces(const std::string& text, TimePoint now, bool ends_session);
    void Answer(std::string reply, const Plan& plan, TimePoint now, bool ends_session);
    void ReleaseTimed(TimePoint now);
    void Finish(const Output& o, TimePoint now);

    // Input.
    void OnUnit(Framer::Unit unit, std::string_view text, TimePoint now);
    void OnReadyRequest(TimePoint now);
    void OnRecord(std::string_view text, TimePoint now);
    std::string VersionRecord() const;

    // Sessions.
    void CloseLine();
    void Wrote(std::string_view text);
    void EndSession(std::string_view text, const Plan& plan, TimePoint now);
    void SessionComplete(TimePoint now);
    void AbandonSession(TimePoint now, const std::string& why);
    void ReportSession(TimePoint now, bool ok, bool abandoned);
    void ResetSession();
    void ScheduleFirstRestart(TimePoint now);
    void HangUp(TimePoint now);
    void Reboot(TimePoint now, bool erase);
    bool SessionTimedOut(TimePoint now, bool line_quiet) const;

    const Options& opt_;
    ProtocolEvents& events_;
    Stats st_;
    bool changed_ = false;
    bool wake_ = false;

    Framer framer_;
    Record record_;
    MemoryImage current_;
    MemoryImage last_;
    ImageBuilder builder_{current_};
    std::mutex* image_mu_ = nullptr;
    FaultPlanner planner_;

    std::deque<Output> out_;
    std::vector<Timed> timed_;  // a min-heap on (ready, seq)
    std::uint64_t timed_seq_ = 0;
    // When the last answer queued so far goes out: answers go out in order, so none goes
    // before it (except a late one with late_overtakes).
    TimePoint answer_free_{};
    bool host_held_ = false;  // our last flow control byte on the line was XOFF
    bool xoff_held_ = false;  // an xoff-after hold: nothing goes out until xoff_until_
    TimePoint xoff_until_{};
    TimePoint restart_at_ = TimePoint::max();
    TimePoint last_rx_{};

    // The session in progress.
    std::uint64_t session_ = 1;  // the number the session will have when it completes
    int session_ready_ = 0;      // ready requests seen in this session
    std::uint64_t line_no_ = 0;
    std::uint64_t session_records_ = 0;
    std::string line_text_;
    int line_sends_ = 0;
    bool line_accepted_ = false;
    bool session_failed_ = false;
    std::vector<std::string> writes_;  // with Options::write_log_path only
};

}  // namespace bootsim
