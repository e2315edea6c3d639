// The frame of an update run: the path check, the busy and idle states, the port set-up,
// Cancel before the handshake, the failure regions and the closing of the port.

#include "fakes.h"
#include "files.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

namespace {

// What the user can press during a run (only Cancel) and after it (all but Cancel).
const QStringList kBusy = {"Command1.Enabled=0", "Command3.Enabled=0", "Command6.Enabled=0",
                           "Text1.Enabled=0",    "Combo1.Enabled=0",   "Command6.Visible=0",
                           "Command4.Visible=1", "Command4.Enabled=1"};
const QStringList kIdle = {"Command1.Enabled=1", "Command3.Enabled=1", "Command6.Enabled=1",
                           "Text1.Enabled=1",    "Combo1.Enabled=1",   "Command6.Visible=1",
                           "Command4.Visible=0", "Label14.Visible=0",  "Label14.Caption=",
                           "Label2.Caption=Idle"};

// The entries of want that the window's state does not show.
QStringList Unmet(const RecordingWindow& window, const QStringList& want) {
    QStringList unmet;
    for (const QString& w : want) {
        if (window.state.value(w.section('=', 0, 0), QStringLiteral("unset")) != w.section('=', 1)) {
            unmet << w;
        }
    }
    return unmet;
}

struct Rig : FakeRun {
    // The file is read before the port is touched: the rig's files exist, in a folder of
    // their own that is the current one, so that a two-character path can name one.
    Rig() {
        QDir::setCurrent(dir.path());
        for (const char* name : {"ab", "logger.upd"}) {
            WriteFile(QString::fromLatin1(name), ":00000001FF\r\n");
        }
        window.text1 = QStringLiteral("logger.upd");
    }
    QTemporaryDir dir;
    // Presses Cancel while the given port operation runs, or in the handshake for "yield".
    void CancelAt(const QString& at) {
        if (at == QLatin1String("yield")) {
            window.onYield = [this] { run.Command4_Click(); };
            return;
        }
        comm.onOp = [this, at](const QString& op) {
            if (op == at) {
                busyWhenCancelled = Unmet(window, kBusy);
                run.Command4_Click();
            }
        };
    }
    QStringList busyWhenCancelled{"never"};
};

}  // namespace

class RunFrameTest : public QObject {
    Q_OBJECT
private slots:
    void pathRefused();
    void cancelBeforeTheHandshake_data();
    void cancelBeforeTheHandshake();
    void failureRegions_data();
    void failureRegions();
};

void RunFrameTest::pathRefused() {
    // One character is refused; the two-character path below is not.
    Rig rig;
    rig.window.text1 = QStringLiteral("a");
    rig.CancelAt(QStringLiteral("Settings=57600,n,8,1"));  // should the run start after all
    rig.run.RunUpdate();
    QCOMPARE(rig.window.boxes, QStringList({"0|Select Firmware Update File."}));
    QCOMPARE(rig.window.log, QStringList({"MsgBox=Select Firmware Update File.", "Command1.SetFocus"}));
    QVERIFY(rig.comm.log.isEmpty());
}

void RunFrameTest::cancelBeforeTheHandshake_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("cancelDuring");
    QTest::addColumn<QStringList>("portOps");
    QTest::newRow("step 5, before the port number; a two-character path")
        << "ab" << "Settings=57600,n,8,1" << QStringList({"Handshaking=1", "Settings=57600,n,8,1"});
    QTest::newRow("step 8, after the open")
        << "logger.upd" << "PortOpen=1"
        << QStringList({"Handshaking=1", "Settings=57600,n,8,1", "CommPort=1", "PortOpen=1", "PortOpen=0"});
}

