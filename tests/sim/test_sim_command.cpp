// The command as people and scripts use it: its options, a whole update through its link,
// and a clean end on SIGTERM.

#include "sim_host.h"

#include <QProcess>
#include <QtTest>

using namespace simtest;

class CommandTest : public QObject {
    Q_OBJECT
private slots:
    void rejectsBadOptions_data();
    void rejectsBadOptions();
    void servesAnUpdateThroughItsLink();
    void endsCleanlyOnSigterm();
};

void CommandTest::rejectsBadOptions_data() {
    QTest::addColumn<QStringList>("args");
    QTest::newRow("unknown option") << QStringList{"--colour"};
    QTest::newRow("missing value") << QStringList{"--link"};
    QTest::newRow("unknown fault") << QStringList{"--fault", "smoke@3"};
    QTest::newRow("line 0") << QStringList{"--fault", "checksum@0"};
    QTest::newRow("count not a number") << QStringList{"--fault", "silent@3xtwo"};
    QTest::newRow("rate above 1") << QStringList{"--random-faults", "1.5"};
    QTest::newRow("loader version not a number") << QStringList{"--loader-version", "v1"};
    QTest::newRow("unknown part") << QStringList{"--omit", "loader,checksum"};
    QTest::newRow("value on a flag") << QStringList{"--pace=yes"};
    QTest::newRow("image-of without output") << QStringList{"--image-of", "x.upd"};
}

void CommandTest::rejectsBadOptions() {
    QFETCH(QStringList, args);
    QProcess p;
    p.start(BOOTLOADER_SIM_EXE, args);
    QVERIFY(p.waitForFinished(kReplyMs));
    QCOMPARE(p.exitCode(), 2);
    QVERIFY(p.readAllStandardError().contains("Try 'bootloader-sim --help'"));
    QVERIFY(p.readAllStandardOutput().isEmpty());
}

void CommandTest::servesAnUpdateThroughItsLink() {
    QTemporaryDir dir;
    const QString link = dir.filePath("com1");
    QProcess sim;
    sim.start(BOOTLOADER_SIM_EXE,
              {"--link", link, "--restart-every", "100", "--sessions", "1", "--linger", "0",
               "--quiet", "--fault", "checksum@4", "--image-hex", dir.filePath("got.hex")});
    QVERIFY(sim.waitForReadyRead(kReplyMs));
    const QByteArray device = sim.readLine().trimmed();
    QVERIFY(device.startsWith("/dev/"));
    QCOMPARE(QFileInfo(link).symLinkTarget(), QString::fromLatin1(device));

    std::string text;
    QVERIFY(bootsim::ReadFile(QUORVEL_SAMPLES_DIR "/demo-firmware.upd", text));
    const std::vector<std::string> lines = bootsim::UpdateDataLines(text);
    {
        Host host(link.toStdString());
        const Run run = Update(host, lines);
        QVERIFY(run.version.size() >= 16);
        QCOMPARE(run.version.substr(run.version.size() - 16), std::string("BOOT V1.30|2.05?"));
        std::vector<std::string> expected(lines.size() - 1, "~");
        expected[3] = "-~";
        QCOMPARE(run.replies, expected);
        QCOMPARE(run.finalTokens, std::string("@#"));
    }
    QVERIFY(sim.waitForFinished(kReplyMs));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink());

    QProcess convert;
    convert.start(BOOTLOADER_SIM_EXE, {"--image-of", QUORVEL_SAMPLES_DIR "/demo-firmware.upd",
                                       "--image-hex", dir.filePath("want.hex")});
    QVERIFY(convert.waitForFinished(kReplyMs));
    QCOMPARE(convert.exitCode(), 0);
    std::string got, want;
    QVERIFY(bootsim::ReadFile(dir.filePath("got.hex").toStdString(), got));
    QVERIFY(bootsim::ReadFile(dir.filePath("want.hex").toStdString(), want));
    QVERIFY(got == want);
}

void CommandTest::endsCleanlyOnSigterm() {
    QTemporaryDir dir;
    const QString link = dir.filePath("com1");
    QProcess sim;
    sim.start(BOOTLOADER_SIM_EXE, {"--link", link, "--quiet"});
    QVERIFY(sim.waitForReadyRead(kReplyMs));
    QVERIFY(QFileInfo(link).isSymLink());
    sim.terminate();
    QVERIFY(sim.waitForFinished(kReplyMs));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

// Spelled out rather than QTEST_APPLESS_MAIN, which clang's -Wpedantic rejects.
int main(int argc, char** argv) {
    CommandTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_sim_command.moc"
