#include "update_run.h"

#include "failure.h"
#include "file_check.h"
#include "file_stage.h"
#include "handshake.h"
#include "run_context.h"

#include <exception>

namespace {

const QString kLineSettings = QStringLiteral("57600,n,8,1");

// Clears a flag when the run leaves, however it leaves.
class RunningFlag {
public:
    explicit RunningFlag(bool& flag) : flag_(flag) { flag_ = true; }
    ~RunningFlag() { flag_ = false; }
    RunningFlag(const RunningFlag&) = delete;
    RunningFlag& operator=(const RunningFlag&) = delete;

private:
    bool& flag_;
};

}  // namespace

void UpdateRun::RunUpdate() {
    RunningFlag running(running_);
    RunContext run(peers_);
    run.cancelMode = cancelMode_;
    run.restartTimeout = restartTimeout_;
    outcome_ = RunOutcome::None;
    failureReason_.clear();
    ledger_ = AnswerLedger();
    QString path;
    try {
        try {
            path = peers_.window.Text(Control::Text1);
            if (path.size() < 2) {
                run.End(RunOutcome::PathRefused, QStringLiteral("Select Firmware Update File."),
                        OkOnly);
                outcome_ = run.outcome;
                peers_.window.SetFocus(Control::Command1);
                return;
            }
            // The file is read and judged before the datalogger is touched: nobody should
            // restart a datalogger for a file that cannot be sent.
            UpdateFileFacts facts;
            try {
                facts = CheckUpdateFile(path);
            } catch (const Failure& unfit) {
                run.End(RunOutcome::FileOpenFailure,
                        QStringLiteral("Error opening ") + path + QStringLiteral("."),
                        OkOnly + Exclamation, unfit.reason());
                outcome_ = run.outcome;
                failureReason_ = run.reason;
                return;
            }
            // A damaged record would end half-flashed at its prompt; the user decides, with
            // No the answer that leaves the datalogger alone.
            if (recordCheck_ && !facts.faults.isEmpty() &&
                run.Ask(FaultSummary(facts) + QStringLiteral(" Send the file anyway?"),
                        YesNo + Exclamation + DefaultButton2,
                        {PromptFacts::Kind::UnsoundRecords, facts.faults.first().line}) !=
                    MsgBoxResult::Yes) {
                outcome_ = RunOutcome::FileRefused;
                failureReason_ = path + QStringLiteral(": ") + FaultSummary(facts);
                return;
            }
            run.checkedSha256 = facts.sha256;
            SetBusyState();
            run.Status(QStringLiteral("Initializing the com port"));
            peers_.comm.Handshaking(MSComm::XonXoff);
            peers_.comm.Settings(kLineSettings);
            if (!run.StopBeforeNextSend()) {
                peers_.comm.CommPort(static_cast<qint16>(peers_.window.ListIndex(Control::Combo1) + 1));
                peers_.comm.PortOpen(true);
                if (!run.StopBeforeNextSend()) {
                    Stages(run);
                    run.region = FailureRegion::Closing;
                }
            }
            Stopped(run);
            outcome_ = run.outcome;
            failureReason_ = run.reason;
            ledger_ = run.ledger;
            // The closing sequence. Reached from a Cancel before the port had a chance to
            // carry anything, it runs under the port region.
            ClosePort();
            SetIdleState();
        } catch (const std::exception& failure) {
            const auto* known = dynamic_cast<const Failure*>(&failure);
            failureReason_ =
                known != nullptr ? known->reason() : QString::fromLocal8Bit(failure.what());
            ledger_ = run.ledger;
            HandleFailure(run, path);
        }
    } catch (const WindowClosed&) {
        outcome_ = RunOutcome::WindowClosed;
        // The window went away while the run waited. Its unload has closed the port; the
        // run touches nothing more and returns.
    }
}

void UpdateRun::Stages(RunContext& run) {
    run.region = FailureRegion::Download;
    for (Control label : {Control::Label16, Control::Label17, Control::Label18}) {
        peers_.window.SetCaption(label, QString());
        peers_.window.SetVisible(label, true);
    }
    switch (Handshake(run)) {
        case HandshakeResult::Stopped:
            break;
        case HandshakeResult::NoResponse:
            run.End(RunOutcome::NoResponse, QStringLiteral("No response from Datalogger."), OkOnly,
                    run.reason);
            break;
        case HandshakeResult::NoRestart:
            run.End(RunOutcome::NoRestart, QStringLiteral("No response from Datalogger."), OkOnly,
                    peers_.comm.DeviceName() +
                        QStringLiteral(": the datalogger did not restart (no \"%1\") within %2 s")
                            .arg(run.vars.Tokens.TokenRestart)
                            .arg(run.restartTimeout));
            break;
        case HandshakeResult::Ready:
            FileStage(run);
            break;
    }
    run.file.Close();
}

