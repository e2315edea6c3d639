#include "cli_options.h"

#include <QCommandLineParser>

namespace {

void Describe(QCommandLineParser& parser) {
    parser.addOption({QStringLiteral("port"), QString(), QStringLiteral("N|DEVICE")});
    parser.addOption({QStringLiteral("file"), QString(), QStringLiteral("PATH")});
    parser.addOption({QStringLiteral("on-error"), QString(), QStringLiteral("POLICY")});
    parser.addOption({{QStringLiteral("h"), QStringLiteral("help")}, QString()});
    parser.addOption({QStringLiteral("version"), QString()});
}

}  // namespace

std::variant<CliOptions, QString> ParseCli(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    Describe(parser);
    if (!parser.parse(arguments)) {
        return parser.errorText();
    }
    CliOptions options;
    options.help = parser.isSet(QStringLiteral("help"));
    options.version = parser.isSet(QStringLiteral("version"));
    if (options.help || options.version) {
        return options;
    }
    if (!parser.positionalArguments().isEmpty()) {
        return QStringLiteral("Unexpected argument: ") + parser.positionalArguments().first();
    }
    if (!parser.isSet(QStringLiteral("port"))) {
        return QStringLiteral("Missing --port: the serial port of the datalogger.");
    }
    if (!parser.isSet(QStringLiteral("file"))) {
        return QStringLiteral("Missing --file: the update file to load.");
    }

    const QString port = parser.value(QStringLiteral("port"));
    bool number = false;
    const int n = port.toInt(&number);
    if (number) {
        if (n < 1 || n > 255) {
            return QStringLiteral("--port must be a port number from 1 to 255, or a device path.");
        }
        options.port = n;
    } else if (port.isEmpty()) {
        return QStringLiteral("--port needs a port number or a device path.");
    } else {
        options.device = port;
    }

    options.file = parser.value(QStringLiteral("file"));
    if (options.file.isEmpty()) {
        return QStringLiteral("--file needs the path of the update file.");
    }

    if (parser.isSet(QStringLiteral("on-error"))) {
        const QString policy = parser.value(QStringLiteral("on-error"));
        if (policy == QLatin1String("ask")) {
            options.onError = CliOptions::OnError::Ask;
        } else if (policy == QLatin1String("continue")) {
            options.onError = CliOptions::OnError::Continue;
        } else if (policy == QLatin1String("abort")) {
            options.onError = CliOptions::OnError::Abort;
        } else {
            return QStringLiteral("--on-error must be ask, continue or abort, not ") + policy + ".";
        }
    }
    return options;
}

QString CliUsage() {
    return QStringLiteral(
        R"(Usage: quorvel-cli --port N|DEVICE --file PATH [--on-error ask|continue|abort]

Loads an update file into a datalogger through its serial bootloader, as the Quorvel
window does: start it, then restart the datalogger.

  --port N|DEVICE   the datalogger's serial port: a COM port number (1 to 255) or a
                    device path such as /dev/ttyUSB0. Port n is COMn on Windows; elsewhere
                    the device QUORVEL_COM<n> names, or else the n-th serial port present:
                    built-in UARTs, then ttyACM*, then ttyUSB*, each in number order
  --file PATH       the update file (a firmware version line and Intel HEX records)
  --on-error POLICY what to do after a line the bootloader did not accept (a checksum
                    error, a flash write error, or no reply):
                      ask       ask on the terminal, y or n (the default)
                      continue  go on with the next line
                      abort     stop the update
  -h, --help        show this text
  --version         show the version

It prints the status lines, the versions and the outcome. On a terminal a progress line
shows the lines remaining and the lines per second. Ctrl-C cancels the update, as the
Cancel button does. It keeps no settings.

Exit status:
  0  Datalogger successfully updated.
  1  the update failed: the bootloader reported it, gave no final reply, or the transfer
     failed
  2  bad arguments
  3  no response from the datalogger to the ready request
  4  the serial port is missing, in use or cannot be set up
  5  the update file cannot be opened
  6  cancelled (Ctrl-C)
  7  aborted after a bad line
)");
}
