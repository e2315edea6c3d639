#pragma once

#include "answer_ledger.h"
#include "clock.h"
#include "form_variables.h"
#include "mscomm.h"
#include "run_window.h"
#include "update_file.h"

#include <QString>

// Which failure handler is in force. Exactly one is at every moment of a run; the run moves
// from one to the next at fixed steps.
enum class FailureRegion {
    Port,      // until the port is open
    Download,  // the handshake and the transfer
    FileOpen,  // opening the update file
    Closing,   // closing the port and restoring the idle state
};

// How Cancel takes effect: at the run's fixed points, as the window's Cancel always did (a
// reply wait cut short still leads to its resends and prompt), or at once (the command
// line's Ctrl-C: nothing more is sent and nothing more is asked). The final wait never
// looks at Cancel either way, so a finished transfer always gets its outcome.
enum class CancelMode { AtFixedPoints, AtOnce };

// What every run works with, lent by the window (or another front) for its life: the
// variables it shares with the event handlers, the window's share, the port and the clock.
struct RunPeers {
    FormVariables& vars;
    RunWindow& window;
    MSComm& comm;
    Clock& clock;
};

// What one update run shares between its stages: its peers, and the values that live for
// the run.
class RunContext : public RunPeers {
public:
    explicit RunContext(const RunPeers& peers) : RunPeers(peers) {}

    FailureRegion region = FailureRegion::Port;
    RunOutcome outcome = RunOutcome::None;
    // Why the run ended as it did, when the outcome is not a success: the lines the
    // bootloader did not accept, a restart. A failure's reason is the failure's own.
    QString reason;
    // Text read from the port: the handshake fills it and the transfer goes on with it.
    QString ReplyBuffer;
    float LoaderVersion = 0.0f;
    QString OldFirmwareVersion;
    // The update file; open from the file stage to the closing sequence. checkedSha256 is
    // what the check before the port found in it.
    UpdateFile file;
    QString checkedSha256;
    // Who answered what: the sends and their answers, the records the handshake is owed.
    AnswerLedger ledger;
    // Seconds the restart wait lasts at most; 0 for no end (see UpdateRun::SetRestartTimeout).
    int restartTimeout = 0;
    CancelMode cancelMode = CancelMode::AtFixedPoints;

    // The two questions every wait of the run asks. Stop before the next send: Cancel was
    // pressed; the window's Cancel is honoured at the run's fixed points, and it cuts a wait
    // short. Stop now, wherever the run is: a Cancel its front wants honoured at once, or a
    // bootloader that has restarted during the transfer. A stopped run leaves its outcome to
    // UpdateRun, which sets it in one place.
    bool StopBeforeNextSend() const { return vars.CancelRequested; }
    bool StopNow() const {
        return (cancelMode == CancelMode::AtOnce && vars.CancelRequested) || ledger.RestartedAt() != 0;
    }

    // Input, remembering whether it brought anything.
    QString ReadPort() {
        QString text = comm.Input();
        portWasQuiet_ = text.isEmpty();
        return text;
    }
    // InBufferCount, likewise.
    qint16 WaitingInput() {
        const qint16 count = comm.InBufferCount();
        portWasQuiet_ = count == 0;
        return count;
    }
    // One yield to the event loop. When the last look at the port found it quiet there is
    // nothing to do before the next event, so the yield sleeps until one arrives.
    void Yield() { window.DoEvents(portWasQuiet_ ? YieldMode::UntilEvent : YieldMode::Poll); }
    // A yield outside the port's waits: it only runs what is pending and never sleeps.
    void YieldPoll() { window.DoEvents(YieldMode::Poll); }

    void Status(const QString& text) { window.SetCaption(Control::Label2, text); }
    MsgBoxResult Ask(const QString& prompt, int style, const PromptFacts& facts) {
        return window.Ask(prompt, style, facts);
    }
    // The run ends so: the outcome and its reason are set, and the window tells it.
    void End(RunOutcome how, const QString& text, int style, const QString& why = QString()) {
        outcome = how;
        reason = why;
        window.Tell(text, style, {how, why});
    }

private:
    bool portWasQuiet_ = false;
};
