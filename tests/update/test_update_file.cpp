// The update file reader: line ends, kinds of line, the counting pass and rewinding, across
// the reader's internal chunks.

#include "failure.h"
#include "file_check.h"
#include "files.h"
#include "update_file.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

QString Write(const QByteArray& content, QTemporaryDir& dir) {
    const QString path = dir.filePath(QStringLiteral("f.upd"));
    WriteFile(path, content);
    return path;
}

QList<QByteArray> Lines(const QByteArray& content, QTemporaryDir& dir) {
    const QString path = Write(content, dir);
    UpdateFile file;
    file.Open(path);
    int counted = 0;
    while (!file.AtEnd()) {
        file.SkipLine();
        ++counted;
    }
    file.Rewind();
    QList<QByteArray> lines;
    while (!file.AtEnd()) {
        lines << file.ReadLine();
    }
    // The counting pass and the reading pass agree.
    if (counted != lines.size()) {
        lines.prepend("count mismatch");
    }
    return lines;
}

}  // namespace

class UpdateFileTest : public QObject {
    Q_OBJECT
private slots:
    void lineEnds_data();
    void lineEnds();
    void openFailures_data();
    void openFailures();
    void records_data();
    void records();
};

void UpdateFileTest::lineEnds_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QList<QByteArray>>("lines");
    using L = QList<QByteArray>;
    QTest::newRow("empty file") << QByteArray() << L{};
    QTest::newRow("CR LF") << QByteArray("a\r\nb\r\n") << L{"a", "b"};
    QTest::newRow("CR alone") << QByteArray("a\rb\r") << L{"a", "b"};
    QTest::newRow("no terminator at the end") << QByteArray("a\r\nb") << L{"a", "b"};
    QTest::newRow("CR CR LF: an empty line") << QByteArray("a\r\r\nb") << L{"a", "", "b"};
    QTest::newRow("only terminators") << QByteArray("\r\n\r\n") << L{"", ""};
    // A CR as the last byte of one read and its LF as the first of the next is one
    // terminator; long lines span several reads.
    for (int first : {64 * 1024 - 1, 64 * 1024, 64 * 1024 + 1, 3 * 64 * 1024 + 7}) {
        const QByteArray a(first, 'a');
        QTest::addRow("CR LF after %d bytes", first) << a + "\r\nb\r\n" << L{a, "b"};
        QTest::addRow("CR after %d bytes", first) << a + "\rb" << L{a, "b"};
        QTest::addRow("CR CR LF after %d bytes", first) << a + "\r\r\n" << L{a, ""};
    }
}

void UpdateFileTest::lineEnds() {
    QFETCH(QByteArray, content);
    QFETCH(QList<QByteArray>, lines);
    QTemporaryDir dir;
    QCOMPARE(Lines(content, dir), lines);
}

void UpdateFileTest::openFailures_data() {
    // What is refused, and what the reason says besides the path.
    QTest::addColumn<QByteArray>("content");  // empty: the path is given by "path"
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");
    const QString lf = QStringLiteral("holds a line feed without carriage return: save the file with CR LF line ends");
    QTest::newRow("missing") << QByteArray() << "missing.upd" << "No such file";
    QTest::newRow("a folder") << QByteArray() << "." << "a folder, not a file";
    QTest::newRow("a named pipe") << QByteArray() << "fifo" << "not a regular file";
    QTest::newRow("LF line ends") << QByteArray("V1\n:D1\n") << "" << "line 1 " + lf;
    QTest::newRow("LF behind a CR LF") << QByteArray("V1\r\n:D1\r\n\n:D2\r\n") << "" << "line 3 " + lf;
    QTest::newRow("LF behind CR CR") << QByteArray("a\r\r\r\n\rb\nc") << "" << "line 5 " + lf;
    QTest::newRow("LF opening a later chunk")
        << QByteArray(64 * 1024, 'a') + "\nb" << "" << "line 1 " + lf;
    const QString nothing = QStringLiteral("holds no data lines (Intel HEX records)");
    QTest::newRow("empty") << QByteArray() << "empty.upd" << nothing;
    QTest::newRow("version and empty lines only") << QByteArray("V1\r\n\r\nV2\r") << "" << nothing;
}

