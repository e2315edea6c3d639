// The bootloader handshake of a run, on a scripted bootloader in virtual time.

#include "scripted_bootloader.h"

#include <QLocale>
#include <QTest>

namespace {

const QString kNoResponse = QStringLiteral("0|No response from Datalogger.");

QStringList Statuses(const RecordingWindow& w) {
    QStringList out;
    for (const QString& e : w.log) {
        if (e.startsWith(QLatin1String("Label2.Caption=")) && e != QLatin1String("Label2.Caption=")) {
            out << e.mid(15);
        }
    }
    out.removeDuplicates();
    return out;
}

}  // namespace

class HandshakeTest : public QObject {
    Q_OBJECT
private slots:
    // The loader version is shown in the user's number format; these cases mean ".".
    void initTestCase() { QLocale::setDefault(QLocale::c()); }
    void versionsShown();
    void restartReadIsDropped();
    void silentBootloader();
    void recordSplitAcrossTries_data();
    void recordSplitAcrossTries();
};

void HandshakeTest::versionsShown() {
    Engine e;
    // The firmware's text is shown as the record has it, spaces and all.
    e.versionRecord = QStringLiteral("BL V1.30| 2.05 ?");
    e.Update(DataFile(0));
    QCOMPARE(e.window.captions[Control::Label16], QStringLiteral("Loader version: 1.3"));
    QCOMPARE(e.window.captions[Control::Label17], QStringLiteral("Old firmware version:  2.05 "));
    QCOMPARE(Statuses(e.window).mid(0, 4),
             QStringList({"Initializing the com port", "Waiting for Datalogger to Restart...",
                          "Requesting Datalogger Ready.  Try #1", "Opening " + e.window.text1 + "."}));
    // The three version lines are cleared and shown at the start, and shown again with
    // their texts, the update line empty.
    const QStringList shown = e.window.log.filter(QRegularExpression("Label1[678]\\."));
    QCOMPARE(shown.mid(0, 12),
             QStringList({"Label16.Caption=", "Label16.Visible=1", "Label17.Caption=",
                          "Label17.Visible=1", "Label18.Caption=", "Label18.Visible=1",
                          "Label16.Caption=Loader version: 1.3", "Label16.Visible=1",
                          "Label17.Caption=Old firmware version:  2.05 ", "Label17.Visible=1",
                          "Label18.Caption=", "Label18.Visible=1"}));
    QCOMPARE(e.requests, 1);
}

void HandshakeTest::restartReadIsDropped() {
    // What came with the restart announcement, even a reply token, does not count: the
    // first try starts from an empty buffer.
    Engine e;
    e.restartAfterMs = -1;
    e.comm.Send(QStringLiteral("ab^?V9|9?"), 40);
    e.Update(DataFile(0));
    QCOMPARE(e.requests, 1);
    QCOMPARE(e.window.captions[Control::Label16], QStringLiteral("Loader version: 1.3"));
}

void HandshakeTest::silentBootloader() {
    Engine e;
    e.silentRequests = 3;
    QList<qint64> sentAt;
    e.comm.onOp = [&](const QString& op) {
        if (op == QLatin1String("Output=@&$")) {
            sentAt << e.comm.Now();
        }
    };
    e.Update(DataFile(1));
    QCOMPARE(e.requests, 3);
    QCOMPARE(e.Boxes(), QStringList({kNoResponse}));
    QCOMPARE(e.run.LastOutcome(), RunOutcome::NoResponse);
    QCOMPARE(Statuses(e.window),
             QStringList({"Initializing the com port", "Waiting for Datalogger to Restart...",
                          "Requesting Datalogger Ready.  Try #1",
                          "Requesting Datalogger Ready.  Try #2",
                          "Requesting Datalogger Ready.  Try #3", "Idle"}));
    // Each try waits more than 2 and at most 3 seconds (plus one poll).
    for (int i = 1; i < sentAt.size(); ++i) {
        const qint64 gap = sentAt[i] - sentAt[i - 1];
        QVERIFY2(gap > 2000 && gap <= 3020, qPrintable(QString::number(gap)));
    }
    QVERIFY(e.lines.isEmpty());
    QVERIFY(!e.comm.PortOpen());
}

void HandshakeTest::recordSplitAcrossTries_data() {
    QTest::addColumn<int>("splitOnTry");
    QTest::addColumn<int>("requests");
    QTest::addColumn<bool>("ready");
    QTest::newRow("first try") << 1 << 2 << true;
    QTest::newRow("third try: too late") << 3 << 3 << false;
}

void HandshakeTest::recordSplitAcrossTries() {
    // Only the start of the record arrives within a try: the next try sends the request
    // again; the record is recognised once its "?" is in, and a second record behind it
    // changes nothing.
    QFETCH(int, splitOnTry);
    QFETCH(int, requests);
    QFETCH(bool, ready);
    Engine e;
    e.silentRequests = 3;
    e.comm.onOp = [&](const QString& op) {
        if (op == QLatin1String("Output=@&$") && e.requests + 1 == splitOnTry) {
            e.comm.Send(QStringLiteral("V1.3"), 5);
            e.comm.Send(QStringLiteral("0|2.05?V7|7?"), 40);
        }
    };
    e.Update(DataFile(0));
    QCOMPARE(e.requests, requests);
    if (ready) {
        QCOMPARE(e.window.captions[Control::Label16], QStringLiteral("Loader version: 1.3"));
        QCOMPARE(e.window.captions[Control::Label17], QStringLiteral("Old firmware version: 2.05"));
    } else {
        QCOMPARE(e.Boxes(), QStringList({kNoResponse}));
    }
}

QTEST_GUILESS_MAIN(HandshakeTest)
#include "test_handshake.moc"
