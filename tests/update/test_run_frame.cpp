// The frame of an update run: the path check, the busy and idle states, the port set-up,
// Cancel before the handshake, the failure regions and the closing of the port.

#include "fakes.h"

#include <QTest>

namespace {

const QString kBusy[] = {
    "Command1.Enabled=0", "Command3.Enabled=0", "Command6.Enabled=0", "Text1.Enabled=0",
    "Label2.Caption=",    "Command4.Visible=1", "Command4.Enabled=1", "Command4.ZOrder",
    "Command6.Visible=0", "Combo1.Enabled=0",
};
const QString kIdle[] = {
    "Label14.Visible=0", "Command6.Visible=1", "Command4.Visible=0", "Command1.Enabled=1",
    "Command3.Enabled=1", "Command6.Enabled=1", "Text1.Enabled=1",   "Label2.Caption=Idle",
    "Label14.Caption=",  "Combo1.Enabled=1",
};

QStringList Join(std::initializer_list<QStringList> parts) {
    QStringList all;
    for (const QStringList& p : parts) {
        all << p;
    }
    return all;
}
QStringList Busy() { return QStringList(std::begin(kBusy), std::end(kBusy)); }
QStringList Idle() { return QStringList(std::begin(kIdle), std::end(kIdle)); }

struct Rig : FakeRun {
    Rig() { window.text1 = QStringLiteral("/fw/logger.upd"); }
    // Presses Cancel while the given port operation runs.
    void CancelAt(const QString& op) {
        comm.onOp = [this, op](const QString& done) {
            if (done == op) {
                run.Command4_Click();
            }
        };
    }
};

}  // namespace

class RunFrameTest : public QObject {
    Q_OBJECT
private slots:
    void busyThenIdleInTheirStepOrder();
    void pathCheck_data();
    void pathCheck();
    void failureRegions_data();
    void failureRegions();
    void cancelBeforeTheHandshake_data();
    void cancelBeforeTheHandshake();
    void cancelIsClearedByTheNextRun();
};

void RunFrameTest::busyThenIdleInTheirStepOrder() {
    Rig rig;
    rig.CancelAt(QStringLiteral("PortOpen=1"));
    rig.run.RunUpdate();

    const QStringList cancelFlip = {"Command4.Enabled=0"};
    QCOMPARE(rig.window.log, Join({Busy(), {"Label2.Caption=Initializing the com port"},
                                   cancelFlip, Idle()}));
    QCOMPARE(rig.comm.log, QStringList({"Handshaking=1", "Settings=57600,n,8,1", "CommPort=1",
                                        "PortOpen=1", "PortOpen=0"}));
    // Cancel stays greyed out and the request stays set until the next run starts.
    QVERIFY(rig.vars.CancelRequested);
}

void RunFrameTest::pathCheck_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("refused");
    QTest::newRow("empty") << QString() << true;
    QTest::newRow("one character") << QStringLiteral("a") << true;
    QTest::newRow("two characters") << QStringLiteral("ab") << false;
}

void RunFrameTest::pathCheck() {
    QFETCH(QString, path);
    QFETCH(bool, refused);
    Rig rig;
    rig.window.text1 = path;
    rig.CancelAt(QStringLiteral("Settings=57600,n,8,1"));
    rig.run.RunUpdate();
    if (refused) {
        QCOMPARE(rig.window.boxes, QStringList({"0|Quorvel - V 1.0|Select Firmware Update File."}));
        QCOMPARE(rig.window.log,
                 QStringList({"MsgBox=Select Firmware Update File.", "Command1.SetFocus"}));
        QVERIFY(rig.comm.log.isEmpty());
    } else {
        QVERIFY(rig.window.boxes.isEmpty());
        QCOMPARE(rig.window.log.first(), QStringLiteral("Command1.Enabled=0"));
    }
}

