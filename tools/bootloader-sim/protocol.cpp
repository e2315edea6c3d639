#include "protocol.h"

#include "trace.h"

#include <algorithm>
#include <functional>

namespace bootsim {

namespace {

using std::chrono::milliseconds;

constexpr char kTokenRestart = '^';
constexpr char kTokenAck = '~';
constexpr char kTokenChecksum = '-';
constexpr char kTokenFlash = '%';
constexpr char kTokenOk = '@';
constexpr char kTokenEnd = '#';

}  // namespace

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

Protocol::Protocol(const Options& options, ProtocolEvents& events)
    : opt_(options), events_(events), planner_(options) {}

void Protocol::Start(TimePoint now) {
    ScheduleFirstRestart(now);
}

void Protocol::SetState(LoaderState s) {
    st_.state = s;
    changed_ = wake_ = true;
}

bool Protocol::Terminal() const {
    return st_.state == LoaderState::Finished || st_.state == LoaderState::HungUp ||
           st_.state == LoaderState::Stopped;
}

bool Protocol::TakeChanged(bool* wake) {
    const bool changed = changed_;
    *wake = wake_;
    changed_ = wake_ = false;
    return changed;
}

template <class F>
void Protocol::WithImages(F f) {
    if (image_mu_) {
        std::lock_guard<std::mutex> lock(*image_mu_);
        f();
    } else {
        f();
    }
}

// ---- output -------------------------------------------------------------------------------

void Protocol::Send(std::string bytes, TimePoint now, bool ends_session, int hold_ms) {
    out_.push_back(Output{std::move(bytes), now, ends_session, hold_ms, 0});
}

void Protocol::SendAt(TimePoint at, std::string bytes, bool ends_session, int hold_ms) {
    timed_.push_back(Timed{timed_seq_++, Output{std::move(bytes), at, ends_session, hold_ms, 0}});
    std::push_heap(timed_.begin(), timed_.end(), std::greater<Timed>());
}

// Sends now or later, in the order of the calls either way for equal times.
void Protocol::SendWhen(TimePoint at, std::string bytes, TimePoint now, bool ends_session,
                        int hold_ms) {
    if (at <= now) {
        Send(std::move(bytes), now, ends_session, hold_ms);
    } else {
        SendAt(at, std::move(bytes), ends_session, hold_ms);
    }
}

void Protocol::ReleaseTimed(TimePoint now) {
    while (!timed_.empty() && timed_.front().out.ready <= now) {
        std::pop_heap(timed_.begin(), timed_.end(), std::greater<Timed>());
        out_.push_back(std::move(timed_.back().out));
        timed_.pop_back();
    }
}

void Protocol::Written(std::size_t n, TimePoint now) {
    while (!out_.empty()) {
        Output& o = out_.front();
        const std::size_t take = std::min(n, o.bytes.size() - o.sent);
        o.sent += take;
        n -= take;
        if (o.sent < o.bytes.size()) {
            return;
        }
        const Output done = std::move(o);
        out_.pop_front();
        Finish(done, now);
        if (xoff_held_ || n == 0) {
            return;
        }
    }
}

void Protocol::Finish(const Output& o, TimePoint now) {
    for (char b : o.bytes) {
        if (b == kXon || b == kXoff) {
            host_held_ = b == kXoff;
        }
    }
    if (o.hold_ms >= 0) {
        xoff_held_ = true;
        xoff_until_ = now + milliseconds(o.hold_ms);
    }
    if (o.ends_session) {
        SessionComplete(now);
    }
}

void Protocol::DropOutput(TimePoint now) {
    std::vector<Output> dropped(std::make_move_iterator(out_.begin()),
                                std::make_move_iterator(out_.end()));
    for (Timed& t : timed_) {
        dropped.push_back(std::move(t.out));
    }
    out_.clear();
    timed_.clear();
    answer_free_ = TimePoint{};
    for (const Output& o : dropped) {
        if (o.ends_session) {
            SessionComplete(now);
        }
    }
}

// Sends text in pieces split_gap_ms apart when asked to, so that the host has to put a
// reply together from several reads.
void Protocol::SendInPieces(const std::string& text, TimePoint now, bool ends_session) {
    const std::size_t pieces =
        std::min<std::size_t>(static_cast<std::size_t>(std::max(opt_.split_pieces, 1)),
                              std::max<std::size_t>(text.size(), 1));
    if (pieces <= 1) {
        SendWhen(std::max(now, answer_free_), text, now, ends_session);
        return;
    }
    // A serial line keeps its order: an answer starts behind the pieces of an earlier one
    // that are still on their way, never ahead of them.
    const TimePoint start = std::max(now, answer_free_);
    std::size_t pos = 0;
    for (std::size_t i = 0; i < pieces; ++i) {
        const std::size_t end = text.size() * (i + 1) / pieces;
        const TimePoint at = start + milliseconds(opt_.split_gap_ms) * static_cast<long>(i);
        SendWhen(at, text.substr(pos, end - pos), now, ends_session && i + 1 == pieces);
        answer_free_ = at;
        pos = end;
    }
}

// Sends a reply with what the plan adds around it: noise before it, an XOFF hold before it
// (the noise then comes while held) or right behind it, or all of it late, or twice.
// Answers keep their order: none goes out before the one queued ahead of it.
void Protocol::Answer(std::string reply, const Plan& plan, TimePoint now, bool ends_session) {
    if (plan.duplicate) {
        reply += reply;  // one answer, sent twice: the host owes it nothing the second time
    }
    std::string noise = plan.noise ? planner_.Noise() : std::string();
    const TimePoint start = std::max(now, answer_free_);
    if (plan.xoff_ms >= 0 && plan.xoff_after) {
        // Nothing else goes out until the XON.
        answer_free_ = start;
        SendWhen(start, noise + reply + kXoff, now, ends_session, plan.xoff_ms);
        return;
    }
    if (plan.xoff_ms >= 0) {
        // Busy: the bootloader stops the host first, and answers when it is done. What it
        // sends while held is no XON, and releases nothing on a strict host.
        const TimePoint done = start + milliseconds(plan.xoff_ms);
        SendWhen(start, std::string(1, kXoff), now);
        if (!noise.empty()) {
            SendWhen(start + milliseconds(plan.xoff_ms / 2), noise, now);
        }
        SendWhen(done, reply + kXon, now, ends_session);
        answer_free_ = done;
        return;
    }
    if (plan.late_ms >= 0) {
        const TimePoint at = (opt_.late_overtakes ? now : start) + milliseconds(plan.late_ms);
        SendAt(at, noise + reply, ends_session);
        if (!opt_.late_overtakes) {
            answer_free_ = std::max(answer_free_, at);
        }
        return;
    }
    if (opt_.split_pieces > 1 && reply.size() > 1) {
        if (!noise.empty()) {
            SendWhen(start, std::move(noise), now);
        }
        SendInPieces(reply, now, ends_session);
        return;
    }
    SendWhen(start, noise + reply, now, ends_session);
}

// ---- input --------------------------------------------------------------------------------

void Protocol::Feed(std::string_view data, TimePoint now) {
    last_rx_ = now;
    // A datalogger that restarts on a record hears nothing of what came behind it.
    const std::uint64_t restarts = st_.restarts;
    while (!data.empty() && st_.state != LoaderState::HungUp && st_.restarts == restarts) {
        Framer::Unit unit;
        data.remove_prefix(framer_.Feed(data, unit));
        if (unit != Framer::Unit::None) {
            OnUnit(unit, framer_.Text(), now);
        }
    }
}

void Protocol::OnUnit(Framer::Unit unit, std::string_view text, TimePoint now) {
    if (st_.state != LoaderState::AwaitingReady && st_.state != LoaderState::Receiving) {
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
            ++st_.garbage;
            changed_ = true;
            if (st_.state == LoaderState::Receiving) {
                ++st_.checksum_errors;
                Answer(std::string(1, kTokenChecksum), Plan(), now, false);
            }
            break;
        case Framer::Unit::None:
            break;
    }
}

std::string Protocol::VersionRecord() const {
    std::string r = opt_.version_prefix;
    if (opt_.send_loader_version) {
        r += 'V';
        r += opt_.loader_version;
    }
    if (opt_.send_firmware_version) {
        r += '|';
        r += opt_.firmware_version;
    }
    if (opt_.send_ready_token) {
        r += '?';
    }
    return r;
}

void Protocol::OnReadyRequest(TimePoint now) {
    ++st_.ready_requests;
    ++session_ready_;
    changed_ = true;
    if (st_.state == LoaderState::AwaitingReady) {
        restart_at_ = TimePoint::max();  // somebody is there: no more announcements
        if (session_ready_ <= opt_.silent_ready_requests) {
            Log(now, "ready request " + std::to_string(session_ready_) + " left unanswered");
            return;
        }
    }
    const std::string v = VersionRecord();
    ++st_.version_records;
    if (!v.empty()) {
        SendInPieces(v, now, false);
    }
    if (st_.state == LoaderState::AwaitingReady) {
        SetState(LoaderState::Receiving);
        Log(now, "handshake: version record " + EscapeBytes(v));
    }
}

// A line is told from a resend of the previous one by its text: a host resends a line
// exactly as it stands, and consecutive records of a file always differ.
void Protocol::OnRecord(std::string_view text, TimePoint now) {
    ++st_.records;
    changed_ = true;
    if (st_.state == LoaderState::AwaitingReady) {
        // The bootloader takes records only after it has said it is ready: a host that
        // skips the handshake hears nothing, as from a datalogger still starting up.
        ++st_.unanswered;
        return;
    }
    ++session_records_;
    if (line_no_ == 0 || text != line_text_) {
        CloseLine();
        ++line_no_;
        st_.lines = line_no_;
        line_text_.assign(text.data(), text.size());
        line_sends_ = 0;
        line_accepted_ = false;
    }
    ++line_sends_;
    const RecordCheck check = CheckRecord(text, record_);
    const Plan plan = planner_.For(session_, line_no_, line_sends_);
    if (plan.Any()) {
        ++st_.faults;
        Log(now, "fault " + plan.Describe() + " on line " + std::to_string(line_no_) + ", send " +
                     std::to_string(line_sends_));
    }
    if (plan.hangup) {
        HangUp(now);
        return;
    }
    if (plan.restart) {
        ++st_.unanswered;
        Reboot(now, plan.erase);
        return;
    }
    char token = kTokenAck;
    if (check != RecordCheck::Ok || plan.checksum) {
        token = kTokenChecksum;
        ++st_.checksum_errors;
    } else if (plan.flash) {
        token = kTokenFlash;
        ++st_.flash_errors;
        session_failed_ = true;
    } else if (plan.silent || plan.stray_ms >= 0) {
        ++st_.unanswered;
        if (plan.stray_ms >= 0) {
            // The record is lost, but the line is not quiet: a burst of noise in the host's
            // wait ends as a unit of its own, and this bootloader answers any garbled unit
            // '-'. Never '~' or '@': no host could tell a stray acceptance from a real one.
            ++st_.garbage;
            ++st_.checksum_errors;
            Plan stray;
            stray.late_ms = plan.stray_ms;
            stray.noise = plan.noise;
            Answer(std::string(1, kTokenChecksum), stray, now, false);
        }
        return;
    }
    if (token == kTokenAck && record_.type == kEndOfFile) {
        line_accepted_ = true;
        EndSession(text, plan, now);
        return;
    }
    if (token == kTokenAck) {
        WithImages([&] { builder_.Apply(record_); });
        Wrote(text);
        line_accepted_ = true;
        ++st_.acks;
    }
    Answer(std::string(1, token), plan, now, false);
}

// ---- sessions -----------------------------------------------------------------------------

void Protocol::CloseLine() {
    if (line_no_ > 0 && !line_accepted_ && !opt_.naive) {
        session_failed_ = true;
    }
}

void Protocol::Wrote(std::string_view text) {
    if (!opt_.write_log_path.empty()) {
        writes_.emplace_back(text);
    }
}

void Protocol::EndSession(std::string_view text, const Plan& plan, TimePoint now) {
    std::string tokens;
    if (!session_failed_) {
        // The update is committed: the end-of-file record is the flash writer's last word
        // (it marks the application valid). A failed update leaves it out.
        Wrote(text);
        tokens.push_back(kTokenOk);
        ++st_.update_ok;
    }
    tokens.push_back(kTokenEnd);
    ++st_.update_end;
    // The bootloader is done with this session; the session counts as complete once the
    // final tokens are on the line.
    SetState(LoaderState::Idle);
    Answer(tokens, plan, now, true);
}

// A session that a restart or the time-out abandons has ended too, and what it wrote is in
// flash all the same: its image and its writes are reported as a completed session's are,
// or the image files would go on showing an older session's as what the datalogger holds.
// It is no session served: it counts towards no limit, and the next one keeps its number.
void Protocol::AbandonSession(TimePoint now, const std::string& why) {
    ++st_.sessions_aborted;
    changed_ = wake_ = true;
    Log(now, "session " + std::to_string(session_) + " " + why + ", " + std::to_string(line_no_) +
                 " lines, " + std::to_string(session_records_) + " records");
    ReportSession(now, false, true);
}

void Protocol::ReportSession(TimePoint now, bool ok, bool abandoned) {
    SessionReport report;
    report.number = session_;
    report.ok = ok;
    report.abandoned = abandoned;
    report.lines = line_no_;
    report.records = session_records_;
    WithImages([&] { last_ = current_; });
    events_.Milestone(now);
    report.image = &last_;  // only this thread writes it
    report.writes = opt_.write_log_path.empty() ? nullptr : &writes_;
    events_.SessionEnded(now, report);
    if (opt_.on_session) {
        opt_.on_session(report);
    }
}

void Protocol::SessionComplete(TimePoint now) {
    const bool ok = !session_failed_;
    ++st_.sessions_completed;
    if (ok) {
        ++st_.sessions_ok;
    }
    st_.last_session_ok = ok;
    changed_ = wake_ = true;
    Log(now, "session " + std::to_string(session_) + " complete: " +
                 (ok ? "update OK" : "update failed") + ", " + std::to_string(line_no_) +
                 " lines, " + std::to_string(session_records_) + " records");
    ReportSession(now, ok, false);
    ++session_;
    ResetSession();
    if (opt_.sessions > 0 && st_.sessions_completed >= static_cast<std::uint64_t>(opt_.sessions)) {
        restart_at_ = TimePoint::max();
        SetState(LoaderState::Finished);
        Log(now, "all " + std::to_string(opt_.sessions) + " sessions served");
        events_.Milestone(now);
        return;
    }
    ScheduleFirstRestart(now);
}

void Protocol::ResetSession() {
    framer_.Reset();
    session_ready_ = 0;
    line_no_ = 0;
    session_records_ = 0;
    line_text_.clear();
    line_sends_ = 0;
    line_accepted_ = false;
    session_failed_ = false;
    writes_.clear();
    builder_.Reset();
    WithImages([&] { current_.Clear(); });
}

void Protocol::ScheduleFirstRestart(TimePoint now) {
    if (opt_.restart_after_ms >= 0) {
        restart_at_ = now + milliseconds(opt_.restart_after_ms);
    } else if (opt_.restart_every_ms > 0) {
        restart_at_ = now + milliseconds(opt_.restart_every_ms);
    } else {
        restart_at_ = TimePoint::max();
    }
}

void Protocol::Restart(TimePoint now) {
    Reboot(now, false);
}

// A restart loses the session's state and whatever output had not gone yet; flash keeps
// what was written unless this bootloader erases the application area when it starts.
void Protocol::Reboot(TimePoint now, bool erase) {
    if (Terminal()) {
        return;
    }
    if (erase) {
        WithImages([&] { current_.Clear(); });
    }
    if (st_.state == LoaderState::Receiving) {
        AbandonSession(
            now, erase ? "abandoned by a restart that erased flash" : "abandoned by a restart");
    }
    DropOutput(now);
    if (Terminal()) {
        return;  // a dropped session end was the last one
    }
    ResetSession();
    events_.Restarted(now);
    if (xoff_held_ || host_held_) {
        // A restart must not leave the host stopped for good.
        xoff_held_ = false;
        Send(std::string(1, kXon), now);
    }
    ++st_.restarts;
    if (st_.state == LoaderState::AwaitingReady) {
        events_.Note(now, "restart again", false);  // a repeat: the log has said it once
    } else {
        Log(now, opt_.restart_every_ms > 0
                     ? "restart (repeated every " + std::to_string(opt_.restart_every_ms) +
                           " ms until a ready request)"
                     : "restart");
    }
    SetState(LoaderState::AwaitingReady);
    Send(std::string(1, kTokenRestart), now);
    restart_at_ =
        opt_.restart_every_ms > 0 ? now + milliseconds(opt_.restart_every_ms) : TimePoint::max();
}

void Protocol::HangUp(TimePoint now) {
    Log(now, "hang-up: the line is closed");
    out_.clear();
    timed_.clear();
    restart_at_ = TimePoint::max();
    xoff_held_ = false;
    framer_.Reset();
    SetState(LoaderState::HungUp);
    events_.HungUp(now);
}

// ---- time ---------------------------------------------------------------------------------

void Protocol::Tick(TimePoint now, bool line_quiet) {
    if (framer_.Pending() && line_quiet && now >= last_rx_ + milliseconds(opt_.idle_gap_ms)) {
        const Framer::Unit unit = framer_.Flush();
        OnUnit(unit, framer_.Text(), now);
    }
    ReleaseTimed(now);
    if (xoff_held_ && now >= xoff_until_) {
        xoff_held_ = false;
        out_.push_front(Output{std::string(1, kXon), now, false, -1, 0});
    }
    if (now >= restart_at_) {
        Restart(now);
    }
    if (SessionTimedOut(now, line_quiet)) {
        AbandonSession(
            now, "given up: nothing heard for " + std::to_string(opt_.session_timeout_ms) + " ms");
        DropOutput(now);
        ResetSession();
        SetState(LoaderState::Idle);
        ScheduleFirstRestart(now);
    }
}

bool Protocol::SessionTimedOut(TimePoint now, bool line_quiet) const {
    return opt_.session_timeout_ms > 0 && st_.state == LoaderState::Receiving && line_quiet &&
           now >= last_rx_ + milliseconds(opt_.session_timeout_ms);
}

TimePoint Protocol::NextDeadline(bool line_quiet) const {
    TimePoint d = restart_at_;
    if (!timed_.empty()) {
        d = std::min(d, timed_.front().out.ready);
    }
    if (framer_.Pending() && line_quiet) {
        d = std::min(d, last_rx_ + milliseconds(opt_.idle_gap_ms));
    }
    if (xoff_held_) {
        d = std::min(d, xoff_until_);
    }
    if (opt_.session_timeout_ms > 0 && st_.state == LoaderState::Receiving) {
        d = std::min(d, last_rx_ + milliseconds(opt_.session_timeout_ms));
    }
    return d;
}

}  // namespace bootsim
