// The line transfer and its outcome, on a scripted bootloader in virtual time.

#include "scripted_bootloader.h"

#include <QTest>

namespace {

const QString kSuccess = QStringLiteral("0|Datalogger successfully updated.");
const QString kFailed = QStringLiteral("0|Error encountered while updating.");
const QString kSilentEnd =
    QStringLiteral("0|Error encountered while updating.  No response from Datalogger at end of file.");

QString Checksum(int n) { return QStringLiteral("4|Checksum error at line %1. Continue with download?").arg(n); }
QString Flash(int n) { return QStringLiteral("4|Error writing to flash at line %1. Continue with download?").arg(n); }
QString Missing(int n) {
    return QStringLiteral("4|Did not receive a response after sending line %1. Continue with download?").arg(n);
}

}  // namespace

class TransferTest : public QObject {
    Q_OBJECT
private slots:
    void wholeUpdate();
    void judging_data();
    void judging();
    void answerNoEndsTheRun();
    void finalWait_data();
    void finalWait();
    void yesOnTheLastLineEmptiesTheBuffer();
    void cancel_data();
    void cancel();
    void files_data();
    void files();
    void dataLinesAreByteExact();
    void answersPayTheirOwnSends_data();
    void answersPayTheirOwnSends();
    void cancelWhileAnswersAreOwed();
    void strayVersionRecordIsNoAnswer();
    void lineFeedRefusedBeforeSending();
    void emptyLinesNeverSleep();
};

void TransferTest::wholeUpdate() {
    Engine e;
    // Replies take 20 ms: the transfer lasts long enough for Timer3 to show the count.
    e.replyDelayMs = 20;
    e.Update(DataFile(120), 120);
    QCOMPARE(e.Boxes(), QStringList({kSuccess}));
    QCOMPARE(e.run.LastOutcome(), RunOutcome::Updated);
    QCOMPARE(e.window.boxes.first().section('|', 1, 1), QStringLiteral("Quorvel - V 1.0"));
    QCOMPARE(e.lines.size(), 120);
    QCOMPARE(e.lines.first(), QStringLiteral(":D1"));
    QCOMPARE(e.lines.last(), QStringLiteral(":D120"));
    QCOMPARE(e.vars.TotalLines, qint16(120));
    QCOMPARE(e.vars.LinesRemaining, qint16(0));
    QCOMPARE(e.window.captions[Control::Label18], QStringLiteral("Update firmware version: V2.10"));
    // The count of lines remaining shows at the start, then falls once a second from
    // Timer3, and is 0 at the end (before the idle state clears it).
    QStringList counts = e.window.Only(QStringLiteral("Label14.Caption="));
    counts.replaceInStrings(QStringLiteral("Label14.Caption="), QString());
    QCOMPARE(counts.first(), QStringLiteral("120"));
    QVERIFY2(counts.size() >= 5, qPrintable(counts.join(' ')));
    for (int i = 1; i + 1 < counts.size(); ++i) {
        QVERIFY2(counts[i].toInt() < counts[i - 1].toInt(), qPrintable(counts.join(' ')));
    }
    QCOMPARE(counts.at(counts.size() - 2), QStringLiteral("0"));
    QVERIFY(e.window.log.contains("Timer3.Enabled=1"));
    QVERIFY(!e.window.timer3On);
    QVERIFY(!e.comm.PortOpen());
}

