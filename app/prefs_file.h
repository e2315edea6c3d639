#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

// prefs.txt: two lines, each ended by CR LF, in the system's 8-bit encoding:
//
//   2
//   "/home/ann/fw/logger.upd"
//
// The first holds the port list's index in decimal, the second the update file's path in
// double quotes, unescaped.
struct PrefsRecord {
    qint16 portIndex = 0;
    QString path;
    // The path as the file held it. The system's 8-bit decoding turns bytes it cannot read
    // into U+FFFD, so writing path would change such a name: WritePrefs writes these bytes
    // instead as long as path is still what they decode to.
    QByteArray pathBytes;
};

QByteArray WritePrefs(const PrefsRecord& prefs);

// Reads the two fields. Fields end at a comma or at a line end (CR LF, LF or CR); blanks
// around a field are dropped; a field that starts with a double quote runs to the last
// double quote of its line, so a path that itself holds quotes or commas reads back as it
// was written. Fails (no value) when the file ends before the second field or the first is
// not a 16-bit integer. The index is not checked against the list here.
std::optional<PrefsRecord> ReadPrefs(const QByteArray& content);
