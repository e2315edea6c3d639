// The simulator's reading of the line: how it cuts an unterminated stream into records and
// requests, how it judges a record, and the image the records build; and how its command
// reads its options.

#include "command_line.h"
#include "intel_hex.h"

#include <QtTest>

using bootsim::Framer;
using bootsim::RecordCheck;

Q_DECLARE_METATYPE(Framer::Unit)
Q_DECLARE_METATYPE(RecordCheck)

class FramingTest : public QObject {
    Q_OBJECT
private slots:
    void frames_data();
    void frames();
    void buildsImage();
    void updateLines_data();
    void updateLines();
    void committedSampleIsTheGeneratorsOutput();
    void commandLine_data();
    void commandLine();
};

void FramingTest::frames_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Framer::Unit>("unit");
    QTest::addColumn<bool>("needsIdleGap");
    QTest::addColumn<RecordCheck>("check");
    QTest::addColumn<int>("type");

    using U = Framer::Unit;
    QTest::newRow("data record") << QByteArray(":0300300002337A1E") << U::Record << false
                                 << RecordCheck::Ok << 0;
    QTest::newRow("lower-case hex")
        << QByteArray(":0300300002337a1e") << U::Record << false << RecordCheck::Ok << 0;
    QTest::newRow("bad checksum") << QByteArray(":0300300002337A1F") << U::Record << false
                                  << RecordCheck::BadChecksum << 0;
    QTest::newRow("bad hex in body")
        << QByteArray(":03003000023G7A1E") << U::Record << false << RecordCheck::Malformed << 0;
    QTest::newRow("short record ends on idle gap")
        << QByteArray(":0300300002") << U::Record << true << RecordCheck::Malformed << 0;
    QTest::newRow("count not hex ends on idle gap")
        << QByteArray(":ZZ00300002337A1E") << U::Record << true << RecordCheck::Malformed << 0;
    QTest::newRow("garbage") << QByteArray("hello\r\n") << U::Garbage << true
                             << RecordCheck::Malformed << 0;
    QTest::newRow("end of file") << QByteArray(":00000001FF") << U::Record << false
                                 << RecordCheck::Ok << 1;
    QTest::newRow("end of file with data")
        << QByteArray(":0100000100FE") << U::Record << false << RecordCheck::Malformed << 1;
    QTest::newRow("extended segment address")
        << QByteArray(":020000021200EA") << U::Record << false << RecordCheck::Ok << 2;
    QTest::newRow("extended linear address")
        << QByteArray(":020000040001F9") << U::Record << false << RecordCheck::Ok << 4;
    QTest::newRow("unknown type") << QByteArray(":00000006FA") << U::Record << false
                                  << RecordCheck::Malformed << 6;
    QTest::newRow("ready request after noise")
        << QByteArray("x\x7f@&$") << U::ReadyRequest << false << RecordCheck::Malformed << 0;
}

// Each input is fed one byte at a time, the way a slow line delivers it: a unit must end at
// its last byte, not before, and not only when more bytes follow.
void FramingTest::frames() {
    QFETCH(QByteArray, bytes);
    QFETCH(Framer::Unit, unit);
    QFETCH(bool, needsIdleGap);
    QFETCH(RecordCheck, check);
    QFETCH(int, type);

    Framer framer;
    Framer::Unit got = Framer::Unit::None;
    for (int i = 0; i < bytes.size(); ++i) {
        QCOMPARE(got, Framer::Unit::None);
        QCOMPARE(framer.Feed(std::string_view(bytes.constData() + i, 1), got), std::size_t{1});
    }
    if (needsIdleGap) {
        QCOMPARE(got, Framer::Unit::None);
        QVERIFY(framer.Pending());
        got = framer.Flush();
    }
    QCOMPARE(got, unit);
    QVERIFY(!framer.Pending());
    if (unit == Framer::Unit::Record) {
        QCOMPARE(framer.Text(), std::string_view(bytes.constData(), bytes.size()));
        bootsim::Record record;
        QCOMPARE(bootsim::CheckRecord(framer.Text(), record), check);
        if (check == RecordCheck::Ok) {
            QCOMPARE(int(record.type), type);
        }
    }
}

