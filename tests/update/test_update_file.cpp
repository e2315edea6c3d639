// The update file reader: line ends, kinds of line, the counting pass and rewinding, across
// the reader's internal chunks.

#include "failure.h"
#include "update_file.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

QList<QByteArray> Lines(const QByteArray& content, QTemporaryDir& dir) {
    const QString path = dir.filePath(QStringLiteral("f.upd"));
    QFile out(path);
    out.open(QIODevice::WriteOnly);
    out.write(content);
    out.close();
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
    void terminatorAcrossChunks();
    void kinds();
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
    QTest::newRow("LF only: one line") << QByteArray("a\nb\n") << L{"a\nb\n"};
    QTest::newRow("CR CR LF: an empty line") << QByteArray("a\r\r\nb") << L{"a", "", "b"};
    QTest::newRow("LF after CR LF stays") << QByteArray("a\r\n\nb") << L{"a", "\nb"};
    QTest::newRow("only terminators") << QByteArray("\r\n\r\n") << L{"", ""};
    QTest::newRow("bytes kept as they are")
        << QByteArray("\x00\xff\x80:\x1a\r\n", 7) << L{QByteArray("\x00\xff\x80:\x1a", 5)};
}

void UpdateFileTest::lineEnds() {
    QFETCH(QByteArray, content);
    QFETCH(QList<QByteArray>, lines);
    QTemporaryDir dir;
    QCOMPARE(Lines(content, dir), lines);
}

void UpdateFileTest::terminatorAcrossChunks() {
    // A CR as the last byte of one read and its LF as the first of the next is one
    // terminator; long lines span several reads.
    QTemporaryDir dir;
    for (int first : {64 * 1024 - 1, 64 * 1024, 64 * 1024 + 1, 3 * 64 * 1024 + 7}) {
        const QByteArray a(first, 'a');
        QCOMPARE(Lines(a + "\r\nb\r\n", dir), (QList<QByteArray>{a, "b"}));
        QCOMPARE(Lines(a + "\rb", dir), (QList<QByteArray>{a, "b"}));
        QCOMPARE(Lines(a + "\r\r\n", dir), (QList<QByteArray>{a, ""}));
    }
}

void UpdateFileTest::kinds() {
    QCOMPARE(KindOfLine(""), LineKind::Empty);
    QCOMPARE(KindOfLine("V2.10"), LineKind::Version);
    QCOMPARE(KindOfLine("v2.10"), LineKind::Data);
    QCOMPARE(KindOfLine(" V2.10"), LineKind::Data);
    QCOMPARE(KindOfLine(":10000000"), LineKind::Data);
}

void UpdateFileTest::openFailures() {
    QTemporaryDir dir;
    UpdateFile file;
    QVERIFY_THROWS_EXCEPTION(Failure, file.Open(dir.filePath(QStringLiteral("missing.upd"))));
    QVERIFY_THROWS_EXCEPTION(Failure, file.Open(dir.path()));
    QVERIFY(!file.IsOpen());
    file.Close();  // closing what is not open does nothing
}

QTEST_GUILESS_MAIN(UpdateFileTest)
#include "test_update_file.moc"
