#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

// Addresses the data records fill, from begin up to end (not included).
struct AddressRange {
    quint64 begin = 0;
    quint64 end = 0;
};

// What is wrong with a line of the file, as a sentence that names the line ("Line 12 of the
// file is not a valid Intel HEX record: its checksum is 3F, its bytes give 41"); line is 0
// for a fault of the whole file.
struct RecordFault {
    int line = 0;  // in the file, from 1, every line counted: the line a user opens
    QString sentence;
};

// What the check found in an update file.
struct UpdateFileFacts {
    int lines = 0;               // every line, empty and version lines included
    int dataLines = 0;           // the lines that go to the bootloader
    qint64 size = 0;             // in bytes
    QString sha256;              // of the whole file, in lower-case hex
    QString versionLine;         // the last firmware version line, as the window shows it
    int records = 0;             // data lines that are sound Intel HEX records
    qint64 dataBytes = 0;        // in the data records
    QList<AddressRange> ranges;  // what the data records fill, in order, touching ones joined
    QList<RecordFault> faults;   // in the order of the file
};

// Reads the whole update file once, before the datalogger is touched, with the reader the
// run sends it with. Raises a Failure, its reason naming the file and the fault, when the
// file cannot be sent at all: it cannot be opened or is no regular file, a line feed in it
// does not end a CR LF pair (the record behind it would vanish into the line before), or
// it holds no data line (nothing would be sent, and the bootloader's last word would be
// judged on nothing). Data lines that are no sound Intel HEX records, or a file without
// exactly one end-of-file record last, are faults of the facts: the user may still choose
// to send such a file.
UpdateFileFacts CheckUpdateFile(const QString& path);

// The first fault and how many there are: "Line 12 of the file is not a valid Intel HEX
// record: its checksum is 3F, its bytes give 41 (2 faults in all)."
QString FaultSummary(const UpdateFileFacts& facts);

// "0x00010000-0x0001BB7F", the last address included.
QString RangeText(const AddressRange& range);
