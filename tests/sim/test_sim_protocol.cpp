// The bootloader's side of the protocol in virtual time: a host's sends and the passing of
// time go in, what the bootloader writes and when comes out. No line, and no sleeping.

#include "command_line.h"
#include "protocol.h"
#include "trace.h"

#include <QtTest>

using namespace bootsim;
using std::chrono::milliseconds;

namespace {

constexpr char kNoiseBytes[] = "abcdefghijklmnopqrstuwxyz*!+=;<>_\x00\x7F\xFF";
constexpr std::string_view kNoise(kNoiseBytes, sizeof kNoiseBytes - 1);

std::string Sample() {
    std::string text;
    ReadFile(QUORVEL_SAMPLES_DIR "/demo-firmware.upd", text);
    return text;
}

// Runs the protocol as the simulator's thread does, on a line that is never slow: at each
// deadline it ticks and writes everything due.
struct Device : ProtocolEvents {
    explicit Device(const QString& args) : opt(Parse(args)), protocol(opt, *this) {
        protocol.Start(now);
    }
    static Options Parse(const QString& args) {
        std::vector<std::string> argv;
        for (const QString& a : args.split(' ', Qt::SkipEmptyParts)) {
            argv.push_back(a.toStdString());
        }
        return ParseArgs(argv).sim;
    }
    void HungUp(TimePoint) override { hungUp = true; }

    // Advances to `until` and returns what went out on the way, piece by piece.
    std::vector<std::string> Run(TimePoint until) {
        std::vector<std::string> out;
        for (;;) {
            protocol.Tick(now);
            while (!protocol.Held() && !protocol.Outbox().empty()) {
                out.push_back(protocol.Outbox().front().bytes);
                protocol.Written(out.back().size(), now);
            }
            const TimePoint next = protocol.NextDeadline();
            if (next > until) {
                break;
            }
            now = std::max(now, next);
        }
        now = until;
        return out;
    }
    std::vector<std::string> Send(const std::string& bytes) {
        protocol.Feed(bytes, now);
        return Run(now);
    }

    Options opt;
    Protocol protocol;
    TimePoint now{};
    bool hungUp = false;
};

}  // namespace

class ProtocolTest : public QObject {
    Q_OBJECT
private slots:
    void habits_data();
    void habits();
    void wholeUpdate();
};

void ProtocolTest::habits_data() {
    QTest::addColumn<QString>("options");  // as the command takes them
    // ^ a restart, ? a ready request, 1 2 3 the sample's data lines, E its end, G stray
    // bytes, :... a record as it stands, +MS time passing.
    QTest::addColumn<QString>("host");
    // What each step brings: the pieces written, comma-separated, or _ for none; V for the
    // version record, n for noise. Then the loader's state.
    QTest::addColumn<QString>("bootloader");

    // clang-format off
    QTest::newRow("an update") << "" << "^ ? 1 2 E" << "^ V ~ ~ @# idle";
    QTest::newRow("a damaged line, then accepted") << "--fault checksum@2x2" << "^ ? 1 2 2 2 E" << "^ V ~ - - ~ @# idle";
    QTest::newRow("a bad checksum fails the update") << "" << "^ ? :0300300002337A1F E" << "^ V - # idle";
    QTest::newRow("a flash error fails it") << "--fault flash@2" << "^ ? 1 2 3 E" << "^ V ~ % ~ # idle";
    QTest::newRow("so does a line never answered") << "--fault silent@2x3" << "^ ? 1 2 2 2 3 E" << "^ V ~ _ _ _ ~ # idle";
    QTest::newRow("a naive loader cannot see it") << "--fault silent@2x3 --naive" << "^ ? 1 2 2 2 3 E" << "^ V ~ _ _ _ ~ @# idle";
    QTest::newRow("a fault of the second session only") << "--fault flash@2/2 --sessions 2"
        << "^ ? 1 2 E ^ ? 1 2 E" << "^ V ~ ~ @# ^ V ~ % # finished";
    QTest::newRow("a late answer holds back the one behind it") << "--fault late@2:300"
        << "^ ? 1 2 2 +300 3 E" << "^ V ~ _ _ ~,~ ~ @# idle";
    QTest::newRow("or lets it pass") << "--fault late@2:300 --late-overtakes" << "^ ? 1 2 3 +300 E" << "^ V ~ _ ~ ~ @# idle";
    QTest::newRow("XOFF before the answer, noise while held") << "--fault xoff@2:300 --fault noise@2"
        << "^ ? 1 2 +150 +150 3 E" << "^ V ~ \\x13 n ~\\x11 ~ @# idle";
    QTest::newRow("XOFF behind the answer, nothing until XON") << "--fault xoff-after@2:300"
        << "^ ? 1 2 3 +300 E" << "^ V ~ ~\\x13 _ \\x11,~ @# idle";
    QTest::newRow("a restart releases a held host") << "--fault xoff-after@2:5000" << "^ ? 1 2 ^"
        << "^ V ~ ~\\x13 \\x11,^ awaiting-ready";
    QTest::newRow("noise before the answer") << "--fault noise@1" << "^ ? 1" << "^ V n~ receiving";
    QTest::newRow("random faults spare the third send") << "--random-faults 1 --random-kinds checksum"
        << "^ ? 1 1 1 2" << "^ V - - ~ - receiving";
    QTest::newRow("no answer before the ready request") << "" << "^ 1 ? 1" << "^ _ V ~ receiving";
    QTest::newRow("restarts until a ready request, and after the session") << "--restart-every 30"
        << "+30 +30 ? +30 1 E +30" << "^ ^ V _ ~ @# ^ awaiting-ready";
    QTest::newRow("a ready request left unanswered") << "--silent-ready 1" << "^ ? ? 1" << "^ _ V ~ receiving";
    QTest::newRow("the version record in pieces") << "--split 2:40" << "^ ? +40 1" << "^ BOOT V1. 30|2.05? ~ receiving";
    QTest::newRow("stray bytes end when the line goes quiet") << "" << "^ ? G +29 +1 1" << "^ V _ _ - ~ receiving";
    QTest::newRow("a quiet session is given up") << "--session-timeout 1000 --restart-after 0"
        << "+0 ? 1 +999 +1" << "^ V ~ _ ^ awaiting-ready";
    QTest::newRow("the datalogger hangs up") << "--fault hangup@2" << "^ ? 1 2" << "^ V ~ _ hung-up";
    // clang-format on
}

