// The simulator apart from its line: how it cuts the host's bytes into units and judges a
// record, the image records build, how its command reads its options, and the bootloader's
// answers in virtual time (a host's sends and the passing of time in, what it writes out).

#include "command_line.h"
#include "protocol.h"
#include "trace.h"

#include <QtTest>

using namespace bootsim;

namespace {

Command Parse(const QString& args) {
    std::vector<std::string> argv;
    for (const QString& a : args.split(' ', Qt::SkipEmptyParts)) {
        argv.push_back(a.toStdString());
    }
    return ParseArgs(argv);
}

// What a host ignores: bytes that are no token and nothing of a version record.
constexpr std::string_view kNoise("abcdefghijklmnopqrstuwxyz*!+=;<>_\x00\x7F\xFF", 36);

}  // namespace

class ProtocolTest : public QObject {
    Q_OBJECT
private slots:
    void frames_data();
    void frames();
    void image();
    void commandLine_data();
    void commandLine();
    void answers_data();
    void answers();
};

void ProtocolTest::frames_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("unit");  // "gap " when only a quiet line ends it
    // clang-format off
    QTest::newRow("lower-case hex") << QByteArray(":0300300002337a1e") << "ok 0";
    QTest::newRow("bad checksum") << QByteArray(":0300300002337A1F") << "checksum";
    QTest::newRow("bad hex in body") << QByteArray(":03003000023G7A1E") << "malformed";
    QTest::newRow("end of file with data") << QByteArray(":0100000100FE") << "malformed";
    QTest::newRow("unknown type") << QByteArray(":00000006FA") << "malformed";
    QTest::newRow("short record") << QByteArray(":0300300002") << "gap malformed";
    QTest::newRow("count not hex") << QByteArray(":ZZ00300002337A1E") << "gap malformed";
    QTest::newRow("garbage") << QByteArray("hello\r\n") << "gap garbage";
    QTest::newRow("ready request after noise") << QByteArray("x\x7f@&$") << "ready";
    // clang-format on
}

// Fed a byte at a time, as a slow line delivers it, a unit ends at its last byte, not
// before; fed twice over in one read, it ends at the same byte.
void ProtocolTest::frames() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, unit);
    Framer framer;
    Framer::Unit u = Framer::Unit::None;
    for (int i = 0; i < bytes.size(); ++i) {
        QCOMPARE(u, Framer::Unit::None);
        QCOMPARE(framer.Feed(std::string_view(bytes.constData() + i, 1), u), std::size_t{1});
    }
    QString got = u == Framer::Unit::None ? "gap " : "";
    u = got.isEmpty() ? u : framer.Flush();
    QVERIFY(!framer.Pending());
    Record r;
    const RecordCheck check = CheckRecord(framer.Text(), r);
    got += u == Framer::Unit::ReadyRequest     ? "ready"
           : u == Framer::Unit::Garbage        ? "garbage"
           : u == Framer::Unit::None           ? "none"
           : check == RecordCheck::Ok          ? QStringLiteral("ok %1").arg(r.type)
           : check == RecordCheck::BadChecksum ? "checksum"
                                               : "malformed";
    QCOMPARE(got, unit);
    QVERIFY(unit.startsWith("gap") ||
            Framer().Feed((bytes + bytes).toStdString(), u) == std::size_t(bytes.size()));
}

