#pragma once

#include "clock.h"
#include "form_variables.h"
#include "mscomm.h"
#include "run_window.h"

#include "run_context.h"

// One update run, from the press of the start button to the window's return to idle, and
// the window's share in it: the idle and busy states, the Cancel button, the two timers and
// the port list. Everything runs on the window's thread; RunUpdate holds it until the run
// ends and yields to the event loop inside its waits, so Cancel and the timers keep working.
class UpdateRun {
public:
    UpdateRun(FormVariables& vars, RunWindow& window, MSComm& comm, Clock& clock)
        : peers_{vars, window, comm, clock} {}

    void RunUpdate();
    // Closes the port if it is open; ignores every failure, so it never fails.
    void ClosePort();
    void SetBusyState();
    void SetIdleState();
    // Fills the port list with "1" to "8"; selects nothing.
    void SetupPortList();

    // Handlers of the window's events that belong to the run.
    void Command6_Click() { RunUpdate(); }
    void Command4_Click();
    void Timer1_Timer();
    void Timer3_Timer();

    // How Cancel takes effect (see CancelMode): the window's at fixed points, as always; a
    // front end whose user expects an interrupt to stop everything at once (the command
    // line's Ctrl-C) asks for AtOnce.
    void SetCancelMode(CancelMode mode) { cancelMode_ = mode; }
    // Whether a file whose data lines are not all sound Intel HEX records is asked about
    // before the port is opened (the default), or sent as it is, without a question (the
    // command line's --no-record-check: its own check has refused the file otherwise).
    void SetRecordCheck(bool check) { recordCheck_ = check; }
    // The window waits for the user to restart the datalogger as long as it takes; an
    // unattended bench sets how many seconds it waits at most (0: no end).
    void SetRestartTimeout(int seconds) { restartTimeout_ = seconds; }

    bool Running() const { return running_; }
    // How the last run ended.
    RunOutcome LastOutcome() const { return outcome_; }
    // Why the last run ended as it did: the reason its failure carries (the device or file
    // and what went wrong), or why an update that ended is not the whole image (one line a
    // reason); empty after a success or a Cancel.
    const QString& LastFailureReason() const { return failureReason_; }
    // The last run's books: which lines were accepted, whether the answers kept in step,
    // whether the bootloader restarted.
    const AnswerLedger& LastLedger() const { return ledger_; }

private:
    // The stages after the port is open; they end by falling through to the closing
    // sequence or by raising a failure.
    void Stages(RunContext& run);
    // The one place a stopped run gets its outcome: a bootloader that restarted is told,
    // anything else that stopped it was a Cancel.
    void Stopped(RunContext& run);
    void HandleFailure(RunContext& run, const QString& path);

    RunPeers peers_;
    bool running_ = false;
    CancelMode cancelMode_ = CancelMode::AtFixedPoints;
    bool recordCheck_ = true;
    int restartTimeout_ = 0;
    RunOutcome outcome_ = RunOutcome::None;
    QString failureReason_;
    AnswerLedger ledger_;
};
