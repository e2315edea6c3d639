#pragma once

#include "cli_options.h"
#include "clock.h"
#include "form_variables.h"
#include "mscomm.h"
#include "run_window.h"
#include "update_run.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <cstdio>
#include <memory>

// The update run on a console: the same engine as the window, with the window's controls
// turned into lines of text. Status lines, versions and outcomes are printed as the window
// would show them; the prompts after a bad line are answered by the chosen policy; Ctrl-C
// is the Cancel button.
class ConsoleFront : public QObject, public RunWindow {
    Q_OBJECT
public:
    ConsoleFront(const CliOptions& options, std::unique_ptr<MSComm> comm, FILE* out, FILE* err);

    // Runs one update and returns the exit status.
    int Run();

    // Called from the SIGINT handler's wake-up: asks the run to stop at its next check.
    void Interrupt();

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
    MsgBoxResult MsgBox(const QString& prompt, int style, const QString& title,
                        const QString& detail) override;
    void DoEvents(YieldMode mode) override;

private:
    void Print(FILE* stream, const QString& line);
    void ShowProgress(qint16 remaining);
    void EndProgress();
    MsgBoxResult Ask(const QString& prompt);

    CliOptions options_;
    FILE* out_;
    FILE* err_;
    bool terminal_;
    FormVariables vars_;
    std::unique_ptr<MSComm> comm_;
    MonotonicClock clock_;
    UpdateRun run_;
    QTimer timer1_;
    QTimer timer3_;
    QTimer pacer_;

    QString status_;
    bool progressOpen_ = false;
    bool interrupted_ = false;
    bool cancelSent_ = false;
    qint16 lastCount_ = 0;
    QElapsedTimer sinceCount_;
    QElapsedTimer sincePlainProgress_;
};