// The lines an update file sends (CR or CR LF ends them, not a lone LF; V and empty lines
// are not sent) and the image they flash: 02 and 04 records move the base, a record right
// before or behind written bytes makes one run with them, and a record running past its
// 64 KiB window wraps inside it.
void ProtocolTest::image() {
    MemoryImage image;
    const char* file =
        "V1\r\n:020000021000EC\r:02000200414279\r\n:010001005AA4\r\n:0100040043B8\r\n\r\n"
        ":020000040002F8\r:03FFFF0078797A94\r\n:00000001FF";
    QVERIFY(ImageOfUpdate(file, image));
    QString ranges;
    for (const MemoryImage::Range& r : image.Ranges()) {
        ranges += QString::number(r.begin, 16) + ':' +
                  std::string(r.bytes.begin(), r.bytes.end()).c_str() + ' ';
    }
    QCOMPARE(ranges, "10001:ZABC 20000:yz 2ffff:x ");
    QVERIFY(!ImageOfUpdate(":020000021000EC\n:02000200AABB97\r\n", image));

    std::string sample;  // the committed sample is the generator's
    QVERIFY(ReadFile(QUORVEL_SAMPLES_DIR "/demo-firmware.upd", sample));
    QCOMPARE(sample, MakeSampleUpdate(3000));

    // Firmware as a compiler and objcopy lay it out: every data line is a record the
    // bootloader takes (ImageOfUpdate checks each with CheckRecord), and together they flash
    // the raw binary objcopy made, as one run from address 0.
    std::string firmware, binary;
    QVERIFY(ReadFile(QUORVEL_AVR_FIRMWARE_DIR "/logger.upd", firmware) &&
            ReadFile(QUORVEL_AVR_FIRMWARE_DIR "/logger.bin", binary) &&
            ImageOfUpdate(firmware, image));
    const std::vector<MemoryImage::Range> runs = image.Ranges();
    QCOMPARE(runs.size(), std::size_t{1});
    QVERIFY(runs[0].begin == 0 &&
            std::string(runs[0].bytes.begin(), runs[0].bytes.end()) == binary);
}

void ProtocolTest::commandLine_data() {
    QTest::addColumn<QString>("args");
    QTest::addColumn<QString>("parsed");  // line x count : ms / session, ...; or "error"
    // clang-format off
    QTest::newRow("every field decimal, leading zeros and all") << "--fault late@010x08:0350/09 --fault xoff@7" << "10x8:350/9 7x1:0/0";
    QTest::newRow("no hex line") << "--fault silent@0x1A" << "error";
    QTest::newRow("no sign") << "--fault silent@+3" << "error";
    QTest::newRow("empty count") << "--fault silent@3x" << "error";
    QTest::newRow("hex address") << "--image-base 0x010000" << "base 65536";
    QTest::newRow("weighed kinds") << "--random-kinds stray*3,restart-erase" << "stray stray stray restart-erase";
    QTest::newRow("no weight of 0") << "--random-kinds restart*0" << "error";
    // clang-format on
}

void ProtocolTest::commandLine() {
    QFETCH(QString, args);
    QFETCH(QString, parsed);
    QString got;
    try {
        const Command c = Parse(args);
        got = c.image_base_set ? QStringLiteral("base %1 ").arg(c.image_base) : "";
        for (std::size_t i = 0; args.startsWith("--random-kinds") && i < c.sim.random_kinds.size();
             ++i) {
            got += FaultKindName(c.sim.random_kinds[i]) + QString(' ');
        }
        for (const Fault& f : c.sim.faults) {
            got += QStringLiteral("%1x%2:%3/%4 ").arg(f.line).arg(f.count).arg(f.ms).arg(f.session);
        }
    } catch (const UsageError&) {
        got = "error";
    }
    QCOMPARE(got.trimmed(), parsed);
}

