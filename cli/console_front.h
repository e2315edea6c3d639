#pragma once

#include "cli_options.h"
#include "file_check.h"
#include "clock.h"
#include "form_variables.h"
#include "mscomm.h"
#include "progress.h"
#include "reporter.h"
#include "run_window.h"
#include "session_log.h"
#include "platform.h"
#include "update_run.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QObject>
#include <QTimer>

#include <memory>

// The update run of one port on a console: the same engine as the window, with the window's
// controls turned into lines of text for a Reporter. Status lines, versions and outcomes
// are reported as the window would show them; the prompts after a bad line are answered
// by the chosen policy or on the terminal; an interrupt cancels at once.
class ConsoleFront : public QObject, public RunWindow {
    Q_OBJECT
public:
    // port is the first --port; the device it names must already be reachable as the port
    // number the run opens (a device path is pinned in the serial control by the caller).
    ConsoleFront(const CliOptions& options, const PortArgument& port, MSComm& comm,
                 Reporter& reporter);

    // Checks the update file, then runs one update; returns the exit status.
    int Run();

    // Ctrl-C, SIGTERM or SIGHUP: the run stops at its next check, the prompt included.
    // by: the signal's name ("SIGINT", "SIGTERM", "SIGHUP"), for the reason.
    void Interrupt(const QString& by);
    // Something for --verbose and the log that is no event of the run itself.
    void Remark(const QString& text);

    // RunWindow
    QString Caption() const override;
    void SetCaption(Control control, const QString& text) override;
    void SetEnabled(Control control, bool enabled) override;
    void SetVisible(Control, bool) override {}
    void ZOrder(Control) override {}
    void SetFocus(Control) override {}
    QString Text(Control control) const override;
    int ListIndex(Control control) const override;
    void AddItem(Control, const QString&) override {}
    MsgBoxResult Ask(const QString& prompt, int style, const PromptFacts& facts) override;
    void Tell(const QString& text, int style, const OutcomeFacts& facts) override;
    void DoEvents(YieldMode mode) override;
    void Note(const TransferEvent& event) override;

private:
    // The file is opened and read through once before the datalogger is touched; false,
    // with the failure reported, when it cannot be sent.
    bool CheckFile();
    MsgBoxResult AskTerminal(const QString& prompt);
    void Answered(const QString& prompt, bool yes, const QString& by);
    void Problem(const QString& text);
    void Status(const QString& text);
    void ShowProgress(bool last);
    // A version line of the window: kept for the JSON result without its label, and shown.
    void ShowVersion(const QString& text, const QString& prefix, QString* version);
    int Finish(int status);

    CliOptions options_;
    PortArgument port_;
    QString device_;
    Reporter& reporter_;
    SessionLog log_;
    std::unique_ptr<RecordingComm> recording_;
    FormVariables vars_;
    MonotonicClock clock_;
    UpdateRun run_;
    QTimer timer1_;
    QTimer timer3_;
    QTimer pacer_;
    TerminalQuestion question_;
    QElapsedTimer started_;
    Progress progress_;
    bool interrupted_ = false;
    QString interruptedBy_;
    QString lastAnswerBy_;
    QDateTime startTime_;
    // The datalogger holds the program's bytes back with XOFF.
    bool held_ = false;
    QString status_;

    // The session, for the JSON object.
    QString loaderVersion_;
    QString oldFirmwareVersion_;
    QString updateFirmwareVersion_;
    int sends_ = 0;
    int resends_ = 0;
    QJsonObject answers_;
    QJsonArray prompts_;
    int lastPromptLine_ = 0;
    QString outcomeText_;
    QString reason_;
    UpdateFileFacts facts_;
};
