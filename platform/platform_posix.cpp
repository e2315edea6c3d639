#include "platform.h"

#include <QEventLoop>
#include <QProcess>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

int wakePipe[2] = {-1, -1};
bool endsOnAgain = true;

void OnSignal(int signal) {
    // Only what is safe in a signal handler: one byte into the pipe.
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(wakePipe[1], &byte, 1);
    if (endsOnAgain) {
        std::signal(signal, SIG_DFL);
    }
}

QString NameOf(int signal) {
    switch (signal) {
        case SIGINT:
            return QStringLiteral("SIGINT");
        case SIGTERM:
            return QStringLiteral("SIGTERM");
        default:
            return QStringLiteral("SIGHUP");
    }
}

}  // namespace

StopRequests::StopRequests(Again again, QObject* parent) : QObject(parent) {
    if (wakePipe[0] < 0 && ::pipe(wakePipe) != 0) {
        return;
    }
    ::fcntl(wakePipe[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(wakePipe[1], F_SETFD, FD_CLOEXEC);
    ::fcntl(wakePipe[1], F_SETFL, O_NONBLOCK);
    endsOnAgain = again == Again::EndsProgram;
    notifier_ = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        if (::read(wakePipe[0], &byte, 1) == 1) {
            emit Requested(NameOf(byte));
        }
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

StopRequests::~StopRequests() = default;

bool IsTerminal(FILE* stream) {
    return ::isatty(::fileno(stream)) != 0;
}

int TerminalColumns(FILE* stream) {
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

void IgnoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

void SetUpChildProcess(QProcess& process) {
    process.setChildProcessModifier([] {
        ::setpgid(0, 0);
#ifdef __linux__
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
    });
}

TerminalQuestion::Result TerminalQuestion::Ask(const QString& prompt, QString* answer) {
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return Result::NoTerminal;
    }
    const QByteArray text = prompt.toLocal8Bit();
    [[maybe_unused]] const ssize_t written = ::write(fd, text.constData(), size_t(text.size()));

    // The terminal hands over one line per read; what the user typed ahead stays for the
    // next question.
    Result result = Result::Interrupted;
    QByteArray line;
    QEventLoop loop;
    QSocketNotifier notifier(fd, QSocketNotifier::Read);
    connect(&notifier, &QSocketNotifier::activated, &loop, [&] {
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        if (n <= 0) {
            // The terminal hung up, or the input ended (Ctrl-D).
            result = Result::Closed;
            loop.quit();
            return;
        }
        line.append(buffer, n);
        if (line.contains('\n')) {
            result = Result::Answered;
            loop.quit();
        }
    });
    loop_ = &loop;
    loop.exec();
    loop_ = nullptr;
    if (result != Result::Answered) {
        // Leave the cursor on a fresh line for what comes next.
        [[maybe_unused]] const ssize_t n = ::write(fd, "\n", 1);
    }
    ::close(fd);
    *answer = QString::fromLocal8Bit(line.left(line.indexOf('\n')));
    return result;
}

void TerminalQuestion::Interrupt() {
    if (loop_ != nullptr) {
        loop_->quit();
    }
}