void ProtocolTest::answers_data() {
    QTest::addColumn<QString>("options");  // as the command takes them
    // ^ a restart, ? a ready request, 1 2 3 the sample's data lines, E its end, G stray
    // bytes, :... a record as it stands, +MS time passing.
    QTest::addColumn<QString>("host");
    // What each step brings: the pieces written, comma-separated, or _ for none; V for the
    // version record, n for noise. Then the loader's state, the bytes of the last
    // session's image when it has any, and with --write-log the records it wrote.
    QTest::addColumn<QString>("bootloader");

    // clang-format off
    QTest::newRow("an update") << "" << "^ ? 1 2 E" << "^ V ~ ~ @# idle 16";
    QTest::newRow("a damaged line, then accepted") << "--fault checksum@2x2" << "^ ? 1 2 2 2 E" << "^ V ~ - - ~ @# idle 16";
    QTest::newRow("a bad checksum fails the update") << "" << "^ ? :0300300002337A1F E" << "^ V - # idle";
    QTest::newRow("a flash error fails it; noise before an answer") << "--fault flash@2 --fault noise@1" << "^ ? 1 2 3 E" << "^ V n~ % ~ # idle 16";
    QTest::newRow("so does a line never answered") << "--fault silent@2x3 --write-log w" << "^ ? 1 2 2 2 3 E" << "^ V ~ _ _ _ ~ # idle 16 log 1,3";
    QTest::newRow("nor one lost, though a stray '-' came later") << "--fault stray@2:100" << "^ ? 1 2 +100 3 E" << "^ V ~ _ - ~ # idle 16";
    QTest::newRow("a naive loader cannot see it") << "--fault silent@2x3 --naive" << "^ ? 1 2 2 2 3 E" << "^ V ~ _ _ _ ~ @# idle 16";
    QTest::newRow("a fault of the second session only") << "--fault flash@2/2 --sessions 2" << "^ ? 1 2 E ^ ? 1 2 E" << "^ V ~ ~ @# ^ V ~ % # finished";
    QTest::newRow("a late answer holds back the one behind it") << "--fault late@2:300 --write-log w" << "^ ? 1 2 2 +300 3 E" << "^ V ~ _ _ ~,~ ~ @# idle 32 log 1,2,2,3,E";
    QTest::newRow("a very late answer, long after the resends") << "--fault very-late@2" << "^ ? 1 2 2 2 3 +29999 +1" << "^ V ~ _ _ _ _ _ ~,~,~,~ receiving";
    QTest::newRow("random ones: from a third of the longest") << "--random-faults 1 --random-kinds very-late --very-late-ms 30 --late-overtakes" << "^ ? 1 1 2 2 +9 +21" << "^ V _ _ _ _ _ ~,~,~,~ receiving";
    QTest::newRow("or lets it pass") << "--fault late@2:300 --late-overtakes" << "^ ? 1 2 3 +300 E" << "^ V ~ _ ~ ~ @# idle 32";
    QTest::newRow("XOFF before the answer, noise while held") << "--fault xoff@2:300 --fault noise@2" << "^ ? 1 2 +150 +150 3 E" << "^ V ~ \\x13 n ~\\x11 ~ @# idle 32";
    QTest::newRow("XOFF behind the answer, nothing until XON") << "--fault xoff-after@2:5000" << "^ ? 1 2 3 +4999 +1 E" << "^ V ~ ~\\x13 _ _ \\x11,~ @# idle 32";
    QTest::newRow("random holds as long as --xoff-ms says") << "--random-faults 1 --random-kinds xoff-after --xoff-ms 1" << "^ ? 1 +1" << "^ V ~\\x13 \\x11 receiving";
    QTest::newRow("a restart releases a held host, and leaves flash as it was") << "--fault xoff-after@2:5000" << "^ ? 1 2 ^" << "^ V ~ ~\\x13 \\x11,^ awaiting-ready 16";
    QTest::newRow("a restart instead of an answer: flash keeps what it wrote") << "--fault restart@3 --write-log w" << "^ ? 1 2 3 3" << "^ V ~ ~ ^ _ awaiting-ready 16 log 1,2";
    QTest::newRow("or was erased as the loader started") << "--fault restart-erase@3 --write-log w" << "^ ? 1 2 3" << "^ V ~ ~ ^ awaiting-ready log 1,2";
    QTest::newRow("answers sent twice") << "--fault duplicate@2 --fault duplicate@4" << "^ ? 1 2 3 E" << "^ V ~ ~~ ~ @#@# idle 32";
    QTest::newRow("random faults spare the third send") << "--random-faults 1 --random-kinds checksum" << "^ ? 1 1 1 2" << "^ V - - ~ - receiving";
    QTest::newRow("no answer before the ready request") << "" << "^ 1 ? 1" << "^ _ V ~ receiving";
    QTest::newRow("restarts until a ready request, and after the session") << "--restart-every 30" << "+30 +30 ? +30 1 E +30" << "^ ^ V _ ~ @# ^ awaiting-ready";
    QTest::newRow("a ready request left unanswered") << "--silent-ready 1" << "^ ? ? 1" << "^ _ V ~ receiving";
    QTest::newRow("the version record in pieces") << "--split 2:40" << "^ ? +40 1" << "^ BOOT V1. 30|2.05? ~ receiving";
    QTest::newRow("no versions") << "--no-version" << "^ ?" << "^ BOOT ? receiving";
    QTest::newRow("an old loader, parts left out") << "--old-loader --omit firmware,ready --version-prefix X" << "^ ?" << "^ XV1.20 receiving";
    QTest::newRow("stray bytes end when the line goes quiet") << "" << "^ ? G +29 +1 1" << "^ V _ _ - ~ receiving";
    QTest::newRow("a quiet session is given up") << "--session-timeout 1000 --restart-after 0 --write-log w" << "+0 ? 1 +999 +1" << "^ V ~ _ ^ awaiting-ready log 1";
    QTest::newRow("the datalogger hangs up") << "--fault hangup@2" << "^ ? 1 2" << "^ V ~ _ hung-up";
    // clang-format on
}

