#include "update_run.h"

#include "failure.h"
#include "file_check.h"
#include "handshake.h"
#include "line_transfer.h"
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
    RunContext run(vars_, window_, comm_, clock_);
    run.CancelAtOnce = cancelAtOnce_;
    run.restartTimeout = restartTimeout_;
    outcome_ = RunOutcome::None;
    failureReason_.clear();
    ledger_ = AnswerLedger();
    QString path;
    try {
        try {
            path = window_.Text(Control::Text1);
            if (path.size() < 2) {
                outcome_ = RunOutcome::PathRefused;
                run.Box(QStringLiteral("Select Firmware Update File."), OkOnly);
                window_.SetFocus(Control::Command1);
                return;
            }
            // The file is read and judged before the datalogger is touched: nobody should
            // restart a datalogger for a file that cannot be sent.
            UpdateFileFacts facts;
            try {
                facts = CheckUpdateFile(path);
            } catch (const Failure& unfit) {
                outcome_ = RunOutcome::FileOpenFailure;
                failureReason_ = unfit.reason();
                run.Box(QStringLiteral("Error opening ") + path + QStringLiteral("."),
                        OkOnly + Exclamation, failureReason_);
                return;
            }
            // A damaged record would end half-flashed at its prompt; the user decides, with
            // No the answer that leaves the datalogger alone.
            if (recordCheck_ && !facts.faults.isEmpty() &&
                run.Box(FaultSummary(facts) + QStringLiteral(" Send the file anyway?"),
                        YesNo + Exclamation + DefaultButton2) != MsgBoxResult::Yes) {
                outcome_ = RunOutcome::FileRefused;
                failureReason_ = path + QStringLiteral(": ") + FaultSummary(facts);
                return;
            }
            run.checkedSha256 = facts.sha256;
            SetBusyState();
            run.Status(QStringLiteral("Initializing the com port"));
            comm_.Handshaking(MSComm::XonXoff);
            comm_.Settings(kLineSettings);
            run.outcome = RunOutcome::Cancelled;
            if (!vars_.CancelRequested) {
                comm_.CommPort(static_cast<qint16>(window_.ListIndex(Control::Combo1) + 1));
                comm_.PortOpen(true);
                if (!vars_.CancelRequested) {
                    Stages(run);
                    run.region = FailureRegion::Closing;
                }
            }
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
        window_.SetCaption(label, QString());
        window_.SetVisible(label, true);
    }
    switch (Handshake(run)) {
        case HandshakeResult::Cancelled:
            run.outcome = RunOutcome::Cancelled;
            break;
        case HandshakeResult::NoResponse:
            run.outcome = RunOutcome::NoResponse;
            run.Box(QStringLiteral("No response from Datalogger."), OkOnly, run.reason);
            break;
        case HandshakeResult::NoRestart:
            run.outcome = RunOutcome::NoRestart;
            run.reason = comm_.DeviceName() +
                         QStringLiteral(": the datalogger did not restart (no \"%1\") within %2 s")
                             .arg(run.vars.Tokens.TokenRestart)
                             .arg(run.restartTimeout);
            run.Box(QStringLiteral("No response from Datalogger."), OkOnly, run.reason);
            break;
        case HandshakeResult::Ready:
            FileStage(run);
            break;
    }
    run.file.Close();
}

void UpdateRun::HandleFailure(RunContext& run, const QString& path) {
    // The handler's own text comes first, word for word; below it the device or file and
    // what went wrong, as the failure tells it.
    const int style = OkOnly + Exclamation;
    // A failure inside a handler ends the run quietly: there is nothing left to report to.
    try {
        switch (run.region) {
            case FailureRegion::Port:
                outcome_ = RunOutcome::PortFailure;
                run.Box(QStringLiteral("Error encountered while accessing the com port."), style,
                        failureReason_);
                SetIdleState();
                break;
            case FailureRegion::Download:
                outcome_ = RunOutcome::DownloadFailure;
                run.Box(QStringLiteral("Error encountered while downloading the firmware."), style,
                        failureReason_);
                run.file.Close();
                ClosePort();
                SetIdleState();
                break;
            case FailureRegion::FileOpen:
                outcome_ = RunOutcome::FileOpenFailure;
                ClosePort();
                run.file.Close();
                run.Box(QStringLiteral("Error opening ") + path + QStringLiteral("."), style,
                        failureReason_);
                SetIdleState();
                break;
            case FailureRegion::Closing:
                outcome_ = RunOutcome::ClosingFailure;
                run.Box(QStringLiteral("Error encountered while closing the com port."), style,
                        failureReason_);
                SetIdleState();
                break;
        }
    } catch (const std::exception&) {
    }
}

void UpdateRun::ClosePort() {
    try {
        if (comm_.PortOpen()) {
            comm_.PortOpen(false);
        }
    } catch (const std::exception&) {
    }
}

void UpdateRun::SetBusyState() {
    window_.SetEnabled(Control::Command1, false);
    window_.SetEnabled(Control::Command3, false);
    window_.SetEnabled(Control::Command6, false);
    window_.SetEnabled(Control::Text1, false);
    window_.SetCaption(Control::Label2, QString());
    vars_.CancelRequested = false;
    window_.SetVisible(Control::Command4, true);
    window_.SetEnabled(Control::Command4, true);
    window_.ZOrder(Control::Command4);
    window_.SetVisible(Control::Command6, false);
    window_.SetEnabled(Control::Combo1, false);
}

void UpdateRun::SetIdleState() {
    window_.SetVisible(Control::Label14, false);
    window_.SetVisible(Control::Command6, true);
    window_.SetVisible(Control::Command4, false);
    window_.SetEnabled(Control::Command1, true);
    window_.SetEnabled(Control::Command3, true);
    window_.SetEnabled(Control::Command6, true);
    window_.SetEnabled(Control::Text1, true);
    window_.SetCaption(Control::Label2, QStringLiteral("Idle"));
    window_.SetCaption(Control::Label14, QString());
    window_.SetEnabled(Control::Combo1, true);
}

void UpdateRun::SetupPortList() {
    for (int port = 1; port <= 8; ++port) {
        window_.AddItem(Control::Combo1, QString::number(port));
    }
}

void UpdateRun::Command4_Click() {
    vars_.CancelRequested = true;
    window_.SetEnabled(Control::Command4, false);
}

void UpdateRun::Timer1_Timer() {
    if (vars_.TickCount < 5) {
        ++vars_.TickCount;
    }
}

void UpdateRun::Timer3_Timer() {
    window_.SetCaption(Control::Label14, QString::number(vars_.LinesRemaining));
}
