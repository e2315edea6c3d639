#include "cli_options.h"
#include "console_front.h"
#include "file_report.h"
#include "fleet.h"
#include "platform.h"
#include "port_names.h"
#include "quorvel_version.h"
#include "reporter.h"
#include "serial_port_comm.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace {

// The port numbers the list covers: as many as the window's list and then some.
constexpr int kListedPorts = 255;

int ListPortsTo(FILE* out, bool json) {
    const QList<PortListing> ports = ListPorts(kListedPorts);
    QByteArray text;
    if (json) {
        QJsonArray all;
        for (const PortListing& p : ports) {
            all.append(QJsonObject{{QStringLiteral("port"), p.number},
                                   {QStringLiteral("device"), p.device},
                                   {QStringLiteral("description"), p.description},
                                   {QStringLiteral("serialNumber"), p.serialNumber}});
        }
        text = QJsonDocument(all).toJson(QJsonDocument::Indented);
    } else if (ports.isEmpty()) {
        text = "No serial ports found.\n";
    } else {
        for (const PortListing& p : ports) {
            QString line = QStringLiteral("%1  %2").arg(p.number, 3).arg(p.device);
            if (!p.description.isEmpty()) {
                line += QStringLiteral("  ") + p.description;
            }
            if (!p.serialNumber.isEmpty()) {
                line += QStringLiteral("  serial number ") + p.serialNumber;
            }
            text += line.toLocal8Bit() + '\n';
        }
    }
    Put(out, text);
    return kExitUpdated;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvel-cli"));
    IgnoreBrokenPipes();

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
    if (options.listPorts) {
        return ListPortsTo(stdout, options.json);
    }
    if (!options.check.isEmpty()) {
        return CheckOnly(options, stdout, stderr);
    }
    if (options.ports.size() > 1) {
        return RunFleet(options, QCoreApplication::applicationFilePath(), stdout, stderr);
    }

    const PortArgument& port = options.ports.first();
    SerialPortComm comm;
    comm.PinDevice(port.device);
    std::unique_ptr<Reporter> reporter;
    if (options.reportToParent) {
        reporter = std::make_unique<ParentReporter>(stdout);
    } else {
        reporter = std::make_unique<StreamReporter>(options, stdout, stderr);
    }
    ConsoleFront front(options, port, comm, *reporter);
    // The serial layer's remarks (low latency asked or not offered) are events, for
    // --verbose and the log.
    QObject::connect(&comm, &SerialPortComm::Noted, &front, &ConsoleFront::Remark);
    // Ctrl-C, a polite kill and a terminal hanging up all cancel at once: nothing more is
    // sent and the run closes the port on its way out.
    StopRequests stops(StopRequests::Again::Delivered);
    QObject::connect(&stops, &StopRequests::Requested, &front,
                     [&front](const QString& name) { front.Interrupt(name); });
    return front.Run();
}
