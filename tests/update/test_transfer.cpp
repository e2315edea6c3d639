// The line transfer and its outcome, on a scripted bootloader in virtual time.

#include "scripted_bootloader.h"

#include <QTest>

namespace {

const QString kSuccess = QStringLiteral("0|Datalogger successfully updated.");
const QString kFailed = QStringLiteral(
    "0|Error encountered while updating.|/dev/fake1: the bootloader's final reply held \"#\" without \"@\": it failed "
    "the update.");
const QString kSilentEnd =
    QStringLiteral("0|Error encountered while updating.  No response from Datalogger at end of file.|/dev/fake1: ");
const QString kAckOnly = QStringLiteral("no \"#\" came within 3 seconds of the last line; the reply held \"~\".");
const QString kNothing = QStringLiteral("nothing came within 3 seconds of the last line's answer.");

QString Checksum(int n) { return QStringLiteral("4|Checksum error at line %1. Continue with download?").arg(n); }
QString Flash(int n) { return QStringLiteral("4|Error writing to flash at line %1. Continue with download?").arg(n); }
QString Missing(int n) {
    return QStringLiteral("4|Did not receive a response after sending line %1. Continue with download?").arg(n);
}
QString Incomplete(const QString& reason) { return "48|The datalogger's firmware is incomplete.|" + reason; }
const QString kWentOn3 = QStringLiteral("Lines not accepted: 3 (the update went on after the prompt).");
const QString kNoAnswer1 =
    QStringLiteral("1 line had no answer from the bootloader (answers are matched in order, so which one cannot be told).");
const QString kOutOfStep =
    QStringLiteral("Answers came out of step with the lines sent: a late answer was taken for a later line's.");

}  // namespace

class TransferTest : public QObject {
    Q_OBJECT
private slots:
    void wholeUpdate();
    void judging_data();
    void judging();
    void finalWait_data();
    void finalWait();
    void cancel_data();
    void cancel();
    void files_data();
    void files();
    void answersPayTheirOwnSends_data();
    void answersPayTheirOwnSends();
    void emptyLinesNeverSleep();
};

void TransferTest::wholeUpdate() {
    Engine e;
    // Replies take 20 ms: the transfer lasts long enough for Timer3 to show the count.
    e.replyDelayMs = 20;
    e.Update(DataFile(120), 120);
    QCOMPARE(e.window.boxes, QStringList({kSuccess}));
    QCOMPARE(e.lines.size(), 120);
    QCOMPARE(e.vars.TotalLines, qint16(120));
    // The count of lines remaining shows at the start, then falls once a second from
    // Timer3, and is 0 at the end (before the idle state clears it).
    QStringList counts = e.window.log.filter(QStringLiteral("Label14.Caption="));
    counts.replaceInStrings(QStringLiteral("Label14.Caption="), QString());
    QVERIFY2(counts.size() >= 5 && counts.first() == "120" && counts.at(counts.size() - 2) == "0",
             qPrintable(counts.join(' ')));
    for (int i = 1; i + 1 < counts.size(); ++i) {
        QVERIFY2(counts[i].toInt() < counts[i - 1].toInt(), qPrintable(counts.join(' ')));
    }
    QVERIFY(!e.window.timer3On);
}

