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
    void habits_data();
    void habits();
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

void SessionTest::habits_data() {
    QTest::addColumn<QString>("habit");
    QTest::addColumn<std::string>("finalTokens");
    QTest::addColumn<QStringList>("fromLine2");  // the trace, lines by name, noise as "noise"
    QTest::newRow("XOFF before the answer, noise while held")
        << "xoff" << std::string("@#")
        << QStringList{"RX L2", "TX \\x13", "noise", "TX ~\\x11", "RX L3", "TX ~", "RX L4"};
    QTest::newRow("a late answer holds back the one behind it")
        << "late" << std::string("@#") << QStringList{"RX L2", "RX L2", "TX ~~", "RX L3", "TX ~"};
    QTest::newRow("no answer before the ready request")
        << "early record" << std::string("@#") << QStringList{};
    QTest::newRow("a missing line fails the update") << "missing" << std::string("#") << QStringList{};
    QTest::newRow("a naive loader cannot see it")
        << "missing, naive" << std::string("@#") << QStringList{};
    QTest::newRow("unread answers outlive the restarts")
        << "slow reader" << std::string("@#") << QStringList{};
}

// One short update each, with a habit a real bootloader may have.
void SessionTest::habits() {
    QFETCH(QString, habit);
    QFETCH(std::string, finalTokens);
    QFETCH(QStringList, fromLine2);
    std::string text;
    QVERIFY(bootsim::ReadFile(QUORVEL_SAMPLES_DIR "/demo-firmware.upd", text));
    const std::vector<std::string> all = bootsim::UpdateDataLines(text);
    const std::vector<std::string> lines = {all[0], all[1], all[2], all.back()};
    QTemporaryDir dir;
    bootsim::Options o;
    o.trace_path = dir.filePath("trace.txt").toStdString();
    o.restart_every_ms = 30;
    o.naive = habit.endsWith(QLatin1String("naive"));
    if (habit == QLatin1String("xoff")) {
        o.faults = {{FaultKind::Xoff, 2, 1, 300, 0}, {FaultKind::Noise, 2, 1, 0, 0}};
    } else if (habit == QLatin1String("late")) {
        o.faults = {{FaultKind::Late, 2, 1, 300, 0}};
    } else if (habit.startsWith(QLatin1String("missing"))) {
        o.faults = {{FaultKind::Silent, 2, 3, 0, 0}};
    }
    bootsim::Simulator sim(o);
    sim.Start();
    Host host(sim.DevicePath());
    QCOMPARE(host.ReadThrough('^').back(), '^');
    if (habit == QLatin1String("early record")) {
        host.Send(lines[0]);
    }
    host.Send("@&$");
    // Announcements nobody read may come first, but no answer to the early record.
    const std::string version = host.ReadThrough('?');
    QCOMPARE(version.substr(version.find_first_not_of('^')), std::string("BOOT V1.30|2.05?"));
    host.Send(lines[0]);
    QCOMPARE(host.Token(), '~');
    if (habit.startsWith(QLatin1String("missing"))) {
        for (int send = 0; send < 3; ++send) {
            host.Send(lines[1]);
            QCOMPARE(host.Token(100), char(0));
        }
    } else if (habit == QLatin1String("xoff")) {
        // The next line goes out behind the noise, and only the XON lets it through.
        host.Send(lines[1]);
        QVERIFY(host.AnyByte());
    } else {
        host.Send(lines[1]);
        if (habit == QLatin1String("late")) {
            host.Send(lines[1]);  // resent before the late answer came
            QCOMPARE(host.Token(), '~');
        }
        QCOMPARE(host.Token(), '~');
    }
    host.Send(lines[2]);
    if (habit == QLatin1String("xoff")) {
        QCOMPARE(host.Token(), '~');
    }
    QCOMPARE(host.Token(), '~');
    host.Send(lines[3]);
    QVERIFY(sim.WaitForSessions(1, std::chrono::milliseconds(kReplyMs)));
    if (habit == QLatin1String("slow reader")) {
        // The datalogger restarts again and again behind the final tokens.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    QCOMPARE(host.ReadThrough('#'), finalTokens);
    sim.Stop();

    QStringList trace;
    const char* names[] = {"L1", "L2", "L3", "L4"};
    for (const TraceLine& t : ReadTrace(o.trace_path)) {
        std::string what = t.what;
        if (what.rfind("RX ", 0) == 0) {
            // One read may hold two sends.
            for (std::size_t at = 3; at < what.size();) {
                std::size_t i = 0;
                while (i < lines.size() && what.compare(at, lines[i].size(), lines[i]) != 0) {
                    ++i;
                }
                trace << QStringLiteral("RX %1").arg(i < lines.size() ? names[i] : what.c_str() + at);
                at = i < lines.size() ? at + lines[i].size() : what.size();
            }
        } else {
            const bool noise = what.find_first_of("~@#^?") == std::string::npos &&
                               what.find("\\x1") == std::string::npos;
            trace << (noise ? QStringLiteral("noise") : QString::fromStdString(what));
        }
    }
    if (!fromLine2.isEmpty()) {
        QCOMPARE(trace.mid(trace.indexOf("RX L2"), fromLine2.size()), fromLine2);
    }
}

// Spelled out rather than QTEST_APPLESS_MAIN, which clang's -Wpedantic rejects.
int main(int argc, char** argv) {
    SessionTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_sim_session.moc"