void TransferTest::judging_data() {
    QTest::addColumn<QString>("loader");
    QTest::addColumn<QStringList>("replies");  // to the sends of data line 3
    QTest::addColumn<int>("sends");
    QTest::addColumn<QString>("prompt");
    QTest::addColumn<qint64>("maxWaitMs");  // virtual time spent on the line

    const QString none;
    QTest::newRow("checksum three times") << "1.30" << QStringList{"-", "-", "-"} << 3 << Checksum(3) << qint64(100);
    QTest::newRow("checksum then accepted") << "1.30" << QStringList{"-", "~"} << 2 << none << qint64(100);
    QTest::newRow("flash error: no resend") << "1.30" << QStringList{"%"} << 1 << Flash(3) << qint64(100);
    QTest::newRow("checksum before flash") << "1.30" << QStringList{"-%"} << 1 << Checksum(3) << qint64(100);
    QTest::newRow("end token counts as a reply") << "1.30" << QStringList{"#"} << 1 << none << qint64(100);
    QTest::newRow("silence: three waits") << "1.30" << QStringList{"", "", ""} << 3 << Missing(3) << qint64(9100);
    QTest::newRow("noise is no reply") << "1.30" << QStringList{"x", "y", "z"} << 3 << Missing(3) << qint64(9100);
    QTest::newRow("old loader: silence passes") << "1.27" << QStringList{""} << 1 << none << qint64(320);
    QTest::newRow("old loader: checksum asks") << "1.27" << QStringList{"-"} << 1 << Checksum(3) << qint64(100);
    QTest::newRow("no version is an old loader") << "" << QStringList{""} << 1 << none << qint64(320);
    QTest::newRow("1.28 is not old") << "1.28" << QStringList{"", "", ""} << 3 << Missing(3) << qint64(9100);
    QTest::newRow("1.27999999 is 1.28 in single precision")
        << "1.27999999" << QStringList{"", "", ""} << 3 << Missing(3) << qint64(9100);
    QTest::newRow("1.2799999 is below") << "1.2799999" << QStringList{""} << 1 << none << qint64(320);
}

void TransferTest::judging() {
    QFETCH(QString, loader);
    QFETCH(QStringList, replies);
    QFETCH(int, sends);
    QFETCH(QString, prompt);
    QFETCH(qint64, maxWaitMs);

    Engine e;
    e.versionRecord = loader.isEmpty() ? QStringLiteral("BOOT?") : "V" + loader + "|1?";
    e.replies[3] = replies;
    qint64 started = 0;
    qint64 finished = 0;
    e.comm.onOp = [&](const QString& op) {
        if (op == QLatin1String("Output=:D3") && started == 0) {
            started = e.comm.Now();
        } else if (op == QLatin1String("Output=:D4")) {
            finished = e.comm.Now();
        }
    };
    e.Update(DataFile(5), 5);

    QCOMPARE(e.sendsOf.value(2), sends);
    QCOMPARE(e.sendsOf.size(), 5);
    QStringList expected;
    if (!prompt.isEmpty()) {
        expected << prompt;
    }
    expected << kSuccess;
    QCOMPARE(e.Boxes(), expected);
    QVERIFY2(finished - started <= maxWaitMs, qPrintable(QString::number(finished - started)));
    // A silent wait lasts its full time: more than 2 seconds a send in the normal mode.
    if (replies.first().isEmpty() && loader != QLatin1String("1.27") && sends == 3) {
        QVERIFY(finished - started > 6000);
    }
    QCOMPARE(e.vars.LinesRemaining, qint16(0));
}

void TransferTest::answerNoEndsTheRun() {
    Engine e;
    e.replies[2] = QStringList{"%"};
    e.window.answers = {MsgBoxResult::No};
    e.Update(DataFile(4), 4);
    QCOMPARE(e.Boxes(), QStringList({Flash(2)}));
    QCOMPARE(e.run.LastOutcome(), RunOutcome::Declined);
    QCOMPARE(e.sendsOf.size(), 2);
    // The line that was refused is not counted down.
    QCOMPARE(e.vars.LinesRemaining, qint16(3));
    QVERIFY(!e.comm.PortOpen());
    QCOMPARE(e.window.log.last(), QStringLiteral("Combo1.Enabled=1"));
}

void TransferTest::finalWait_data() {
    QTest::addColumn<QString>("lastReply");
    QTest::addColumn<QString>("laterText");
    QTest::addColumn<qint64>("laterMs");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<bool>("fullWait");
    QTest::newRow("@ then silence: success after the full wait") << "~" << "@" << qint64(100) << kSuccess << true;
    QTest::newRow("@ as the last reply, # later") << "@" << "#" << qint64(500) << kSuccess << false;
    QTest::newRow("# alone ends it at once") << "~" << "#" << qint64(500) << kFailed << false;
    QTest::newRow("nothing more") << "~" << "" << qint64(0) << kSilentEnd << true;
    QTest::newRow("both in one reply") << "@#" << "" << qint64(0) << kSuccess << false;
    QTest::newRow("# too late") << "~" << "#" << qint64(3500) << kSilentEnd << true;
}

