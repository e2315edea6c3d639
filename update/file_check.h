#pragma once

#include <QString>

// What the check found in an update file.
struct UpdateFileFacts {
    int lines = 0;      // every line, empty and version lines included
    int dataLines = 0;  // the lines that go to the bootloader
};

// Reads the whole update file once, before the datalogger is touched, with the reader the
// run sends it with. Raises a Failure, its reason naming the file and the fault, when the
// file cannot be sent: it cannot be opened or is no regular file, a line feed in it does
// not end a CR LF pair (the record behind it would vanish into the line before), or it
// holds no data line at all (nothing would be sent, and the bootloader's last word would
// be judged on nothing).
UpdateFileFacts CheckUpdateFile(const QString& path);