void TransferTest::judging_data() {
    QTest::addColumn<QString>("loader");
    QTest::addColumn<QStringList>("replies");  // to the sends of data line 3
    QTest::addColumn<bool>("no");              // the prompt is answered No
    QTest::addColumn<int>("sends");
    QTest::addColumn<QString>("prompt");
    QTest::addColumn<QString>("end");        // the outcome box
    QTest::addColumn<qint64>("minWaitMs");  // virtual time spent on the line
    QTest::addColumn<qint64>("maxWaitMs");

    const QString none;
    const QString wentOn = Incomplete(kWentOn3);
    const QString noAnswer = Incomplete(kNoAnswer1);
    // An update that went on past a bad line says "@" at its end, and is not the whole image.
    QTest::newRow("checksum three times") << "1.30" << QStringList{"-", "-", "-"} << false << 3 << Checksum(3) << wentOn << 0ll << 100ll;
    QTest::newRow("checksum then accepted") << "1.30" << QStringList{"-", "~"} << false << 2 << none << kSuccess << 0ll << 100ll;
    QTest::newRow("flash error: no resend") << "1.30" << QStringList{"%"} << false << 1 << Flash(3) << wentOn << 0ll << 100ll;
    QTest::newRow("flash error answered No ends the run") << "1.30" << QStringList{"%"} << true << 1 << Flash(3) << none << 0ll << 100ll;
    // Two answers to one send: the second finds nothing owed.
    QTest::newRow("checksum before flash") << "1.30" << QStringList{"-%"} << false << 1 << Checksum(3)
        << Incomplete(kWentOn3 + "\n" + kOutOfStep) << 0ll << 100ll;
    QTest::newRow("end token counts as a reply, accepts nothing") << "1.30" << QStringList{"#"} << false << 1 << none
        << Incomplete("Lines not accepted: 3 (answered \"#\", the end of the update, which accepts nothing).") << 0ll << 100ll;
    QTest::newRow("silence: three waits of 2 to 3 s")
        << "1.30" << QStringList{"", "", ""} << false << 3 << Missing(3) << wentOn << 6000ll << 9100ll;
    QTest::newRow("noise is no reply") << "1.30" << QStringList{"x", "y", "z"} << false << 3 << Missing(3) << wentOn << 6000ll << 9100ll;
    // An old loader's answers pay in order: line 4's pays line 3, and the last send is unpaid.
    QTest::newRow("old loader: silence passes after 5 ticks") << "1.27" << QStringList{""} << false << 1 << none << noAnswer << 200ll << 320ll;
    QTest::newRow("old loader: checksum asks") << "1.27" << QStringList{"-"} << false << 1 << Checksum(3) << wentOn << 0ll << 100ll;
    QTest::newRow("no version is an old loader") << "" << QStringList{""} << false << 1 << none << noAnswer << 200ll << 320ll;
    QTest::newRow("1.28 is not old") << "1.28" << QStringList{"", "", ""} << false << 3 << Missing(3) << wentOn << 6000ll << 9100ll;
    QTest::newRow("1.27999999 is 1.28 in single precision")
        << "1.27999999" << QStringList{"", "", ""} << false << 3 << Missing(3) << wentOn << 6000ll << 9100ll;
    QTest::newRow("1.2799999 is below") << "1.2799999" << QStringList{""} << false << 1 << none << noAnswer << 200ll << 320ll;
}

void TransferTest::judging() {
    QFETCH(QString, loader);
    QFETCH(QStringList, replies);
    QFETCH(bool, no);
    QFETCH(int, sends);
    QFETCH(QString, prompt);
    QFETCH(QString, end);
    QFETCH(qint64, minWaitMs);
    QFETCH(qint64, maxWaitMs);

    Engine e;
    e.versionRecord = loader.isEmpty() ? QStringLiteral("BOOT?") : "V" + loader + "|1?";
    e.replies[3] = replies;
    e.window.answers = {no ? MsgBoxResult::No : MsgBoxResult::Yes};
    e.Update(DataFile(5), 5);

    QCOMPARE(e.sendsOf.value(2), sends);
    QCOMPARE(e.sendsOf.size(), no ? 3 : 5);
    QStringList expected = prompt.isEmpty() ? QStringList() : QStringList{prompt};
    if (!no) {
        expected << end;
    }
    QCOMPARE(e.window.boxes, expected);
    QCOMPARE(e.run.LastOutcome(), no ? RunOutcome::Declined : end == kSuccess ? RunOutcome::Updated : RunOutcome::Incomplete);
    // A refused line is not counted down.
    QCOMPARE(e.vars.LinesRemaining, qint16(no ? 3 : 0));
    // From the first send of line 3 to that of line 4 (or the end of the run).
    const qint64 waited = e.at.value(e.lines.indexOf(":D4"), e.time.ms) - e.at[2];
    QVERIFY2(waited >= minWaitMs && waited <= maxWaitMs, qPrintable(QString::number(waited)));
}