void TransferTest::finalWait() {
    QFETCH(QString, lastReply);
    QFETCH(QString, laterText);
    QFETCH(qint64, laterMs);
    QFETCH(QString, outcome);
    QFETCH(bool, fullWait);
    Engine e;
    e.lastLineReply = lastReply;
    if (!laterText.isEmpty()) {
        e.after[3] = {{laterMs, laterText}};
    }
    qint64 lastSent = 0;
    e.comm.onOp = [&](const QString& op) {
        if (op == QLatin1String("Output=:D3")) {
            lastSent = e.comm.Now();
        }
    };
    e.Update(DataFile(3), 3);
    QCOMPARE(e.Boxes(), QStringList({outcome}));
    QCOMPARE(e.run.LastOutcome(), outcome == kSuccess  ? RunOutcome::Updated
                                  : outcome == kFailed ? RunOutcome::UpdateFailed
                                                       : RunOutcome::NoFinalReply);
    // The final wait neither yields nor looks at Cancel: its time passes on the port.
    const qint64 spent = e.comm.Now() - lastSent;
    if (fullWait) {
        QVERIFY2(spent > 2000 && spent <= 3100, qPrintable(QString::number(spent)));
    } else {
        QVERIFY2(spent < 1000, qPrintable(QString::number(spent)));
    }
}

void TransferTest::yesOnTheLastLineEmptiesTheBuffer() {
    // The flash error's reply also held "@"; after Yes the buffer is empty, so only what
    // arrives in the final wait decides.
    Engine e;
    e.replies[2] = QStringList{"%@"};
    e.Update(DataFile(2), 2);
    QCOMPARE(e.Boxes(), QStringList({Flash(2), kSilentEnd}));
}

void TransferTest::cancel_data() {
    QTest::addColumn<QString>("loader");
    QTest::addColumn<QString>("silentLine");  // a line the bootloader never answers
    QTest::addColumn<int>("cancelOnLine");    // pressed while this line waits
    QTest::addColumn<bool>("atOnce");         // the command line's Cancel
    QTest::addColumn<bool>("atThePrompt");    // pressed while the prompt is open instead
    QTest::addColumn<int>("sendsOfThatLine");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<int>("linesSent");
    QTest::addColumn<RunOutcome>("outcome");

    QTest::newRow("normal mode: quick resends, then the prompt")
        << "1.30" << "2" << 2 << false << false << 3 << QStringList{Missing(2)} << 2 << RunOutcome::Cancelled;
    QTest::newRow("old loader: counted down, run ends")
        << "1.20" << "2" << 2 << false << false << 1 << QStringList{} << 2 << RunOutcome::Cancelled;
    QTest::newRow("while the last line waits: outcome still reported")
        << "1.30" << "3" << 3 << false << false << 3 << QStringList{Missing(3), kSilentEnd} << 3
        << RunOutcome::NoFinalReply;
    QTest::newRow("at once: no resend, no prompt")
        << "1.30" << "2" << 2 << true << false << 1 << QStringList{} << 2 << RunOutcome::Cancelled;
    QTest::newRow("at once on the last line: no final wait")
        << "1.30" << "3" << 3 << true << false << 1 << QStringList{} << 3 << RunOutcome::Cancelled;
    QTest::newRow("at once at the prompt: cancelled, not declined")
        << "1.30" << "2" << 2 << true << true << 3 << QStringList{Missing(2)} << 2 << RunOutcome::Cancelled;
}

void TransferTest::cancel() {
    QFETCH(QString, loader);
    QFETCH(QString, silentLine);
    QFETCH(int, cancelOnLine);
    QFETCH(bool, atOnce);
    QFETCH(bool, atThePrompt);
    QFETCH(int, sendsOfThatLine);
    QFETCH(QStringList, boxes);
    QFETCH(int, linesSent);
    QFETCH(RunOutcome, outcome);
    Engine e;
    e.run.SetCancelAtOnce(atOnce);
    e.versionRecord = "V" + loader + "|1?";
    e.replies[silentLine.toInt()] = QStringList{"", "", ""};
    e.window.onYield = [&] {
        if (!atThePrompt && e.sendsOf.size() == cancelOnLine && e.window.yields > 0 &&
            !e.vars.CancelRequested) {
            e.run.Command4_Click();
        }
    };
    if (atThePrompt) {
        // The interrupt comes while the question is open; the front then answers No.
        e.window.onBox = [&] { e.run.Command4_Click(); };
        e.window.answers = {MsgBoxResult::No};
    }
    e.Update(DataFile(3), 3);
    QCOMPARE(e.sendsOf.size(), linesSent);
    QCOMPARE(e.sendsOf.value(cancelOnLine - 1), sendsOfThatLine);
    QCOMPARE(e.Boxes(), boxes);
    // Only a file that has ended gets its outcome.
    QCOMPARE(e.run.LastOutcome(), outcome);
    QVERIFY(!e.comm.PortOpen());
}

