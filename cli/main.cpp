#include "cli_options.h"
#include "console_front.h"
#include "serial_port_comm.h"
#include "quorvel_version.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

// Ctrl-C wakes the event loop through a pipe; the run sees the request at its next check,
// like a click on Cancel. A second Ctrl-C ends the program at once.
int wakePipe[2] = {-1, -1};

void OnInterrupt(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakePipe[1], &byte, 1);
    std::signal(SIGINT, SIG_DFL);
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvel-cli"));

    const auto parsed = ParseCli(QCoreApplication::arguments());
    if (const QString* error = std::get_if<QString>(&parsed)) {
        std::fprintf(stderr, "quorvel-cli: %s\nTry 'quorvel-cli --help'.\n", qPrintable(*error));
        return kExitUsage;
    }
    const CliOptions& options = std::get<CliOptions>(parsed);
    if (options.help) {
        std::fputs(qPrintable(CliUsage()), stdout);
        return kExitUpdated;
    }
    if (options.version) {
        std::printf("quorvel-cli %s\n", QUORVEL_VERSION_TEXT);
        return kExitUpdated;
    }
    if (!options.device.isEmpty()) {
        qputenv("QUORVEL_COM1", options.device.toLocal8Bit());
    }

    ConsoleFront front(options, std::make_unique<SerialPortComm>(), stdout, stderr);
    if (::pipe(wakePipe) == 0) {
        auto* notifier = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [&front] {
            char byte = 0;
            [[maybe_unused]] const ssize_t n = ::read(wakePipe[0], &byte, 1);
            front.Interrupt();
        });
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }
    return front.Run();
}