void ProtocolTest::habits() {
    QFETCH(QString, options);
    QFETCH(QString, host);
    QFETCH(QString, bootloader);
    const std::vector<std::string> lines = UpdateDataLines(Sample());
    Device d(options);
    QStringList got;
    for (const QString& step : host.split(' ')) {
        std::vector<std::string> out;
        if (step == "^") {
            d.protocol.Restart(d.now);
            out = d.Run(d.now);
        } else if (step.startsWith('+')) {
            out = d.Run(d.now + milliseconds(step.mid(1).toInt()));
        } else {
            out = d.Send(step == "?"      ? std::string("@&$")
                         : step == "E"    ? lines.back()
                         : step == "G"    ? std::string("hello")
                         : step[0] == ':' ? step.toStdString()
                                          : lines[step.toUInt() - 1]);
        }
        QStringList pieces;
        for (std::string piece : out) {
            const std::size_t noise = piece.find_first_not_of(kNoise);
            if (noise != 0) {
                piece = "n" + piece.substr(std::min(noise, piece.size()));
            }
            pieces << (piece == "BOOT V1.30|2.05?" ? "V" : EscapeBytes(piece).c_str());
        }
        got << (pieces.isEmpty() ? "_" : pieces.join(','));
    }
    got << LoaderStateName(d.protocol.GetStats().state);
    QCOMPARE(got.join(' '), bootloader);
    QCOMPARE(d.hungUp, bootloader.endsWith("hung-up"));
}

// The whole sample, as a host that resends a refused line: the answers, the counters, the
// session's report and the flashed image.
void ProtocolTest::wholeUpdate() {
    const std::string text = Sample();
    const std::vector<std::string> lines = UpdateDataLines(text);
    Device d("--sessions 1 --fault checksum@3x2");
    SessionReport report;
    d.opt.on_session = [&](const SessionReport& r) { report = r; };
    d.protocol.Restart(d.now);
    QCOMPARE(d.Run(d.now), std::vector<std::string>{"^"});
    QCOMPARE(d.Send("@&$"), std::vector<std::string>{"BOOT V1.30|2.05?"});
    std::string replies;
    for (const std::string& line : lines) {
        do {
            const std::vector<std::string> out = d.Send(line);
            QCOMPARE(out.size(), std::size_t{1});
            replies += out[0];
        } while (replies.back() == '-');
    }
    QCOMPARE(replies, "~~--" + std::string(lines.size() - 3, '~') + "@#");
    MemoryImage want;
    QVERIFY(ImageOfUpdate(text, want));
    QVERIFY(d.protocol.LastImage() == want);
    QVERIFY(report.ok && report.number == 1 && report.lines == lines.size());
    const Stats s = d.protocol.GetStats();
    QCOMPARE(s.state, LoaderState::Finished);
    QCOMPARE(s.records, std::uint64_t{lines.size() + 2});
    QCOMPARE(s.checksum_errors, std::uint64_t{2});
    QCOMPARE(s.acks, std::uint64_t{lines.size() - 1});
}

// Spelled out rather than QTEST_APPLESS_MAIN, which clang's -Wpedantic rejects.
int main(int argc, char** argv) {
    ProtocolTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_sim_protocol.moc"