void TransferTest::files_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<qint16>("count");  // TotalLines
    QTest::addColumn<QString>("version");
    QTest::newRow("empty file") << QByteArray() << QStringList{} << qint16(-1) << QString();
    QTest::newRow("only a version line") << QByteArray("V3.0\r\n") << QStringList{} << qint16(0) << "V3.0";
    QTest::newRow("no version line") << QByteArray(":D1\r\n:D2") << QStringList{":D1", ":D2"} << qint16(1) << QString();
    QTest::newRow("empty lines and a small v")
        << QByteArray(":D1\r\r\nv1\r\nV9\r\n:D2\r\n") << QStringList{":D1", "v1", ":D2"} << qint16(4) << "V9";
}

void TransferTest::files() {
    QFETCH(QByteArray, content);
    QFETCH(QStringList, sent);
    QFETCH(qint16, count);
    QFETCH(QString, version);
    Engine e;
    e.Update(content, int(sent.size()));
    QCOMPARE(e.lines, sent);
    QCOMPARE(e.vars.TotalLines, count);
    if (!version.isEmpty()) {
        QCOMPARE(e.window.captions[Control::Label18], "Update firmware version: " + version);
    }
    // With no data line sent, the final wait works on what the handshake left, which holds
    // no token: no answer at the end.
    QCOMPARE(e.Boxes().last(), sent.isEmpty() ? kSilentEnd : kSuccess);
}

void TransferTest::dataLinesAreByteExact() {
    QByteArray line(":");
    for (int b = 1; b < 256; ++b) {
        if (b != '\r' && b != '\n') {
            line += char(b);
        }
    }
    line += '\0';
    Engine e;
    e.Update("V1\r\n" + line + "\r\n", 1);
    QCOMPARE(e.lines.size(), 1);
    QCOMPARE(e.lines.first().toLatin1(), line);
}

void TransferTest::answersPayTheirOwnSends_data() {
    // script: "line:reply@delayMs,reply@delayMs;...", the replies to a line's sends in order
    // and how late each comes (the bootloader answers in order: a late answer holds back
    // those behind it). sends: the data lines as they went out. gap: the least time between
    // the last send of line 3 and the first of line 4.
    QTest::addColumn<QString>("loader");
    QTest::addColumn<QString>("script");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("sends");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<qint64>("gap");
    const QByteArray five = DataFile(5);
    QTest::newRow("late ~ after a resend, then - on the next line")
        << "1.30" << "3:~@3500,~@2000;4:-,~" << five << "1 2 3 3 4 4 5" << QStringList{kSuccess} << qint64(0);
    QTest::newRow("late - for the first send, ~ for the resend")
        << "1.30" << "3:-@3500,~@2000,~@1500;4:-,~" << five << "1 2 3 3 3 4 4 5" << QStringList{kSuccess} << qint64(0);
    QTest::newRow("both sends answered 3.5 s late")
        << "1.30" << "3:~@3500,~@3500;4:-,~" << five << "1 2 3 3 4 4 5" << QStringList{kSuccess} << qint64(3000);
    // A bootloader busy over 3 s with each record answers the resend that long after the
    // first: the wait for it outlasts the longest delay seen, whole-second clock and all.
    QTest::newRow("both sends answered late, one after the other")
        << "1.30" << "3:~@3300,~@4400;4:-,~" << five << "1 2 3 3 4 4 5" << QStringList{kSuccess} << qint64(4000);
    QTest::newRow("an answer that never comes costs one more wait")
        << "1.30" << "3:,~;4:-,~" << five << "1 2 3 3 4 4 5" << QStringList{kSuccess} << qint64(2000);
    QTest::newRow("a late flash error of a resent line is not hidden")
        << "1.30" << "3:~@3500,%@2000;4:~" << five << "1 2 3 3 4 5" << QStringList{Flash(3), kSuccess} << qint64(0);
    QTest::newRow("old loader: a checksum error after the tick wait")
        << "1.27" << "3:-@320" << DataFile(3) + QByteArray(10, '\r') + ":D4\r\n:D5\r\n" << "1 2 3 4 5"
        << QStringList{Checksum(3), kSuccess} << qint64(0);
}