void FramingTest::buildsImage() {
    // Records in one read are cut apart where their counts say; the 02 and 04 records move
    // the base, and a record running past a 64 KiB window wraps inside it.
    const std::string stream =
        ":020000021000EC"    // segment 0x1000: base 0x10000
        ":02000200AABB97"    // 0x10002..3
        ":020000040002F8"    // linear 0x0002: base 0x20000
        ":03FFFF00010203F9"  // 0x2FFFF, then 0x20000..1 (wrapped)
        ":00000001FF";
    bootsim::MemoryImage image;
    bootsim::ImageBuilder builder(image);
    Framer framer;
    std::string_view rest = stream;
    int records = 0;
    while (!rest.empty()) {
        Framer::Unit unit;
        rest.remove_prefix(framer.Feed(rest, unit));
        QCOMPARE(unit, Framer::Unit::Record);
        bootsim::Record record;
        QCOMPARE(bootsim::CheckRecord(framer.Text(), record), RecordCheck::Ok);
        builder.Apply(record);
        ++records;
    }
    QCOMPARE(records, 5);
    QCOMPARE(image.Size(), std::size_t{5});
    QCOMPARE(image.At(0x10002), std::uint8_t{0xAA});
    QCOMPARE(image.At(0x10003), std::uint8_t{0xBB});
    QCOMPARE(image.At(0x2FFFF), std::uint8_t{0x01});
    QCOMPARE(image.At(0x20000), std::uint8_t{0x02});
    QCOMPARE(image.At(0x20001), std::uint8_t{0x03});
    QVERIFY(!image.Has(0x30000));

    std::string bin;
    QVERIFY(!image.ToBinary(0x10003, bin));
    QVERIFY(image.ToBinary(0x10002, bin));
    QCOMPARE(bin.size(), std::size_t{0x2FFFF - 0x10002 + 1});
    QCOMPARE(std::uint8_t(bin[2]), std::uint8_t{0xFF});  // a gap reads as erased flash
}

void FramingTest::updateLines_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArrayList>("lines");
    QTest::newRow("CR LF, V line and empty lines left out")
        << QByteArray("V1\r\n:A\r\n\r\n:B\r\n") << QByteArrayList{":A", ":B"};
    QTest::newRow("CR alone, no end at the last line")
        << QByteArray(":A\r:B") << QByteArrayList{":A", ":B"};
    QTest::newRow("a lone LF stays in its line")
        << QByteArray(":A\n:B\r\n\n:C\r") << QByteArrayList{":A\n:B", "\n:C"};
}

// The lines the simulator's image is computed from are the lines the program sends.
void FramingTest::updateLines() {
    QFETCH(QByteArray, file);
    QFETCH(QByteArrayList, lines);
    QByteArrayList got;
    for (const std::string& l : bootsim::UpdateDataLines(file.toStdString())) {
        got << QByteArray::fromStdString(l);
    }
    QCOMPARE(got, lines);
}

void FramingTest::committedSampleIsTheGeneratorsOutput() {
    std::string sample;
    QVERIFY(bootsim::ReadFile(QUORVEL_SAMPLES_DIR "/demo-firmware.upd", sample));
    QCOMPARE(sample, bootsim::MakeSampleUpdate(3000));
    bootsim::MemoryImage image;
    QVERIFY(bootsim::ImageOfUpdate(sample, image));
    QCOMPARE(image.Size(), std::size_t{3000 * 16});
}

void FramingTest::commandLine_data() {
    QTest::addColumn<QString>("args");
    QTest::addColumn<QString>("parsed");  // line x count : ms / session, ...; or "error"
    QTest::newRow("leading zero is decimal") << "--fault checksum@09" << "9x1:0/0";
    QTest::newRow("every part decimal")
        << "--fault late@010x08:0350/09 --fault xoff@7" << "10x8:350/9 7x1:0/0";
    QTest::newRow("no hex line") << "--fault silent@0x1A" << "error";
    QTest::newRow("no sign") << "--fault silent@+3" << "error";
    QTest::newRow("empty count") << "--fault silent@3x" << "error";
    QTest::newRow("seed with leading zero") << "--seed 010" << "seed 10";
    QTest::newRow("hex address") << "--image-base 0x010000" << "base 65536";
    QTest::newRow("decimal address") << "--image-base 010" << "base 10";
}

void FramingTest::commandLine() {
    QFETCH(QString, args);
    QFETCH(QString, parsed);
    std::vector<std::string> argv;
    for (const QString& a : args.split(' ')) {
        argv.push_back(a.toStdString());
    }
    QString got;
    try {
        const bootsim::Command c = bootsim::ParseArgs(argv);
        QStringList faults;
        for (const bootsim::Fault& f : c.sim.faults) {
            faults << QStringLiteral("%1x%2:%3/%4").arg(f.line).arg(f.count).arg(f.ms).arg(f.session);
        }
        got = !faults.isEmpty() ? faults.join(' ')
              : c.image_base_set ? QStringLiteral("base %1").arg(c.image_base)
                                 : QStringLiteral("seed %1").arg(c.sim.seed);
    } catch (const bootsim::UsageError&) {
        got = QStringLiteral("error");
    }
    QCOMPARE(got, parsed);
}

// Spelled out rather than QTEST_APPLESS_MAIN, which clang's -Wpedantic rejects.
int main(int argc, char** argv) {
    FramingTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_sim_framing.moc"
