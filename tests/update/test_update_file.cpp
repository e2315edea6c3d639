// The update file reader: line ends, kinds of line, the counting pass and rewinding, across
// the reader's internal chunks.

#include "failure.h"
#include "file_check.h"
#include "update_file.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

QString Write(const QByteArray& content, QTemporaryDir& dir) {
    const QString path = dir.filePath(QStringLiteral("f.upd"));
    QFile out(path);
    out.open(QIODevice::WriteOnly);
    out.write(content);
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
    QTest::newRow("a device that never ends") << QByteArray() << "/dev/zero" << "not a regular file";
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
    UpdateFile update;
    update.Close();  // closing what is not open does nothing
}

QTEST_GUILESS_MAIN(UpdateFileTest)
#include "test_update_file.moc"