void TransferTest::answersPayTheirOwnSends() {
    QFETCH(QString, loader);
    QFETCH(QString, script);
    QFETCH(QByteArray, content);
    QFETCH(QString, sends);
    QFETCH(QStringList, boxes);
    QFETCH(qint64, gap);
    Engine e;
    e.versionRecord = "V" + loader + "|1?";
    for (const QString& line : script.split(';')) {
        const int n = line.section(':', 0, 0).toInt();
        for (const QString& send : line.section(':', 1).split(',')) {
            e.replies[n] << send.section('@', 0, 0);
            e.delays[n] << (send.contains('@') ? send.section('@', 1).toLongLong() : e.replyDelayMs);
        }
    }
    e.Update(content, 5);
    QStringList sent;
    for (const QString& l : e.lines) {
        sent << l.mid(2);
    }
    QCOMPARE(sent.join(' '), sends);
    QCOMPARE(e.Boxes(), boxes);
    const qint64 waited = e.at[sent.indexOf("4")] - e.at[sent.lastIndexOf("3")];
    QVERIFY2(waited >= gap, qPrintable(QString::number(waited)));
}

void TransferTest::cancelWhileAnswersAreOwed() {
    // Line 3 went out twice; its resend's answer is still owed when Cancel comes.
    Engine e;
    e.replies[3] = QStringList{"~", "~"};
    e.delays[3] = {3500, 2000};
    e.window.onYield = [&] {
        if (e.sendsOf.value(2) == 2 && !e.vars.CancelRequested &&
            e.comm.Now() - e.at.last() > 1200) {
            e.run.Command4_Click();
        }
    };
    e.Update(DataFile(5), 5);
    QCOMPARE(e.lines, QStringList({":D1", ":D2", ":D3", ":D3"}));
    QVERIFY(e.window.boxes.isEmpty());
    QCOMPARE(e.run.LastOutcome(), RunOutcome::Cancelled);
}

void TransferTest::strayVersionRecordIsNoAnswer() {
    // The record came in two pieces, so the handshake asked twice; the bootloader's answer to
    // the second request arrives after the handshake and its "-" is no checksum error.
    Engine e;
    e.records[1] = {{2, "BOOT V1.30|2.0"}, {60, "5-beta?"}};
    e.records[2] = {{400, "BOOT V1.30|2.05-beta?"}};
    e.Update(DataFile(3), 3);
    QCOMPARE(e.requests, 2);
    QCOMPARE(e.window.captions[Control::Label17], QStringLiteral("Old firmware version: 2.05-beta"));
    QCOMPARE(e.lines, QStringList({":D1", ":D2", ":D3"}));
    QCOMPARE(e.Boxes(), QStringList({kSuccess}));
}

void TransferTest::lineFeedRefusedBeforeSending() {
    // A version line written with a lone LF in front of CR LF records: the first record would
    // vanish into the version line.
    Engine e;
    e.Update("V1.13k\n:D1\r\n:D2\r\n", 2);
    QVERIFY(e.lines.isEmpty());
    QCOMPARE(e.run.LastOutcome(), RunOutcome::FileOpenFailure);
    QCOMPARE(e.Boxes(), QStringList({"48|Error opening " + e.window.text1 + "."}));
    QVERIFY(e.run.LastFailureReason().contains(
        QStringLiteral("line 1 holds a line feed without carriage return: save the file with CR LF line ends")));
    QVERIFY(!e.comm.PortOpen());
}

void TransferTest::emptyLinesNeverSleep() {
    // After a silent line the port was quiet; the empty lines behind it are no wait on the
    // port and must not sleep until the next event.
    Engine e;
    e.versionRecord = QStringLiteral("V1.20|1?");
    e.replies[1] = QStringList{""};
    e.Update(DataFile(1) + QByteArray(2000, '\r') + ":D2\r\n", 2);
    QCOMPARE(e.Boxes(), QStringList({kSuccess}));
    QVERIFY2(e.window.blockingYields < 100, qPrintable(QString::number(e.window.blockingYields)));
}

QTEST_GUILESS_MAIN(TransferTest)
#include "test_transfer.moc"
