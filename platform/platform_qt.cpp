// The platform with Qt alone, for systems without POSIX. Qt has no part for the system's
// stop requests, for telling a terminal from a file, or for a process group, so those are
// not available here: the programs run, but Ctrl-C ends them the system's way, progress is
// printed as plain lines, and the command line's prompts are answered No, as they are
// without a terminal.
#include "platform.h"

#include <QEventLoop>

StopRequests::StopRequests(Again, QObject* parent) : QObject(parent) {}

StopRequests::~StopRequests() = default;

bool IsTerminal(FILE*) {
    return false;
}

int TerminalColumns(FILE*) {
    return 80;
}

void IgnoreBrokenPipes() {}

void SetUpChildProcess(QProcess&) {}

TerminalQuestion::Result TerminalQuestion::Ask(const QString&, QString*) {
    return Result::NoTerminal;
}

void TerminalQuestion::Interrupt() {
    if (loop_ != nullptr) {
        loop_->quit();
    }
}
