// The bootloader handshake of a run, on a scripted bootloader in virtual time.

#include "scripted_bootloader.h"

#include <QLocale>
#include <QTest>

class HandshakeTest : public QObject {
    Q_OBJECT
private slots:
    // The loader version is shown in the user's number format; these cases mean ".".
    void initTestCase() { QLocale::setDefault(QLocale::c()); }
    void handshake_data();
    void handshake();
};

void HandshakeTest::handshake_data() {
    // restart: what arrives in the restart wait (before a tab: what waits before the run).
    // answeredTry: the ready request whose answer comes, in pieces 5 and 40 ms after it (0:
    // none); those before it get no answer, those after it the whole record 400 ms late.
    // firmware: the old firmware version shown, null when there is no response.
    QTest::addColumn<QString>("restart");
    QTest::addColumn<int>("answeredTry");
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<int>("requests");
    QTest::addColumn<QString>("firmware");
    QTest::newRow("firmware shown as the record has it, spaces and all")
        << "^" << 1 << QStringList{"BL V1.30| 2.05 ?"} << 1 << " 2.05 ";
    QTest::newRow("a restart waiting before the run is no restart")
        << "^\t^" << 1 << QStringList{"V1.30|2.05?"} << 1 << "2.05";
    QTest::newRow("the restart read is dropped, reply token and all")
        << "ab^?V9|9?" << 1 << QStringList{"V1.30|2.05?"} << 1 << "2.05";
    QTest::newRow("record split across tries, a second one behind it")
        << "^" << 1 << QStringList{"V1.3", "0|2.05?V7|7?"} << 2 << "2.05";
    // The late record to the second request comes after the handshake: its "-" is no
    // checksum error.
    QTest::newRow("record split across tries, the late one no answer to a line")
        << "^" << 1 << QStringList{"BOOT V1.30|2.0", "5-beta?"} << 2 << "2.05-beta";
    // Not a line has gone out: Cancel in the wait for the late record ends the run there.
    QTest::newRow("Cancel while a record is owed")
        << "^" << 1 << QStringList{"BOOT V1.30|2.0", "5-beta?"} << 2 << "2.05-beta";
    QTest::newRow("record split on the third try: too late")
        << "^" << 3 << QStringList{"V1.3", "0|2.05?V7|7?"} << 3 << QString();
    QTest::newRow("silent bootloader") << "^" << 0 << QStringList{} << 3 << QString();
}

void HandshakeTest::handshake() {
    QFETCH(QString, restart);
    QFETCH(int, answeredTry);
    QFETCH(QStringList, pieces);
    QFETCH(int, requests);
    QFETCH(QString, firmware);
    Engine e;
    e.restart = restart;
    for (int r = 1; r <= 3; ++r) {
        e.records[r] = r > answeredTry && answeredTry > 0 ? QList<Arrival>{{400, pieces.join("")}} : QList<Arrival>{};
    }
    for (int i = 0; i < pieces.size(); ++i) {
        e.records[answeredTry] << Arrival{i == 0 ? 5 : 40, pieces[i]};
    }
    const bool cancel = QByteArray(QTest::currentDataTag()).startsWith("Cancel");
    e.window.onYield = [&] {
        if (cancel && e.window.state.value("Label17.Caption").startsWith("Old") && !e.vars.CancelRequested) {
            e.run.Command4_Click();
        }
    };
    // Without a version line the first yield after the handshake is the record's wait.
    e.Update(cancel ? QByteArray(":D1\r\n:D2\r\n:D3\r\n") : DataFile(3), 3);

    QCOMPARE(e.requests, requests);
    // Only the restart that comes in the wait counts.
    QVERIFY(e.requestedAt.value(0) - e.startedAt >= 50);
    QStringList tries;
    for (int t = 1; t <= requests; ++t) {
        tries << QStringLiteral("Label2.Caption=Requesting Datalogger Ready.  Try #%1").arg(t);
    }
    QCOMPARE(e.window.log.filter("Try #"), tries);
    // A try that gets no answer waits more than 2 and at most 3 seconds (plus one poll).
    for (int t = 1; t < e.requestedAt.size(); ++t) {
        const qint64 gap = e.requestedAt[t] - e.requestedAt[t - 1];
        if (answeredTry == 0 || t < answeredTry) {
            QVERIFY2(gap > 2000 && gap <= 3020, qPrintable(QString::number(gap)));
        }
    }
    // The version lines are cleared before the handshake and filled in once it is done.
    QStringList shown{"Label17.Caption="};
    if (firmware.isNull()) {
        // Below the message, whether the datalogger said anything at all.
        const QString why = QTest::currentDataTag() == QByteArray("silent bootloader")
                                ? "no answer to 3 ready requests (\"@&$\")"
                                : "the datalogger answered, but its version record has no ready mark ('?'): received V1.3";
        QCOMPARE(e.window.boxes, QStringList({"0|No response from Datalogger.|/dev/fake1: " + why}));
        QCOMPARE(e.run.LastOutcome(), RunOutcome::NoResponse);
    } else {
        QCOMPARE(e.window.state["Label16.Caption"], QStringLiteral("Loader version: 1.3"));
        shown << "Label17.Caption=Old firmware version: " + firmware;
        QCOMPARE(e.window.boxes, cancel ? QStringList() : QStringList({"0|Datalogger successfully updated."}));
        QCOMPARE(e.lines, cancel ? QStringList() : QStringList({":D1", ":D2", ":D3"}));
        QCOMPARE(e.run.LastOutcome(), cancel ? RunOutcome::Cancelled : RunOutcome::Updated);
    }
    QCOMPARE(e.window.log.filter("Label17.Caption="), shown);
    QVERIFY(!e.comm.PortOpen());
}

QTEST_GUILESS_MAIN(HandshakeTest)
#include "test_handshake.moc"