// Runs the protocol as the simulator's thread does, on a line that is never slow: at each
// deadline, and at the end of each step, it ticks and writes everything due.
void ProtocolTest::answers() {
    QFETCH(QString, options);
    QFETCH(QString, host);
    QFETCH(QString, bootloader);
    const std::vector<std::string> lines =
        UpdateDataLines(MakeSampleUpdate(2));  // 04, data, data, end
    Options opt = Parse(options).sim;
    QStringList writes;  // each as the host step that sent it
    opt.on_session = [&](const SessionReport& r) {
        writes.clear();
        for (std::size_t i = 0; r.writes && i < r.writes->size(); ++i) {
            const auto n = std::find(lines.begin(), lines.end(), (*r.writes)[i]) - lines.begin();
            writes << (n + 1 == long(lines.size()) ? QString("E") : QString::number(n + 1));
        }
    };
    ProtocolEvents events;
    Protocol p(opt, events);
    TimePoint now{};
    p.Start(now);
    QStringList got;
    for (const QString& step : host.split(' ')) {
        const TimePoint until =
            now + std::chrono::milliseconds(step.startsWith('+') ? step.mid(1).toInt() : 0);
        if (step == "^") {
            p.Restart(now);
        } else if (!step.startsWith('+')) {
            p.Feed(step == "?"      ? std::string("@&$")
                   : step == "E"    ? lines.back()
                   : step == "G"    ? std::string("hello")
                   : step[0] == ':' ? step.toStdString()
                                    : lines[step.toUInt() - 1],
                   now);
        }
        QStringList pieces;
        for (bool more = true; more; now = std::min(std::max(now, p.NextDeadline()), until)) {
            p.Tick(now);
            for (; !p.Held() && !p.Outbox().empty();
                 p.Written(p.Outbox().front().bytes.size(), now)) {
                const std::string& b = p.Outbox().front().bytes;
                const std::size_t clean = std::min(b.find_first_not_of(kNoise), b.size());
                const std::string piece = (clean > 0 ? "n" : "") + EscapeBytes(b.substr(clean));
                pieces << (piece == "BOOT V1.30|2.05?" ? "V" : piece.c_str());
            }
            more = now < until || p.NextDeadline() <= until;
        }
        got << (pieces.isEmpty() ? "_" : pieces.join(','));
    }
    got << LoaderStateName(p.GetStats().state);
    if (!p.LastImage().Empty()) {
        got << QString::number(p.LastImage().Size());
    }
    if (!opt.write_log_path.empty()) {
        got << "log" << writes.join(',');
    }
    QCOMPARE(got.join(' ').trimmed(), bootloader);
}

// Spelled out rather than QTEST_APPLESS_MAIN, which clang's -Wpedantic rejects.
int main(int argc, char** argv) {
    ProtocolTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_sim_protocol.moc"
