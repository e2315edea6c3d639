#pragma once

#include <QObject>
#include <QString>

#include <cstdio>

class QEventLoop;
class QProcess;
class QSocketNotifier;

// What the programs need from the system they run on, behind a few plain names: requests
// to stop from outside (Ctrl-C, a polite kill, a terminal hanging up), whether an output
// is a terminal, a question on the controlling terminal, the handling of a reader that
// went away, and the set-up of the processes the command line starts for several ports.
// platform_posix.cpp implements them on POSIX systems; platform_qt.cpp with Qt alone, for
// systems without POSIX, where what Qt has no part for is not available.

// Turns the system's requests to stop (SIGINT, SIGTERM, SIGHUP) into a Qt signal on the
// event loop, where it is safe to act on them.
class StopRequests : public QObject {
    Q_OBJECT
public:
    enum class Again {
        EndsProgram,  // a second request of the same kind ends the program at once
        Delivered,    // every request is delivered
    };
    explicit StopRequests(Again again, QObject* parent = nullptr);
    ~StopRequests() override;

signals:
    // name: "SIGINT", "SIGTERM" or "SIGHUP".
    void Requested(const QString& name);

private:
    QSocketNotifier* notifier_ = nullptr;
};

// Whether the stream goes to a terminal (for a progress line rewritten in place).
bool IsTerminal(FILE* stream);
// The terminal's width in columns; 80 when it cannot be told.
int TerminalColumns(FILE* stream);
// A reader that closes its end of a pipe (`quorvel-cli ... | head`) must not stop an
// update: output errors are ignored instead, and the exit status still tells the outcome.
void IgnoreBrokenPipes();
// Sets up a process the command line starts for one of several ports: the child leaves
// the terminal's process group, so that a Ctrl-C reaches only the parent, which passes it
// on once; and it is asked to stop when the parent dies.
void SetUpChildProcess(QProcess& process);

// A yes/no question on the controlling terminal. The answer is read while the event loop
// runs, so an interrupt ends the question at once.
class TerminalQuestion : public QObject {
    Q_OBJECT
public:
    enum class Result { Answered, NoTerminal, Interrupted, Closed };

    // Writes the prompt to the terminal and waits for one line; the answer is the line
    // without its end.
    Result Ask(const QString& prompt, QString* answer);
    // Ends a running Ask with Interrupted; without one, does nothing.
    void Interrupt();

private:
    QEventLoop* loop_ = nullptr;
};
