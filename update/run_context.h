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

// How a run ended. The window shows it in its message boxes; other front ends (the command
// line) report it in their own way.
enum class RunOutcome {
    None,             // no run yet, or still running
    PathRefused,      // "Select Firmware Update File."
    Updated,          // "Datalogger successfully updated."
    Incomplete,       // "The datalogger's firmware is incomplete.": the final reply said
                      // success, but not every line is accounted for
    Restarted,        // "The datalogger restarted during the update (at line n). ..."
    UpdateFailed,     // "Error encountered while updating."
    NoFinalReply,     // "... No response from Datalogger at end of file."
    NoResponse,       // "No response from Datalogger."
    NoRestart,        // the same box: no restart within the front's time-out
    Cancelled,        // Cancel, no message
    Declined,         // a prompt after a bad line answered No
    PortFailure,      // "Error encountered while accessing the com port."
    FileOpenFailure,  // "Error opening <path>."
    FileRefused,      // the file's records are not sound, and the user chose not to send it
    DownloadFailure,  // "Error encountered while downloading the firmware."
    ClosingFailure,   // "Error encountered while closing the com port."
    WindowClosed,     // the window went away during the run
};

// What one update run shares between its stages: the window, the port, the clock, and the
// values that live for the run.
class RunContext {
public:
    RunContext(FormVariables& vars, RunWindow& window, MSComm& comm, Clock& clock)
        : vars(vars), window(window), comm(comm), clock(clock) {}

    FormVariables& vars;
    RunWindow& window;
    MSComm& comm;
    Clock& clock;

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
    // Whether Cancel ends the run at the next check of the flag, with no further send and no
    // prompt (see UpdateRun::SetCancelAtOnce).
    bool CancelAtOnce = false;

    // Cancel was asked for and is to be honoured right now, wherever the run is.
    bool CancelNow() const { return CancelAtOnce && vars.CancelRequested; }

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
    MsgBoxResult Box(const QString& prompt, int style, const QString& detail = QString()) {
        return window.MsgBox(prompt, style, window.Caption(), detail);
    }

private:
    bool portWasQuiet_ = false;
};
