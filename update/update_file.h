#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// The update file, read as a stream of lines. A line ends at a carriage return or at a
// carriage return followed by a line feed; a line feed on its own is an ordinary character
// of the line. A last line without a terminator is a line, and a terminator at the very end
// does not make an extra empty line. Lines are raw bytes: a data line goes to the port
// exactly as it stands in the file.
//
// The file is never loaded whole: memory stays bounded by the longest line.
class UpdateFile {
public:
    // Raises a Failure when the file cannot be opened (missing, a folder, no access) or when
    // it is not a regular file. The reason names the file and the fault. What the lines
    // hold is CheckUpdateFile's to judge.
    void Open(const QString& path);
    bool IsOpen() const { return file_.isOpen(); }
    // Closing a file that is not open does nothing; closing never fails.
    void Close();
    // Whether every line has been read. Raises a Failure on a read error.
    bool AtEnd();
    // The next line without its terminator; empty at the end. Raises a Failure on a read
    // error.
    QByteArray ReadLine();
    // Passes over the next line without keeping it.
    void SkipLine();
    // Back to the first byte.
    void Rewind();

private:
    // Makes the next unread byte available; false at the end of the file.
    bool Fill();
    void Take(QByteArray* line);

    QFile file_;
    QByteArray buffer_;
    qsizetype pos_ = 0;
};

enum class LineKind { Empty, Version, Data };

// An empty line is skipped, a line starting with a capital "V" is the firmware version
// line, and every other line is a data line for the bootloader.
inline LineKind KindOfLine(const QByteArray& line) {
    if (line.isEmpty()) {
        return LineKind::Empty;
    }
    return line.front() == 'V' ? LineKind::Version : LineKind::Data;
}
