#pragma once

#include "cli_options.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>

#include <cstdio>

// One look at the transfer's progress.
struct ProgressFigures {
    qint16 linesRemaining = 0;  // as the window's count shows it
    int percent = 0;
    double rate = -1.0;         // lines per second; negative while unknown
    qint64 secondsLeft = -1;    // negative while unknown
    bool held = false;          // the datalogger holds the line back with XOFF
};

// Writes and flushes. Output errors (a reader that went away) are ignored: the update goes
// on, and its exit status tells the outcome.
void Put(FILE* stream, const QByteArray& bytes);

// "Lines remaining: 1200  40%  850 lines/s  0:02 left".
QString ProgressText(const ProgressFigures& figures);

// Where the text of one port's run goes.
class Reporter {
public:
    enum class Kind {
        Status,   // status lines, versions, the port's device
        Outcome,  // the successful outcome
        Problem,  // failures, refusals, warnings, and every outcome but success
        Event,    // a line's sends and answers, for --verbose
    };
    virtual ~Reporter() = default;
    virtual void Say(Kind kind, const QString& text) = 0;
    virtual void ShowProgress(const ProgressFigures& figures, bool last) = 0;
    // Ends a progress line rewritten in place, before something else uses the terminal.
    virtual void EndProgress() {}
    // The session in one object, at the end.
    virtual void Result(const QJsonObject& result) = 0;
};

// The rule for a person or a script reading one run: status lines, progress and the
// successful outcome on standard output; failures, refusals, warnings and every other
// outcome on standard error. With --json standard output holds only the JSON object and
// everything else goes to standard error. --quiet keeps only outcomes and problems;
// --verbose adds each line's sends and answers and puts the seconds since the start in
// front of every line.
class StreamReporter : public Reporter {
public:
    StreamReporter(const CliOptions& options, FILE* out, FILE* err);

    void Say(Kind kind, const QString& text) override;
    void ShowProgress(const ProgressFigures& figures, bool last) override;
    void Result(const QJsonObject& result) override;
    void EndProgress() override;

private:
    void Print(FILE* stream, const QString& text);

    FILE* out_;
    FILE* err_;
    FILE* talk_;  // where status lines and progress go: out_, or err_ under --json
    bool quiet_;
    bool verbose_;
    bool json_;
    bool terminal_;
    bool progressOpen_ = false;
    QElapsedTimer since_;
    QElapsedTimer sincePlainProgress_;
};

// A run started by a several-port run reports to its parent: one tagged line per item on
// standard output ("status", "outcome", "problem", "event", "progress", "result", a tab,
// then the text), which the parent lays out for all ports together.
class ParentReporter : public Reporter {
public:
    explicit ParentReporter(FILE* out) : out_(out) {}

    void Say(Kind kind, const QString& text) override;
    void ShowProgress(const ProgressFigures& figures, bool last) override;
    void Result(const QJsonObject& result) override;

private:
    void Tagged(const char* tag, const QString& text);

    FILE* out_;
};
