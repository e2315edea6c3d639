#include "cli_options.h"

#include <QCommandLineParser>

namespace {

const QString kPort = QStringLiteral("port");
const QString kFile = QStringLiteral("file");
const QString kOnError = QStringLiteral("on-error");
const QString kQuiet = QStringLiteral("quiet");
const QString kVerbose = QStringLiteral("verbose");
const QString kLog = QStringLiteral("log");
const QString kJson = QStringLiteral("json");
const QString kListPorts = QStringLiteral("list-ports");
const QString kReportToParent = QStringLiteral("report-to-parent");
const QString kCheck = QStringLiteral("check");
const QString kNoRecordCheck = QStringLiteral("no-record-check");
const QString kRestartTimeout = QStringLiteral("restart-timeout");

void Describe(QCommandLineParser& parser) {
    parser.addOption({kPort, QString(), QStringLiteral("N|DEVICE")});
    parser.addOption({kFile, QString(), QStringLiteral("PATH")});
    parser.addOption({kOnError, QString(), QStringLiteral("POLICY")});
    parser.addOption({{QStringLiteral("q"), kQuiet}, QString()});
    parser.addOption({{QStringLiteral("v"), kVerbose}, QString()});
    parser.addOption({kLog, QString(), QStringLiteral("FILE")});
    parser.addOption({kJson, QString()});
    parser.addOption({kListPorts, QString()});
    parser.addOption({kReportToParent, QString()});
    parser.addOption({kCheck, QString(), QStringLiteral("FILE")});
    parser.addOption({kNoRecordCheck, QString()});
    parser.addOption({kRestartTimeout, QString(), QStringLiteral("SECONDS")});
    parser.addOption({{QStringLiteral("h"), QStringLiteral("help")}, QString()});
    parser.addOption({QStringLiteral("version"), QString()});
}

std::variant<PortArgument, QString> ParsePort(const QString& text) {
    PortArgument port;
    bool number = false;
    const int n = text.toInt(&number, 10);
    if (number) {
        if (n < 1 || n > 255) {
            return QStringLiteral("--port must be a port number from 1 to 255, or a device path, not ") +
                   text + QLatin1Char('.');
        }
        port.number = n;
    } else if (text.isEmpty()) {
        return QStringLiteral("--port needs a port number or a device path.");
    } else {
        port.device = text;
    }
    return port;
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
    options.json = parser.isSet(kJson);
    options.listPorts = parser.isSet(kListPorts);
    if (options.listPorts) {
        return options;
    }
    if (parser.isSet(kCheck)) {
        options.check = parser.value(kCheck);
        if (options.check.isEmpty()) {
            return QStringLiteral("--check needs the path of the update file.");
        }
        if (parser.isSet(kPort) || parser.isSet(kFile)) {
            return QStringLiteral("--check takes the file alone: no --port, no --file.");
        }
        return options;
    }

    if (!parser.isSet(kPort)) {
        return QStringLiteral("Missing --port: the serial port of the datalogger.");
    }
    if (!parser.isSet(kFile)) {
        return QStringLiteral("Missing --file: the update file to load.");
    }
    for (const QString& text : parser.values(kPort)) {
        const auto port = ParsePort(text);
        if (const QString* error = std::get_if<QString>(&port)) {
            return *error;
        }
        for (const PortArgument& earlier : options.ports) {
            if (earlier.Text() == text) {
                return QStringLiteral("--port ") + text + QStringLiteral(" is given twice.");
            }
        }
        options.ports << std::get<PortArgument>(port);
    }

    const QStringList files = parser.values(kFile);
    options.file = files.last();
    if (files.size() > 1) {
        return QStringLiteral("--file is given more than once: one update file goes to every port.");
    }
    if (options.file.isEmpty()) {
        return QStringLiteral("--file needs the path of the update file.");
    }

    if (parser.isSet(kOnError)) {
        const QString policy = parser.value(kOnError);
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
    if (options.ports.size() > 1 && options.onError == CliOptions::OnError::Ask) {
        return QStringLiteral(
            "Several ports need --on-error continue or abort: nobody can answer for all of "
            "them at once.");
    }

    if (parser.isSet(kQuiet) && parser.isSet(kVerbose)) {
        return QStringLiteral("--quiet and --verbose exclude each other.");
    }
    if (parser.isSet(kQuiet)) {
        options.verbosity = CliOptions::Verbosity::Quiet;
    } else if (parser.isSet(kVerbose)) {
        options.verbosity = CliOptions::Verbosity::Verbose;
    }
    if (parser.isSet(kLog)) {
        options.log = parser.value(kLog);
        if (options.log.isEmpty()) {
            return QStringLiteral("--log needs the path of the log file.");
        }
    }
    options.recordCheck = !parser.isSet(kNoRecordCheck);
    if (parser.isSet(kRestartTimeout)) {
        bool number = false;
        options.restartTimeout = parser.value(kRestartTimeout).toInt(&number, 10);
        if (!number || options.restartTimeout < 1) {
            return QStringLiteral("--restart-timeout must be a whole number of seconds, 1 or more, not ") +
                   parser.value(kRestartTimeout) + QLatin1Char('.');
        }
    }
    options.reportToParent = parser.isSet(kReportToParent);
    return options;
}

QString CliUsage() {
    return QStringLiteral(
        R"(Usage: quorvel-cli --port N|DEVICE [--port N|DEVICE ...] --file PATH [OPTION...]
       quorvel-cli --list-ports
       quorvel-cli --check FILE [--json]

Loads an update file into a datalogger through its serial bootloader, as the Quorvel
window does: start it, then restart the datalogger. The file is read and checked before
the port is opened: every data line must be a sound Intel HEX record, and one
end-of-file record must end them. A file that cannot be sent is refused before the
datalogger is touched.

Options:
  --port N|DEVICE   the datalogger's serial port: a COM port number (1 to 255) or a
                    device path such as /dev/ttyUSB0. Port n is COMn on Windows; elsewhere
                    the device QUORVEL_COM<n> names; the numbers no variable pins go, in
                    order, to the serial ports present: built-in UARTs, then ttyACM*, then
                    ttyUSB*, each in number order. Given more than once, the same file goes
                    to every port at the same time
  --file PATH       the update file (a firmware version line and Intel HEX records, CR LF
                    line ends, at least one record, at most 32,767 lines)
  --on-error POLICY what to do after a line the bootloader did not accept (a checksum
                    error, a flash write error, or no reply):
                      ask       ask on the terminal, y or n (the default; one port only)
                      continue  go on with the next line; the update then ends
                                incomplete (exit status 8) unless a later answer
                                accepts the line after all
                      abort     stop the update
  --no-record-check send the file even when its data lines are not all sound Intel HEX
                    records; without it such a file is refused before the port is opened
  --restart-timeout SECONDS
                    give up when the datalogger has not restarted within SECONDS (exit
                    status 3), as an unattended bench should; without it the wait has no
                    end, as in the window
  -q, --quiet       print only the outcome and the problems
  -v, --verbose     put the seconds since the start in front of every line, and show
                    each data line's sends and the bootloader's answers, and whether the
                    serial driver took the request for low latency
  --log FILE        write a transcript for support: every byte sent and received and
                    every event, with the time. With several ports, one log per port,
                    named after FILE with the port's device name added
  --json            print one JSON object at the end (an array of them for several
                    ports) and nothing else on standard output: the port and device, the
                    file, the loader and firmware versions, the lines sent, resends,
                    answers and prompts, the lines not accepted and why, whether the
                    answers kept in step, the line at which the datalogger restarted, the
                    start time (UTC), the program version, the file's size, SHA-256 and
                    address ranges, the duration, the outcome and the exit status
  --list-ports      list the COM port numbers with their devices and, where known, the
                    adapter's description and serial number, then exit
  --check FILE      check an update file and touch no port: print its size, SHA-256,
                    lines, records, data bytes, address ranges and version line, and every
                    fault found; exit 0 when it can be sent as it is, else 5. With --json,
                    one object
  -h, --help        show this text
  --version         show the version

Output:
  Status lines, versions, progress and a successful outcome go to standard output;
  failures, refusals, warnings and every other outcome go to standard error. With --json
  standard output holds only the JSON and everything else goes to standard error. On a
  terminal a progress line shows the lines remaining, the percentage done, the lines
  per second and the time left; the time spent at a prompt does not count, and a line
  the datalogger holds back with XOFF shows as held by the datalogger (XOFF). With several
  ports there is one progress line per port and a table of the outcomes at the end.

Signals:
  Ctrl-C (SIGINT), SIGTERM and SIGHUP cancel at once, at any moment, the prompt
  included: nothing more is sent, "Cancelled." is printed and the exit status is 6.
  Only the last few seconds, in which the update waits for the bootloader's final
  reply, run to their end and report the outcome. A closed pipe (quorvel-cli | head)
  does not stop an update.

Exit status:
  0  Datalogger successfully updated.
  1  the update failed: the bootloader reported it, gave no final reply, or the transfer
     failed
  2  bad arguments, or the log file cannot be written
  3  no response from the datalogger to the ready request
  4  the serial port is missing, in use or cannot be set up
  5  the update file cannot be opened or is not fit to send (a damaged record, no
     end-of-file record, no data line, LF line ends)
  6  cancelled (Ctrl-C, SIGTERM or SIGHUP)
  7  aborted after a bad line
  8  the firmware in the datalogger is incomplete: the bootloader said the update succeeded,
     but a line was not accepted or the answers came out of step with the lines sent; or
     the datalogger restarted during the update
  With several ports: 0 when every port succeeded, else the status of the first port,
  in the order given, that did not.
)");
}
