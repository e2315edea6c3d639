#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <variant>

// A --port argument: a COM port number, or a device path.
struct PortArgument {
    int number = 0;   // 1 to 255, when the port was given as a number
    QString device;   // the device, when it was given as a path
    // The argument as the user wrote it.
    QString Text() const { return device.isEmpty() ? QString::number(number) : device; }
};

// What the command line asks for.
struct CliOptions {
    enum class OnError { Ask, Continue, Abort };
    enum class Verbosity { Quiet, Normal, Verbose };

    QList<PortArgument> ports;  // in the order given; more than one runs them in parallel
    QString file;
    OnError onError = OnError::Ask;
    Verbosity verbosity = Verbosity::Normal;
    QString log;     // --log FILE, empty without
    bool json = false;
    QString check;   // --check FILE: check the file alone, touch no port
    bool recordCheck = true;  // false with --no-record-check: send unsound records all the same
    int restartTimeout = 0;   // --restart-timeout SECONDS; 0: wait for the restart without end
    bool listPorts = false;
    bool help = false;
    bool version = false;
    // Set by a several-port run on the runs it starts: report to the parent in tagged lines.
    bool reportToParent = false;
};

// Exit statuses of quorvel-cli.
enum ExitStatus : int {
    kExitUpdated = 0,
    kExitUpdateFailed = 1,  // the bootloader reported a failed update, or the transfer failed
    kExitUsage = 2,         // bad arguments, or the log file cannot be written
    kExitNoResponse = 3,    // the datalogger never answered the ready request
    kExitPortFailure = 4,   // the port is missing, in use or cannot be set up
    kExitFileFailure = 5,   // the update file cannot be opened or is not fit to send
    kExitCancelled = 6,     // Ctrl-C, SIGTERM or SIGHUP
    kExitAborted = 7,       // a bad line, and the answer was to stop
    kExitIncomplete = 8,    // the update ended, but the firmware is not the whole image
};

// Parses the arguments (the program name first). Returns the options, or the reason they
// are wrong.
std::variant<CliOptions, QString> ParseCli(const QStringList& arguments);

QString CliUsage();