void UpdateFileTest::openFailures() {
    QFETCH(QByteArray, content);
    QFETCH(QString, path);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    QVERIFY(::mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("fifo"))).constData(), 0600) == 0);
    QFile(dir.filePath(QStringLiteral("empty.upd"))).open(QIODevice::WriteOnly);
    const QString file = content.isEmpty() ? QDir(dir.path()).absoluteFilePath(path) : Write(content, dir);
    try {
        CheckUpdateFile(file);
        QFAIL("passed the check");
    } catch (const Failure& failure) {
        QVERIFY2(failure.reason().contains(file) && failure.reason().contains(reason), qPrintable(failure.reason()));
    }
}

void UpdateFileTest::records_data() {
    // What the check finds in the records: the facts of a sound file ("records data-bytes
    // ranges"), or the first fault and how many there are. Lines in the file count from 1,
    // the version line and empty lines included.
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("found");
    const QByteArray end = ":00000001FF\r\n";
    const QByteArray sound = "V1\r\n:020000040001F9\r\n:0400000001020304F2\r\n";
    const QString bad = QStringLiteral("Line 3 of the file is not a valid Intel HEX record: ");
    // clang-format off
    QTest::newRow("sound") << sound + end << "3 4 0x00010000-0x00010003";
    QTest::newRow("lower-case hex, version and empty lines after the end")
        << "V1\r\n:020000040001f9\r\n:0400000001020304f2\r\n" + end + "\r\nV2\r\n" << "3 4 0x00010000-0x00010003";
    QTest::newRow("a record past its 64 KiB window wraps inside it; a segment base")
        << ":02FFFF00AABB9B\r\n:020000021000EC\r\n:020010000506E3\r\n" + end
        << "4 4 0x00000000-0x00000000 0x0000FFFF-0x0000FFFF 0x00010010-0x00010011";
    QTest::newRow("no colon") << "V1\r\n\r\nD1\r\n" + end << bad + "it does not begin with \":\".";
    QTest::newRow("not hex") << "V1\r\n\r\n:04000G0001020304F2\r\n" + end << bad + "character 7 is \"G\", not a hex digit.";
    QTest::newRow("too short") << "V1\r\n\r\n:000001F\r\n" + end << bad + "it has 8 characters, and a record has at least 11.";
    QTest::newRow("count against length") << "V1\r\n\r\n:0500000001020304F2\r\n" + end
        << bad + "its byte count 05 makes a record of 21 characters, and it has 19.";
    QTest::newRow("checksum") << "V1\r\n\r\n:04000000010203043F\r\n" + end << bad + "its checksum is 3F, its bytes give F2.";
    QTest::newRow("unknown type") << "V1\r\n\r\n:00000006FA\r\n" + end << bad + "its record type 06 is none of 00 to 05.";
    QTest::newRow("end of file with data") << QByteArray("V1\r\n\r\n:0100000100FE\r\n") << bad + "a record of type 01 carries 0 data bytes, and it has 1 (2 faults in all).";
    QTest::newRow("a record after the end") << sound + end + end
        << "Line 5 of the file comes after the end-of-file record (line 4).";
    QTest::newRow("no end") << sound << "The file has no end-of-file record (:00000001FF): the bootloader would not know the update is over.";
    QTest::newRow("the sample") << ReadAll(QUORVEL_SAMPLES_DIR "/demo-firmware.upd") << "3002 48000 0x00010000-0x0001BB7F";
    // Built with Debian's AVR toolchain (its folder says how): 668 bytes from address 0.
    QTest::newRow("a real firmware") << ReadAll(QUORVEL_AVR_FIRMWARE_DIR "/logger.upd") << "44 668 0x00000000-0x0000029B";
    // clang-format on
}

void UpdateFileTest::records() {
    QFETCH(QByteArray, content);
    QFETCH(QString, found);
    QTemporaryDir dir;
    const UpdateFileFacts facts = CheckUpdateFile(Write(content, dir));
    QString got = FaultSummary(facts);
    if (got.isEmpty()) {
        got = QStringLiteral("%1 %2").arg(facts.records).arg(facts.dataBytes);
        for (const AddressRange& r : facts.ranges) {
            got += ' ' + RangeText(r);
        }
    }
    QCOMPARE(got, found);
    QCOMPARE(facts.size, qint64(content.size()));
}

QTEST_GUILESS_MAIN(UpdateFileTest)
#include "test_update_file.moc"