void TransferTest::finalWait_data() {
    QTest::addColumn<QString>("lastReply");
    QTest::addColumn<QString>("laterText");
    QTest::addColumn<qint64>("laterMs");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<RunOutcome>("outcome");
    QTest::addColumn<bool>("fullWait");
    const auto ok = RunOutcome::Updated;
    const auto silent = RunOutcome::NoFinalReply;
    // A bootloader answers each send once: an "@" behind the last line's "~" finds nothing owed.
    QTest::newRow("~ then @: out of step, after the full wait")
        << "~" << "@" << 100ll << QStringList{Incomplete(kOutOfStep)} << RunOutcome::Incomplete << true;
    QTest::newRow("@ as the last reply, # later") << "@" << "#" << 500ll << QStringList{kSuccess} << ok << false;
    QTest::newRow("# alone ends it at once") << "~" << "#" << 500ll << QStringList{kFailed + "\n" + kOutOfStep} << RunOutcome::UpdateFailed << false;
    QTest::newRow("nothing more") << "~" << "" << 0ll << QStringList{kSilentEnd + kAckOnly} << silent << true;
    QTest::newRow("both in one reply") << "@#" << "" << 0ll << QStringList{kSuccess} << ok << false;
    QTest::newRow("# too late") << "~" << "#" << 3500ll << QStringList{kSilentEnd + kAckOnly} << silent << true;
    // The flash error's reply also held "@"; after Yes the buffer is empty, so only what
    // arrives in the final wait decides.
    QTest::newRow("Yes to the last line empties the buffer")
        << "%@" << "" << 0ll << QStringList{Flash(3), kSilentEnd + kNothing + "\n" + kWentOn3 + "\n" + kOutOfStep} << silent << true;
}

void TransferTest::finalWait() {
    QFETCH(QString, lastReply);
    QFETCH(QString, laterText);
    QFETCH(qint64, laterMs);
    QFETCH(QStringList, boxes);
    QFETCH(RunOutcome, outcome);
    QFETCH(bool, fullWait);
    Engine e;
    e.lastLineReply = lastReply;
    if (!laterText.isEmpty()) {
        e.after[3] = {{laterMs, laterText}};
    }
    e.Update(DataFile(3), 3);
    QCOMPARE(e.window.boxes, boxes);
    QCOMPARE(e.run.LastOutcome(), outcome);
    // The final wait neither yields nor looks at Cancel: its time passes on the port.
    const qint64 spent = e.time.ms - e.at.last();
    QVERIFY2(fullWait ? spent > 2000 && spent <= 3100 : spent < 1000, qPrintable(QString::number(spent)));
}

void TransferTest::cancel_data() {
    QTest::addColumn<QString>("loader");
    QTest::addColumn<int>("line");          // never answered; Cancel is pressed while it waits
    QTest::addColumn<bool>("atOnce");         // the command line's Cancel
    QTest::addColumn<bool>("atThePrompt");    // pressed while the prompt is open instead
    QTest::addColumn<int>("sendsOfThatLine");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<int>("linesSent");
    QTest::addColumn<RunOutcome>("outcome");

    QTest::newRow("normal mode: quick resends, then the prompt")
        << "1.30" << 2 << false << false << 3 << QStringList{Missing(2)} << 2 << RunOutcome::Cancelled;
    QTest::newRow("old loader: counted down, run ends")
        << "1.20" << 2 << false << false << 1 << QStringList{} << 2 << RunOutcome::Cancelled;
    QTest::newRow("while the last line waits: outcome still reported")
        << "1.30" << 3 << false << false << 3 << QStringList{Missing(3), kSilentEnd + kNothing + "\n" + kWentOn3} << 3
        << RunOutcome::NoFinalReply;
    QTest::newRow("at once: no resend, no prompt")
        << "1.30" << 2 << true << false << 1 << QStringList{} << 2 << RunOutcome::Cancelled;
    QTest::newRow("at once on the last line: no final wait")
        << "1.30" << 3 << true << false << 1 << QStringList{} << 3 << RunOutcome::Cancelled;
    QTest::newRow("at once at the prompt: cancelled, not declined")
        << "1.30" << 2 << true << true << 3 << QStringList{Missing(2)} << 2 << RunOutcome::Cancelled;
}

