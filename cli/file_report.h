#pragma once

#include "cli_options.h"
#include "file_check.h"

#include <QJsonObject>

#include <cstdio>

// The facts of an update file for a record: its size, SHA-256 and the addresses its records
// fill, as the JSON and the log of a run carry them.
QJsonObject FileFactsJson(const UpdateFileFacts& facts);

// quorvel-cli --check FILE: reads and checks the file as a run would before it opens the
// port, and prints the facts and every fault found, without touching any port. Returns 0
// for a file that can be sent as it is, kExitFileFailure otherwise.
int CheckOnly(const CliOptions& options, FILE* out, FILE* err);