void UpdateRun::Stopped(RunContext& run) {
    if (run.outcome != RunOutcome::None) {
        return;
    }
    const int line = run.ledger.RestartedAt();
    if (line == 0) {
        run.outcome = RunOutcome::Cancelled;
        return;
    }
    // A bootloader that starts again has lost its session: whatever it makes of the lines
    // still to come, the image is not whole, and nothing more is sent.
    run.End(RunOutcome::Restarted,
            QStringLiteral("The datalogger restarted during the update (at line %1). Its "
                           "firmware is incomplete: restart the update.")
                .arg(line),
            OkOnly + Exclamation,
            peers_.comm.DeviceName() +
                QStringLiteral(": the bootloader announced its start (\"%1\") after line %2 was "
                               "sent: what it had received of the update is lost.")
                    .arg(run.vars.Tokens.TokenRestart)
                    .arg(line));
}

void UpdateRun::HandleFailure(RunContext& run, const QString& path) {
    // The handler's own text comes first, word for word; below it the device or file and
    // what went wrong, as the failure tells it.
    const auto Fail = [this](RunContext& r, RunOutcome how, const QString& text) {
        outcome_ = how;
        r.End(how, text, OkOnly + Exclamation, failureReason_);
    };
    // A failure inside a handler ends the run quietly: there is nothing left to report to.
    try {
        switch (run.region) {
            case FailureRegion::Port:
                Fail(run, RunOutcome::PortFailure, QStringLiteral("Error encountered while accessing the com port."));
                SetIdleState();
                break;
            case FailureRegion::Download:
                Fail(run, RunOutcome::DownloadFailure, QStringLiteral("Error encountered while downloading the firmware."));
                run.file.Close();
                ClosePort();
                SetIdleState();
                break;
            case FailureRegion::FileOpen:
                ClosePort();
                run.file.Close();
                Fail(run, RunOutcome::FileOpenFailure,
                     QStringLiteral("Error opening ") + path + QStringLiteral("."));
                SetIdleState();
                break;
            case FailureRegion::Closing:
                Fail(run, RunOutcome::ClosingFailure, QStringLiteral("Error encountered while closing the com port."));
                SetIdleState();
                break;
        }
    } catch (const std::exception&) {
    }
}

void UpdateRun::ClosePort() {
    try {
        if (peers_.comm.PortOpen()) {
            peers_.comm.PortOpen(false);
        }
    } catch (const std::exception&) {
    }
}

void UpdateRun::SetBusyState() {
    peers_.window.SetEnabled(Control::Command1, false);
    peers_.window.SetEnabled(Control::Command3, false);
    peers_.window.SetEnabled(Control::Command6, false);
    peers_.window.SetEnabled(Control::Text1, false);
    peers_.window.SetCaption(Control::Label2, QString());
    peers_.vars.CancelRequested = false;
    peers_.window.SetVisible(Control::Command4, true);
    peers_.window.SetEnabled(Control::Command4, true);
    peers_.window.ZOrder(Control::Command4);
    peers_.window.SetVisible(Control::Command6, false);
    peers_.window.SetEnabled(Control::Combo1, false);
}

void UpdateRun::SetIdleState() {
    peers_.window.SetVisible(Control::Label14, false);
    peers_.window.SetVisible(Control::Command6, true);
    peers_.window.SetVisible(Control::Command4, false);
    peers_.window.SetEnabled(Control::Command1, true);
    peers_.window.SetEnabled(Control::Command3, true);
    peers_.window.SetEnabled(Control::Command6, true);
    peers_.window.SetEnabled(Control::Text1, true);
    peers_.window.SetCaption(Control::Label2, QStringLiteral("Idle"));
    peers_.window.SetCaption(Control::Label14, QString());
    peers_.window.SetEnabled(Control::Combo1, true);
}

void UpdateRun::SetupPortList() {
    for (int port = 1; port <= 8; ++port) {
        peers_.window.AddItem(Control::Combo1, QString::number(port));
    }
}

void UpdateRun::Command4_Click() {
    peers_.vars.CancelRequested = true;
    peers_.window.SetEnabled(Control::Command4, false);
}

void UpdateRun::Timer1_Timer() {
    if (peers_.vars.TickCount < 5) {
        ++peers_.vars.TickCount;
    }
}

void UpdateRun::Timer3_Timer() {
    peers_.window.SetCaption(Control::Label14, QString::number(peers_.vars.LinesRemaining));
}
