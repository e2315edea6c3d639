// The simulator against a scripted host on the slave side: whole sessions with injected
// faults, what went over the line, and the flashed image.

#include "bootloader_sim.h"
#include "sim_host.h"

#include <QtTest>

#include <thread>

using namespace simtest;
using bootsim::FaultKind;


class SessionTest : public QObject {
    Q_OBJECT
private slots:
    void faultScript();
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

// Spelled out rather than QTEST_APPLESS_MAIN, which clang's -Wpedantic rejects.
int main(int argc, char** argv) {
    SessionTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_sim_session.moc"