void RunFrameTest::cancelBeforeTheHandshake() {
    QFETCH(QString, path);
    QFETCH(QString, cancelDuring);
    QFETCH(QStringList, portOps);
    Rig rig;
    rig.window.text1 = path;
    rig.CancelAt(cancelDuring);
    rig.run.RunUpdate();
    QCOMPARE(rig.busyWhenCancelled, QStringList());
    QCOMPARE(rig.comm.log, portOps);
    QVERIFY(rig.window.boxes.isEmpty());
    QVERIFY(!rig.window.state.contains("Label16.Visible"));
    // The idle state comes last; Cancel stays greyed out and the request stays set until
    // the next run starts.
    QCOMPARE(Unmet(rig.window, kIdle), QStringList());
    QCOMPARE(rig.window.log.last(), QStringLiteral("Combo1.Enabled=1"));
    QCOMPARE(rig.window.state["Command4.Enabled"], QStringLiteral("0"));
    QVERIFY(rig.vars.CancelRequested);
    // The next run's busy state clears the request: it gets as far as the port number.
    rig.comm.onOp = nullptr;
    rig.comm.failing << QStringLiteral("CommPort=1");
    rig.run.RunUpdate();
    QVERIFY(!rig.vars.CancelRequested);
    QCOMPARE(rig.comm.log.count("CommPort=1"), portOps.count("CommPort=1") + 1);
}

void RunFrameTest::failureRegions_data() {
    QTest::addColumn<QString>("failingPortOp");
    QTest::addColumn<QString>("failingWindowChange");
    QTest::addColumn<int>("listIndex");
    QTest::addColumn<QString>("cancelAt");
    QTest::addColumn<QString>("message");
    QTest::addColumn<RunOutcome>("outcome");
    const QString port = QStringLiteral("Error encountered while accessing the com port.");
    const QString idle = QStringLiteral("Label2.Caption=Idle");

    QTest::newRow("port missing or in use") << "PortOpen=1" << QString() << 0 << "" << port << RunOutcome::PortFailure;
    QTest::newRow("no port chosen") << QString() << QString() << -1 << "" << port << RunOutcome::PortFailure;
    QTest::newRow("line settings refused")
        << "Settings=57600,n,8,1" << QString() << 0 << "" << port << RunOutcome::PortFailure;
    // After a Cancel before the handshake, the idle state still belongs to the port region.
    QTest::newRow("idle state after Cancel at step 5")
        << QString() << idle << 0 << "Settings=57600,n,8,1" << port << RunOutcome::PortFailure;
    QTest::newRow("idle state after Cancel at step 8")
        << QString() << idle << 0 << "PortOpen=1" << port << RunOutcome::PortFailure;
    QTest::newRow("window update after the port opened")
        << QString() << "Label16.Caption=" << 0 << "" << "Error encountered while downloading the firmware."
        << RunOutcome::DownloadFailure;
    // The port is closed first; only the window's return to idle can fail there.
    QTest::newRow("window update in the closing sequence")
        << QString() << "Label14.Visible=0" << 0 << "yield" << "Error encountered while closing the com port."
        << RunOutcome::ClosingFailure;
}

void RunFrameTest::failureRegions() {
    QFETCH(QString, failingPortOp);
    QFETCH(QString, failingWindowChange);
    QFETCH(int, listIndex);
    QFETCH(QString, cancelAt);
    QFETCH(QString, message);
    QFETCH(RunOutcome, outcome);

    Rig rig;
    rig.comm.failing << failingPortOp;
    rig.window.failOn = failingWindowChange;
    rig.window.listIndex = listIndex;
    rig.CancelAt(cancelAt);
    rig.run.RunUpdate();

    // Below the message, the reason the failure carries.
    QVERIFY(!rig.run.LastFailureReason().isEmpty());
    QCOMPARE(rig.window.boxes, QStringList({"48|" + message + "|" + rig.run.LastFailureReason()}));
    QCOMPARE(rig.run.LastOutcome(), outcome);
    QVERIFY(!rig.comm.PortOpen());
    if (!failingWindowChange.endsWith("Idle") && outcome != RunOutcome::ClosingFailure) {
        QCOMPARE(Unmet(rig.window, kIdle), QStringList());
    }
}

QTEST_GUILESS_MAIN(RunFrameTest)
#include "test_run_frame.moc"
