#pragma once

#include <QString>
#include <QStringList>

#include <variant>

// What the command line asks for.
struct CliOptions {
    enum class OnError { Ask, Continue, Abort };

    int port = 0;     // COM port number, when the port was given as a number
    QString device;   // the device itself, when it was given as a path
    QString file;
    OnError onError = OnError::Ask;
    bool help = false;
    bool version = false;
};

// Exit statuses of quorvel-cli.
enum ExitStatus : int {
    kExitUpdated = 0,
    kExitUpdateFailed = 1,  // the bootloader reported a failed update, or the transfer failed
    kExitUsage = 2,         // bad arguments
    kExitNoResponse = 3,    // the datalogger never answered the ready request
    kExitPortFailure = 4,   // the port is missing, in use or cannot be set up
    kExitFileFailure = 5,   // the update file cannot be opened
    kExitCancelled = 6,     // Ctrl-C
    kExitAborted = 7,       // a bad line, and the answer was to stop
};

// Parses the arguments (the program name first). Returns the options, or the reason they
// are wrong.
std::variant<CliOptions, QString> ParseCli(const QStringList& arguments);

QString CliUsage();