void RunFrameTest::failureRegions_data() {
    QTest::addColumn<QString>("failingPortOp");
    QTest::addColumn<QString>("failingWindowChange");
    QTest::addColumn<int>("listIndex");
    QTest::addColumn<bool>("cancelInTheHandshake");
    QTest::addColumn<QString>("message");
    QTest::addColumn<RunOutcome>("outcome");
    const QString port = QStringLiteral("Error encountered while accessing the com port.");

    QTest::newRow("port missing or in use") << "PortOpen=1" << QString() << 0 << false << port << RunOutcome::PortFailure;
    QTest::newRow("no port chosen") << QString() << QString() << -1 << false << port << RunOutcome::PortFailure;
    QTest::newRow("line settings refused")
        << "Settings=57600,n,8,1" << QString() << 0 << false << port << RunOutcome::PortFailure;
    QTest::newRow("window update after the port opened")
        << QString() << "Label16.Caption=" << 0 << false << "Error encountered while downloading the firmware."
        << RunOutcome::DownloadFailure;
    // The port is closed first; only the window's return to idle can fail there.
    QTest::newRow("window update in the closing sequence")
        << QString() << "Label14.Visible=0" << 0 << true << "Error encountered while closing the com port."
        << RunOutcome::ClosingFailure;
}

void RunFrameTest::failureRegions() {
    QFETCH(QString, failingPortOp);
    QFETCH(QString, failingWindowChange);
    QFETCH(int, listIndex);
    QFETCH(bool, cancelInTheHandshake);
    QFETCH(QString, message);
    QFETCH(RunOutcome, outcome);

    Rig rig;
    rig.comm.failing << failingPortOp;
    rig.window.failOn = failingWindowChange;
    rig.window.listIndex = listIndex;
    if (cancelInTheHandshake) {
        rig.window.onYield = [&rig] { rig.run.Command4_Click(); };
    }
    rig.run.RunUpdate();

    QCOMPARE(rig.window.boxes, QStringList({"48|Quorvel - V 1.0|" + message}));
    // Below the message, the reason the failure carries.
    QVERIFY(!rig.run.LastFailureReason().isEmpty());
    QCOMPARE(rig.window.details, QStringList{rig.run.LastFailureReason()});
    QCOMPARE(rig.run.LastOutcome(), outcome);
    QCOMPARE(rig.comm.log.contains("PortOpen=0"), outcome != RunOutcome::PortFailure);
    QVERIFY(!rig.comm.PortOpen());
    if (outcome != RunOutcome::ClosingFailure) {
        QCOMPARE(rig.window.log.mid(rig.window.log.size() - Idle().size()), Idle());
    }
}

void RunFrameTest::cancelBeforeTheHandshake_data() {
    QTest::addColumn<QString>("cancelDuring");
    QTest::addColumn<QStringList>("portOps");
    QTest::newRow("step 5, before the port number")
        << "Settings=57600,n,8,1" << QStringList({"Handshaking=1", "Settings=57600,n,8,1"});
    QTest::newRow("step 8, after the open")
        << "PortOpen=1"
        << QStringList({"Handshaking=1", "Settings=57600,n,8,1", "CommPort=1", "PortOpen=1",
                        "PortOpen=0"});
}

void RunFrameTest::cancelBeforeTheHandshake() {
    QFETCH(QString, cancelDuring);
    QFETCH(QStringList, portOps);
    Rig rig;
    rig.CancelAt(cancelDuring);
    rig.run.RunUpdate();
    QCOMPARE(rig.comm.log, portOps);
    QVERIFY(rig.window.boxes.isEmpty());
    QVERIFY(!rig.window.log.contains("Label16.Visible=1"));
    QCOMPARE(rig.window.log.mid(rig.window.log.size() - Idle().size()), Idle());

    // A failure of the idle state after such a Cancel still belongs to the port region.
    Rig failing;
    failing.CancelAt(cancelDuring);
    failing.window.failOn = QStringLiteral("Label2.Caption=Idle");
    failing.run.RunUpdate();
    QCOMPARE(failing.window.boxes,
             QStringList({"48|Quorvel - V 1.0|Error encountered while accessing the com port."}));
}

void RunFrameTest::cancelIsClearedByTheNextRun() {
    Rig rig;
    rig.CancelAt(QStringLiteral("PortOpen=1"));
    rig.run.RunUpdate();
    QVERIFY(rig.vars.CancelRequested);
    rig.comm.log.clear();
    rig.comm.onOp = nullptr;
    rig.comm.failing << QStringLiteral("CommPort=1");
    rig.run.RunUpdate();
    // Cleared by the busy state: this run got as far as the port number.
    QVERIFY(!rig.vars.CancelRequested);
    QVERIFY(rig.comm.log.contains("CommPort=1"));
}

QTEST_GUILESS_MAIN(RunFrameTest)
#include "test_run_frame.moc"
