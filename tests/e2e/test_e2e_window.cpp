// Whole updates through the real window and the real serial layer, against the simulated
// bootloader on a pseudo-terminal. (Faults at every stage are the fault suite's.)

#include "window_rig.h"

#include <QTest>

class EndToEndTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void updates_data();
    void updates();
};

void EndToEndTest::updates_data() {
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<bool>("imageFlashed");
    QTest::newRow("the whole sample") << "clean" << QStringList{"0|Datalogger successfully updated."} << true;
    QTest::newRow("checksum error, accepted on the second send")
        << "checksum" << QStringList{"0|Datalogger successfully updated."} << true;
    QTest::newRow("flash error answered No")
        << "flash" << QStringList{"4|Error writing to flash at line 5. Continue with download?"} << false;
    QTest::newRow("old loader: a silent line passes, the bootloader reports the failure")
        << "old" << QStringList{"0|Error encountered while updating."} << false;
    QTest::newRow("silent bootloader") << "silent" << QStringList{"0|No response from Datalogger."} << false;
}

void EndToEndTest::updates() {
    QFETCH(QString, scenario);
    QFETCH(QStringList, boxes);
    QFETCH(bool, imageFlashed);
    bootsim::Options options;
    if (scenario == QLatin1String("checksum")) {
        options.faults = {{bootsim::FaultKind::Checksum, 10, 1}};
    } else if (scenario == QLatin1String("flash")) {
        options.faults = {{bootsim::FaultKind::Flash, 5, 1}};
    } else if (scenario == QLatin1String("old")) {
        options.loader_version = "1.20";
        options.faults = {{bootsim::FaultKind::Silent, 7, 1}};
    } else if (scenario == QLatin1String("silent")) {
        options.silent_ready_requests = 3;
    }
    Rig rig(options);
    rig.answers = {MsgBoxResult::No};
    QVERIFY(rig.Update());
    QCOMPARE(rig.boxes, boxes);
    QVERIFY(rig.Idle());
    QVERIFY(!rig.form->findChild<QLabel*>("Label14")->isVisible());

    const bootsim::Stats stats = rig.Stats();
    if (imageFlashed) {
        QVERIFY(rig.sim->WaitForSessions(1, std::chrono::seconds(5)));
        QVERIFY(rig.sim->LastImage() == ImageOf(kSample));
        QCOMPARE(rig.Label("Label16"), QStringLiteral("Loader version: 1.3"));
        QCOMPARE(rig.Label("Label17"), QStringLiteral("Old firmware version: 2.05"));
        QCOMPARE(rig.Label("Label18"), QStringLiteral("Update firmware version: V2.10"));
    }
    // Each line goes out once, but for the one refused for its checksum; an old loader gets
    // no resends at all.
    if (scenario == QLatin1String("checksum")) {
        QCOMPARE(stats.records, stats.lines + 1);
    } else if (scenario == QLatin1String("flash")) {
        QCOMPARE(stats.records, std::uint64_t(5));
    } else if (scenario == QLatin1String("old")) {
        QCOMPARE(rig.Label("Label16"), QStringLiteral("Loader version: 1.2"));
        QCOMPARE(stats.records, stats.lines);
    } else if (scenario == QLatin1String("silent")) {
        QCOMPARE(stats.ready_requests, std::uint64_t(3));
        QCOMPARE(stats.records, std::uint64_t(0));
    }
}

QTEST_MAIN(EndToEndTest)
#include "test_e2e_window.moc"
