#include "cli_options.h"
#include "console_front.h"
#include "serial_port_comm.h"
#include "signal_watch.h"
#include "quorvel_version.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

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
    // Ctrl-C (and a polite kill) is the Cancel button: the run stops at its next check and
    // closes the port on its way out.
    SignalWatch interrupts({SIGINT, SIGTERM});
    QObject::connect(&interrupts, &SignalWatch::Raised, &front, [&front] { front.Interrupt(); });
    return front.Run();
}
