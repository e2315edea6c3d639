// The simulator against a scripted host on the slave side: whole sessions with injected
// faults, what went over the line, and the flashed image.

#include "bootloader_sim.h"
#include "sim_host.h"

#include <QtTest>

#include <thread>

using namespace simtest;
using bootsim::FaultKind;

Q_DECLARE_METATYPE(FaultKind)

class SessionTest : public QObject {
    Q_OBJECT
private slots:
    void faultScript();
    void lineFaults_data();
    void lineFaults();
};

void SessionTest::faultScript() {
    std::string text;
    QVERIFY(bootsim::ReadFile(QUORVEL_SAMPLES_DIR "/demo-firmware.upd", text));
    const std::vector<std::string> lines = bootsim::UpdateDataLines(text);
    QTemporaryDir dir;
    bootsim::Options o;
    o.trace_path = dir.filePath("trace.txt").toStdString();
    o.link_path = dir.filePath("com1").toStdString();
    o.sessions = 2;
    // Line 3 fails its first two sends in every session; line 5 cannot be flashed in the
    // first session only.
    o.faults = {{FaultKind::Checksum, 3, 2, 0, 0}, {FaultKind::Flash, 5, 1, 0, 1}};
    bootsim::Simulator sim(o);
    sim.Start();

    std::vector<std::string> expected(lines.size() - 1, "~");
    expected[2] = "--~";
    {
        // Session 1: the host carries on past the flash error, and the update fails.
        Host host(o.link_path);
        QVERIFY(host.IsOpen());
        sim.Restart();
        const Run run = Update(host, lines);
        QCOMPARE(run.restart, std::string("^"));
        QCOMPARE(run.version, std::string("BOOT V1.30|2.05?"));
        expected[4] = "%";
        QCOMPARE(run.replies, expected);
        QCOMPARE(run.finalTokens, std::string("#"));
        QVERIFY(sim.WaitForSessions(1, std::chrono::milliseconds(kReplyMs)));
        QVERIFY(!sim.GetStats().last_session_ok);
    }
    // The host's port is closed between runs; an idle simulator must not spin on the line.
    const std::uint64_t cpuBefore = sim.GetStats().cpu_us;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    QVERIFY(sim.GetStats().cpu_us - cpuBefore < 100000);
    {
        Host host(sim.DevicePath());
        sim.Restart();
        const Run run = Update(host, lines);
        expected[4] = "~";
        QCOMPARE(run.replies, expected);
        QCOMPARE(run.finalTokens, std::string("@#"));
        QVERIFY(sim.WaitForSessions(2, std::chrono::milliseconds(kReplyMs)));
    }
    bootsim::MemoryImage want;
    QVERIFY(bootsim::ImageOfUpdate(text, want));
    QVERIFY(sim.LastImage() == want);

    const bootsim::Stats s = sim.GetStats();
    QCOMPARE(s.state, bootsim::LoaderState::Finished);
    QCOMPARE(s.sessions_completed, std::uint64_t{2});
    QCOMPARE(s.sessions_ok, std::uint64_t{1});
    QCOMPARE(s.records, std::uint64_t{2 * (lines.size() + 2)});
    QCOMPARE(s.checksum_errors, std::uint64_t{4});
    QCOMPARE(s.flash_errors, std::uint64_t{1});
    sim.Stop();
    QVERIFY(!QFileInfo::exists(QString::fromStdString(o.link_path)));

    // The line as it was: each session opens with the restart and the handshake, and a
    // refused line comes again, exactly as it stands, until it is accepted.
    std::vector<std::string> trace;
    for (const TraceLine& t : ReadTrace(o.trace_path)) {
        trace.push_back(t.what);
    }
    const std::vector<std::string> opening = {"TX ^",
                                              "RX @&$",
                                              "TX BOOT V1.30|2.05?",
                                              "RX " + lines[0],
                                              "TX ~",
                                              "RX " + lines[1],
                                              "TX ~",
                                              "RX " + lines[2],
                                              "TX -",
                                              "RX " + lines[2],
                                              "TX -",
                                              "RX " + lines[2],
                                              "TX ~"};
    const std::size_t perSession = 2 * (lines.size() + 2) + 3;
    QCOMPARE(trace.size(), 2 * perSession);
    QVERIFY(std::equal(opening.begin(), opening.end(), trace.begin()));
    QVERIFY(std::equal(opening.begin(), opening.end(), trace.begin() + perSession));
    QCOMPARE(trace[perSession - 1], std::string("TX #"));
    QCOMPARE(trace.back(), std::string("TX @#"));
}

