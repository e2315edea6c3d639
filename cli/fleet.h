#pragma once

#include "cli_options.h"

#include <QString>

#include <cstdio>

// Several dataloggers at once: the same update file goes to every port in parallel, one
// quorvel-cli process per port (each with its own engine on its own thread of control),
// laid out together: one progress line per port on a terminal, every message marked with
// its port, and a table of the outcomes at the end. Returns 0 when every port succeeded,
// else the exit status of the first port, in the order given, that did not.
int RunFleet(const CliOptions& options, const QString& program, FILE* out, FILE* err);

// The log of one port of several: FILE with the port's name added before its extension
// ("update.log" and "ttyUSB0" give "update-ttyUSB0.log").
QString LogNameFor(const QString& log, const QString& portName);
