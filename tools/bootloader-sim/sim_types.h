#pragma once

// The words the simulator's parts share: its options and faults, the loader's state and
// its counters. The protocol reads the options it needs, the line the ones about the line,
// and the command fills them in from its arguments.

#include "intel_hex.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bootsim {

enum class FaultKind {
    Checksum,  // answer '-' and drop the line
    Flash,     // answer '%': the line could not be written, the update has failed
    Silent,    // answer nothing and drop the line
    // Drop the line as Silent does, but answer '-' Fault::ms later (default Options::late_ms)
    // all the same: line noise in the host's wait, heard as a unit and answered as garbled.
    Stray,
    Late,       // accept the line but answer only after Fault::ms (default Options::late_ms)
    VeryLate,   // the same, far beyond any host's wait (default Options::very_late_ms)
    Noise,      // a few random non-token bytes before the answer (with Xoff: during the hold)
    Xoff,       // XOFF at once, then after Fault::ms (default Options::xoff_ms) the answer and XON
    XoffAfter,  // XOFF right behind the answer, XON Fault::ms later, nothing in between
    Hangup,     // close the line instead of answering: the host's port goes away
    Duplicate,  // the answer goes out twice ("~~"), as from a retransmit bug or an echo
    // The datalogger restarts instead of answering (a watchdog, a brown-out): '^', and it
    // waits for a ready request; the session is abandoned and the record in hand is lost.
    Restart,       // flash keeps what the session wrote
    RestartErase,  // a bootloader that erases the application area as it starts: flash empty
};

struct Fault {
    FaultKind kind = FaultKind::Checksum;
    int line = 1;     // 1-based data line within a session: resends of a line share its number
    int count = 1;    // how many sends of that line are affected, from the first
    int ms = 0;       // Late, VeryLate, Stray: the delay; Xoff: the hold; 0: the option's default
    int session = 0;  // 1-based session it applies to; 0 for every session
};

const char* FaultKindName(FaultKind kind);
bool ParseFaultKind(const std::string& name, FaultKind& out);

// What a session left behind, handed to Options::on_session when it ends: with its final
// tokens, or abandoned by a restart or the session time-out before them.
struct SessionReport {
    std::uint64_t number = 0;   // 1-based; an abandoned session's number goes to the next one
    bool ok = false;            // '@' was sent before '#'
    bool abandoned = false;     // no final tokens: what it wrote is in flash all the same
    std::uint64_t lines = 0;    // distinct data lines
    std::uint64_t records = 0;  // records received, resends included
    const MemoryImage* image = nullptr;
    // The records the flash writer took, in order and as received (a resend of an accepted
    // line is written again, so it is there twice), the end-of-file record last when it was
    // answered '@'. Kept only when Options::write_log_path is set; null otherwise.
    const std::vector<std::string>* writes = nullptr;
};

struct Options {
    // --- the line
    std::string link_path;   // a symbolic link to the slave device, made and removed here
    unsigned pace_baud = 0;  // 0: answer at once; else bytes move no faster than this 8N1
    int idle_gap_ms = 30;    // a unit that is not a whole record ends after this quiet
    std::string trace_path;  // every byte received and sent, with its time
    // After each session, the records it wrote to flash, one a line (SessionReport::writes).
    std::string write_log_path;

    // --- restarts: a session starts with '^'
    int restart_after_ms = -1;  // announce once, this long after start and after each
                                // session; -1: only on Restart()
    int restart_every_ms = 0;   // > 0: repeat the announcement until a ready request comes
    int sessions = 0;           // sessions to serve; 0 for no limit
    // > 0: a session that hears nothing this long is given up, as a datalogger's watchdog
    // would, and the restarts above follow. For a host that abandons an update halfway.
    int session_timeout_ms = 0;

    // --- the version record: <prefix>V<loader>|<firmware>?
    std::string version_prefix = "BOOT ";
    std::string loader_version = "1.30";
    std::string firmware_version = "2.05";
    bool send_loader_version = true;    // the "V<loader>" part
    bool send_firmware_version = true;  // the "|<firmware>" part
    bool send_ready_token = true;       // the closing '?'
    int silent_ready_requests = 0;      // ignore this many ready requests of each session
    int split_pieces = 1;               // > 1: the version record (and the final "@#") go
    int split_gap_ms = 40;              //      out in pieces this far apart

    // --- faults
    std::vector<Fault> faults;
    double random_fault_rate = 0;  // chance per received record of a random fault
    std::vector<FaultKind> random_kinds = {FaultKind::Checksum, FaultKind::Silent,
                                           FaultKind::Noise};
    // Random faults spare a line's third send unless this is set: then a line can fail
    // every send, and only the host's own judgement stands between it and a gap.
    bool random_every_send = false;
    std::uint64_t seed = 1;
    int late_ms = 3500;  // scripted late answers; random ones draw from 1 to this
    int xoff_ms = 1000;  // scripted XOFF holds; random ones draw from 1 to this
    // Scripted very late answers; random ones draw from a third of this to this, so that
    // they come long after a host has given the line up, not just after its first wait.
    int very_late_ms = 30000;
    // A bootloader answers in order: a late answer holds back every answer behind it. Set
    // this for a line whose answers can overtake one another (a late answer lets the
    // answers to later records pass).
    bool late_overtakes = false;

    // A bootloader that cannot see a missing record (Intel HEX records need not be
    // contiguous): it ends an update with '@' '#' even when a line was never accepted. A
    // flash error still fails the update: that one it knows about.
    bool naive = false;

    // Human-readable events (restarts, handshakes, faults, session results), called on the
    // simulator's thread. Never called per accepted record.
    std::function<void(const std::string&)> log;
    // Called on the simulator's thread when a session has sent its final tokens, or was
    // abandoned halfway.
    std::function<void(const SessionReport&)> on_session;
};

enum class LoaderState {
    Idle,           // the datalogger runs its application; waiting for a restart
    AwaitingReady,  // '^' sent; waiting for a ready request
    Receiving,      // handshake done; taking records
    Finished,       // all the sessions asked for were served
    HungUp,         // a hang-up fault closed the line
    Stopped,
};
const char* LoaderStateName(LoaderState state);

struct Stats {
    LoaderState state = LoaderState::Idle;
    std::uint64_t restarts = 0;  // '^' sent
    std::uint64_t ready_requests = 0;
    std::uint64_t version_records = 0;  // ready requests answered
    std::uint64_t records = 0;          // records received, resends included
    std::uint64_t lines = 0;            // distinct data lines of the current or last session
    std::uint64_t garbage = 0;          // units that were neither a record nor a request
    std::uint64_t acks = 0;             // '~'
    std::uint64_t checksum_errors = 0;  // '-' (real or injected)
    std::uint64_t flash_errors = 0;     // '%'
    std::uint64_t unanswered = 0;       // records left without an answer
    std::uint64_t faults = 0;           // faults injected, scripted or random
    std::uint64_t update_ok = 0;        // '@'
    std::uint64_t update_end = 0;       // '#'
    std::uint64_t sessions_completed = 0;
    std::uint64_t sessions_ok = 0;
    std::uint64_t sessions_aborted = 0;  // restarted or given up before their end-of-file record
    bool last_session_ok = false;
    std::uint64_t bytes_received = 0;
    std::uint64_t bytes_sent = 0;
    std::uint64_t cpu_us = 0;  // CPU time of the simulator's thread so far
};

}  // namespace bootsim