void TransferTest::cancel() {
    QFETCH(QString, loader);
    QFETCH(int, line);
    QFETCH(bool, atOnce);
    QFETCH(bool, atThePrompt);
    QFETCH(int, sendsOfThatLine);
    QFETCH(QStringList, boxes);
    QFETCH(int, linesSent);
    QFETCH(RunOutcome, outcome);
    Engine e;
    e.run.SetCancelMode(atOnce ? CancelMode::AtOnce : CancelMode::AtFixedPoints);
    e.versionRecord = "V" + loader + "|1?";
    e.replies[line] = QStringList{"", "", ""};
    e.window.onYield = [&] {
        if (!atThePrompt && e.sendsOf.size() == line && !e.vars.CancelRequested) {
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
    QCOMPARE(e.sendsOf.value(line - 1), sendsOfThatLine);
    QCOMPARE(e.window.boxes, boxes);
    // Only a file that has ended gets its outcome.
    QCOMPARE(e.run.LastOutcome(), outcome);
    QVERIFY(!e.comm.PortOpen());
}

void TransferTest::files_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<qint16>("count");  // TotalLines
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("end");  // the last box; PATH stands for the file's path
    // Nothing to send: refused before the port is opened.
    const QString nothing = QStringLiteral("48|Error opening PATH.|PATH: holds no data lines (Intel HEX records)");
    QTest::newRow("empty file") << QByteArray() << QStringList{} << qint16(0) << QString() << nothing;
    QTest::newRow("no version line")
        << QByteArray(":D1\r\n:D2") << QStringList{":D1", ":D2"} << qint16(1) << QString() << kSuccess;
    QTest::newRow("empty lines, a small v, a V behind a blank") << QByteArray(":D1\r\r\nv1\r\n V8\r\nV9\r\n:D2\r\n")
        << QStringList{":D1", "v1", " V8", ":D2"} << qint16(5) << "V9" << kSuccess;
    QByteArray bytes(":");
    for (int b = 1; b < 256; ++b) {
        bytes += b == '\r' || b == '\n' ? char(0) : char(b);
    }
    QTest::newRow("data lines sent byte for byte")
        << "V1\r\n" + bytes + "\r\n" << QStringList{QString::fromLatin1(bytes)} << qint16(1) << "V1" << kSuccess;
    // A version line ended by a lone LF in front of CR LF records: the first record would
    // vanish into it.
    QTest::newRow("a lone LF: refused before sending")
        << QByteArray("V1.13k\n:D1\r\n:D2\r\n") << QStringList{} << qint16(0) << QString()
        << "48|Error opening PATH.|PATH: line 1 holds a line feed without carriage return: save "
           "the file with CR LF line ends";
    // Rows named "records" check them, as the window does: a damaged one is asked about,
    // No the default, before the port is touched.
    const QByteArray records = "V1\r\n:0400000001020304F2\r\n:04001000010203043F\r\n:00000001FF\r\n";
    const QStringList all = {":0400000001020304F2", ":04001000010203043F", ":00000001FF"};
    const QString question = "308|Line 3 of the file is not a valid Intel HEX record: its checksum is 3F, its bytes "
                             "give E2. Send the file anyway?";
    QTest::newRow("records: a damaged one, and No") << records << QStringList{} << qint16(0) << QString() << question;
    QTest::newRow("records: a damaged one, and Yes") << records << all << qint16(3) << "V1" << kSuccess;
    QTest::newRow("records: all sound, no question")
        << QByteArray(records).replace("043F", "04E2") << QStringList{all[0], ":0400100001020304E2", all[2]} << qint16(3)
        << "V1" << kSuccess;
}

void TransferTest::files() {
    QFETCH(QByteArray, content);
    QFETCH(QStringList, sent);
    QFETCH(qint16, count);
    QFETCH(QString, version);
    QFETCH(QString, end);
    Engine e;
    const bool records = QByteArray(QTest::currentDataTag()).startsWith("records");
    e.run.SetRecordCheck(records);
    e.window.answers = {QByteArray(QTest::currentDataTag()).endsWith("No") ? MsgBoxResult::No : MsgBoxResult::Yes};
    e.Update(content, int(sent.size()));
    QCOMPARE(e.lines, sent);
    QCOMPARE(e.window.boxes.first().endsWith("anyway?"), records && content.contains("043F"));
    QCOMPARE(e.vars.TotalLines, count);
    QCOMPARE(e.window.state.value("Label18.Caption"), version.isEmpty() ? "" : "Update firmware version: " + version);
    QCOMPARE(e.window.boxes.last(), end.replace("PATH", e.window.text1));
    // A file that cannot be sent is refused before the port is opened.
    QCOMPARE(e.comm.log.contains("PortOpen=1"), !end.contains("Error opening") && !end.endsWith("anyway?"));
    QVERIFY(!e.comm.PortOpen());
}

void TransferTest::answersPayTheirOwnSends_data() {
    // script: "line:reply@delayMs,reply@delayMs;...", the replies to a line's sends in order
    // and how late each comes (the bootloader answers in order: a late answer holds back
    // those behind it), then after a "|" what else happens: "hold L MS" (line L's first
    // reply comes with an XOFF that holds the run's output MS long), "cancel LxN MS" (Cancel
    // MS after the Nth send of line L), "prompt MS" (the user reads each prompt MS long).
    // sends: the data lines as the run wrote them. gap: the least time between the last send
    // of line 3 and the first of line 4. The bootloader's last word is "@#" in every row: the
    // whole image is in only when the program's own books say so.
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
        << "1.30" << "3:-@3500,~@2000,~@1500;4:-,~" << five << "1 2 3 3 4 4 5" << QStringList{kSuccess} << qint64(0);
    QTest::newRow("a late - and the resend's ~ in one read")
        << "1.30" << "3:-@3500,~;4:-,~" << five << "1 2 3 3 4 4 5" << QStringList{kSuccess} << qint64(0);
    QTest::newRow("both sends answered 3.5 s late")
        << "1.30" << "3:~@3500,~@3500;4:-,~" << five << "1 2 3 3 4 4 5" << QStringList{kSuccess} << qint64(3000);
    // A bootloader busy over 3 s with each record answers the resend that long after the
    // first: the wait for it outlasts the longest delay seen, whole-second clock and all.
    QTest::newRow("both sends answered late, one after the other")
        << "1.30" << "3:~@3300,~@4400;4:-,~" << five << "1 2 3 3 4 4 5" << QStringList{kSuccess} << qint64(4000);
    QTest::newRow("an answer that never comes costs one more wait")
        << "1.30" << "3:,~;4:-,~" << five << "1 2 3 3 4 4 5" << QStringList{kSuccess} << qint64(2000);
    QTest::newRow("a late flash error of a resent line is not hidden")
        << "1.30" << "3:~@3500,%@2000;4:~" << five << "1 2 3 3 4 5" << QStringList{Flash(3), Incomplete(kWentOn3)} << qint64(0);
    QTest::newRow("old loader: a checksum error after the tick wait")
        << "1.27" << "3:-@320" << DataFile(3) + QByteArray(10, '\r') + ":D4\r\n:D5\r\n" << "1 2 3 4 5"
        << QStringList{Checksum(3), Incomplete(kWentOn3)} << qint64(0);
    const QString restarted = QStringLiteral(
        "48|The datalogger restarted during the update (at line 3). Its firmware is incomplete: "
        "restart the update.|/dev/fake1: the bootloader announced its start (\"^\") after line 3 was sent: what it "
        "had received of the update is lost.");
    QTest::newRow("a restart instead of an answer ends the run") << "1.30" << "3:^" << five << "1 2 3"
                                                                  << QStringList{restarted} << qint64(0);
    QTest::newRow("a restart after the update's end is the new firmware starting")
        << "1.30" << "5:@#^" << five << "1 2 3 4 5" << QStringList{kSuccess} << qint64(0);
    QTest::newRow("an answer twice") << "1.30" << "2:~~" << five << "1 2 3 4 5" << QStringList{Incomplete(kOutOfStep)}
                                     << qint64(0);
    // Line 3's first answer comes after its sends were written off and pays line 4's send:
    // line 4's own "-" then finds nothing owed.
    QTest::newRow("an answer later than every wait")
        << "1.30" << "3:~@10000,,;4:-" << five << "1 2 3 3 3 4 5"
        << QStringList{Missing(3), Checksum(4), Incomplete(kWentOn3 + "\n" + kOutOfStep)} << qint64(0);
    // Line 3 waits in the program's own queue: it is neither sent again behind itself nor
    // judged unanswered before it has left.
    QTest::newRow("XOFF for 12 s behind an answer") << "1.30" << "|hold 2 12000" << five << "1 2 3 4 5"
                                                   << QStringList{kSuccess} << qint64(0);
    // Cancel cuts the waits short, and the quick resends find the line still queued.
    QTest::newRow("Cancel while the line is held")
        << "1.30" << "|hold 2 12000 cancel 3x1 4000" << five << "1 2 3" << QStringList{Missing(3)} << qint64(0);
    QTest::newRow("Cancel while a resend's answer is owed")
        << "1.30" << "3:~@3500,~@2000|cancel 3x2 1200" << five << "1 2 3 3" << QStringList{} << qint64(0);
    // Line 3's first answer comes while the user reads the prompt about it: a minute that
    // must not teach the wait for line 4's unanswered resend.
    QTest::newRow("a prompt's time is not the bootloader's")
        << "1.30" << "3:~@20000,,;4:~@3500,|prompt 60000" << five << "1 2 3 3 3 4 4 5"
        << QStringList{Missing(3), kSuccess} << qint64(0);
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
    for (const QString& line : script.section('|', 0, 0).split(';', Qt::SkipEmptyParts)) {
        const int n = line.section(':', 0, 0).toInt();
        for (const QString& send : line.section(':', 1).split(',')) {
            bool delayed = false;
            const qint64 delay = send.section('@', -1).toLongLong(&delayed);
            e.replies[n] << (delayed ? send.section('@', 0, -2) : send);
            e.delays[n] << (delayed ? delay : e.replyDelayMs);
        }
    }
    const QStringList extra = script.section('|', 1).split(' ', Qt::SkipEmptyParts);
    const auto after = [&](const char* word, int i) { return extra.value(extra.indexOf(word) + i); };
    if (extra.contains("hold")) {
        e.xoffAfter[after("hold", 1).toInt()] = after("hold", 2).toLongLong();
    }
    qint64 writtenAt = 0;
    e.comm.onOp = [&](const QString& op) { writtenAt = op.startsWith("Output=:D") ? e.time.ms : writtenAt; };
    if (extra.contains("cancel")) {
        const QString line = "Output=:D" + after("cancel", 1).section('x', 0, 0);
        const int sends = after("cancel", 1).section('x', 1).toInt();
        const qint64 ms = after("cancel", 2).toLongLong();
        e.window.onYield = [&, line, sends, ms] {
            const QStringList written = e.comm.log.filter("Output=:D");
            if (written.count(line) == sends && written.last() == line && !e.vars.CancelRequested &&
                e.time.ms - writtenAt >= ms) {
                e.run.Command4_Click();
            }
        };
    }
    if (extra.contains("prompt")) {
        e.window.onBox = [&e, ms = after("prompt", 1).toLongLong()] { e.time.ms += ms; };
    }
    e.Update(content, 5);
    QStringList sent;
    for (const QString& op : e.comm.log.filter("Output=:D")) {
        sent << op.mid(9);
    }
    QCOMPARE(sent.join(' '), sends);
    QCOMPARE(e.window.boxes, boxes);
    QVERIFY(!e.comm.PortOpen());
    if (sent.contains("4")) {
        const qint64 waited = e.at[sent.indexOf("4")] - e.at[sent.lastIndexOf("3")];
        QVERIFY2(waited >= gap, qPrintable(QString::number(waited)));
    }
    if (extra.contains("prompt")) {
        const qint64 waited = e.at[sent.indexOf("5")] - e.at[sent.lastIndexOf("4")];
        QVERIFY2(waited < 10000, qPrintable(QString::number(waited)));
    }
}

void TransferTest::emptyLinesNeverSleep() {
    // After a silent line the port was quiet; the empty lines behind it are no wait on the
    // port and must not sleep until the next event.
    Engine e;
    e.versionRecord = QStringLiteral("V1.20|1?");
    e.replies[1] = QStringList{""};
    e.Update(DataFile(1) + QByteArray(2000, '\r') + ":D2\r\n", 2);
    QCOMPARE(e.lines, QStringList({":D1", ":D2"}));
    QVERIFY2(e.window.blockingYields < 100, qPrintable(QString::number(e.window.blockingYields)));
}

QTEST_GUILESS_MAIN(TransferTest)
#include "test_transfer.moc"