void SessionTest::lineFaults_data() {
    QTest::addColumn<FaultKind>("kind");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("ms");
    QTest::addColumn<QString>("replies");  // to line 2's sends; '_' is silence
    QTest::addColumn<QString>("final");
    QTest::addColumn<bool>("stray");    // non-token bytes reach the host
    QTest::addColumn<int>("minGapMs");  // from line 2's first arrival to the next line's
    QTest::addColumn<int>("replyMs");   // how long the host waits before it resends

    const int wait = kReplyMs;
    const int shortWait = 300;  // only where silence is the point
    QTest::newRow("checksum twice") << FaultKind::Checksum << 2 << 0 << "--~"
                                    << "@#" << false << 0 << wait;
    QTest::newRow("checksum thrice") << FaultKind::Checksum << 3 << 0 << "---"
                                     << "#" << false << 0 << wait;
    QTest::newRow("flash") << FaultKind::Flash << 1 << 0 << "%"
                           << "#" << false << 0 << wait;
    QTest::newRow("silent once") << FaultKind::Silent << 1 << 0 << "_~"
                                 << "@#" << false << 0 << shortWait;
    QTest::newRow("silent thrice") << FaultKind::Silent << 3 << 0 << "___"
                                   << "#" << false << 0 << shortWait;
    QTest::newRow("late") << FaultKind::Late << 1 << 150 << "~"
                          << "@#" << false << 150 << wait;
    QTest::newRow("noise") << FaultKind::Noise << 1 << 0 << "~"
                           << "@#" << true << 0 << wait;
    // The host's output stops on the XOFF, so its next line arrives only after the hold;
    // XOFF and XON themselves never reach the program.
    QTest::newRow("xoff") << FaultKind::Xoff << 1 << 150 << "~"
                          << "@#" << false << 150 << wait;
}

void SessionTest::lineFaults() {
    QFETCH(FaultKind, kind);
    QFETCH(int, count);
    QFETCH(int, ms);
    QFETCH(QString, replies);
    QFETCH(QString, final);
    QFETCH(bool, stray);
    QFETCH(int, minGapMs);
    QFETCH(int, replyMs);

    const std::vector<std::string> lines = bootsim::UpdateDataLines(bootsim::MakeSampleUpdate(3));
    QTemporaryDir dir;
    bootsim::Options o;
    o.trace_path = dir.filePath("trace.txt").toStdString();
    o.faults = {{kind, 2, count, ms, 0}};
    bootsim::Simulator sim(o);
    sim.Start();
    Host host(sim.DevicePath());
    sim.Restart();
    const Run run = Update(host, lines, replyMs);
    QCOMPARE(QString::fromStdString(run.replies[1]), replies);
    QCOMPARE(QString::fromStdString(run.finalTokens), final);
    QCOMPARE(!host.Stray().empty(), stray);
    QVERIFY(sim.WaitForSessions(1, std::chrono::milliseconds(kReplyMs)));
    sim.Stop();

    // Never shorter than the fault asks for; how much longer is the machine's business.
    long long line2 = -1, next = -1;
    for (const TraceLine& t : ReadTrace(o.trace_path)) {
        if (line2 < 0 && t.what == "RX " + lines[1]) {
            line2 = t.us;
        } else if (next < 0 && t.what == "RX " + lines[2]) {
            next = t.us;
        }
    }
    QVERIFY(line2 >= 0 && next > line2);
    QVERIFY(next - line2 >= minGapMs * 1000LL);
}

// Spelled out rather than QTEST_APPLESS_MAIN, which clang's -Wpedantic rejects.
int main(int argc, char** argv) {
    SessionTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_sim_session.moc"
