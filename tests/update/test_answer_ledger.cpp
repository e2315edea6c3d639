// The run's books alone: sends, answers and what they add up to, with no port and no clock.

#include "answer_ledger.h"

#include <QTest>

namespace {

// Plays a script on a ledger. Words: "s3" a send of line 3, "~ - % @ #" answers (each
// character one), "w" the owed sends written off, "u" a prompt or a hold, "g3c", "g3f",
// "g3n" the update went on past line 3's checksum, flash or no-response prompt, "r3" a
// restart while line 3 was the latest. Returns what each answer
// paid: the line ("0" for nothing owed), "u" behind it when its time does not count.
QString Play(AnswerLedger& ledger, const QString& script) {
    static const QMap<QChar, Answer> kAnswers{{'~', Answer::LineAck},
                                              {'-', Answer::ChecksumError},
                                              {'%', Answer::FlashError},
                                              {'@', Answer::UpdateOk},
                                              {'#', Answer::UpdateEnd}};
    static const QMap<QChar, NotAcceptedWhy> kWhy{{'c', NotAcceptedWhy::ChecksumError},
                                                  {'f', NotAcceptedWhy::FlashError},
                                                  {'n', NotAcceptedWhy::NoResponse}};
    QStringList paid;
    qint64 at = 0;
    for (const QString& word : script.split(' ', Qt::SkipEmptyParts)) {
        const int line = word.mid(1, word.size() - (word[0] == 'g' ? 2 : 1)).toInt();
        switch (word[0].toLatin1()) {
            case 's':
                ledger.Sent(line, ++at);
                break;
            case 'w':
                ledger.WriteOff();
                break;
            case 'u':
                ledger.Untime();
                break;
            case 'g':
                ledger.WentOn(line, kWhy.value(word.back()));
                break;
            case 'r':
                ledger.Restarted(line);
                break;
            default:
                for (const QChar token : word) {
                    const AnswerLedger::Paid p = ledger.Answered(kAnswers.value(token));
                    paid << QString::number(p.line) + (p.line != 0 && !p.timed ? "u" : "");
                }
        }
    }
    return paid.join(' ');
}

}  // namespace

class AnswerLedgerTest : public QObject {
    Q_OBJECT
private slots:
    void books_data();
    void books();
};

void AnswerLedgerTest::books_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("lines");
    QTest::addColumn<QString>("paid");
    QTest::addColumn<QString>("notAccepted");  // "line:why", "*" when the update went on past its prompt
    QTest::addColumn<bool>("outOfStep");
    QTest::addColumn<int>("restartedAt");
    // clang-format off
    QTest::newRow("every send answered") << "s1 ~ s2 ~ s3 @#" << 3 << "1 2 3 3" << "" << false << 0;
    QTest::newRow("answers before the first send are the handshake's") << "- ~ s1 @#" << 1 << "0 0 1 1" << "" << false << 0;
    QTest::newRow("a late answer pays the first send, the resend's its own") << "s1 s1 ~ ~ s2 @#" << 2 << "1 1 2 2" << "" << false << 0;
    QTest::newRow("a written-off send's answer after all") << "s1 s1 ~ w s2 ~ ~ @#" << 2 << "1 2 0 0 0" << "" << true << 0;
    // Line 1's answer comes after its write-off and pays line 2's send: the last answer is over.
    QTest::newRow("a late answer shifts the rest") << "s1 w s2 ~ s3 ~ @#" << 3 << "2 3 0 0" << "1:noAnswer" << true << 0;
    QTest::newRow("# alone accepts nothing") << "s1 # s2 @#" << 2 << "1 2 2" << "1:updateEnd" << false << 0;
    QTest::newRow("# behind @ is the same answer") << "s1 @ #" << 1 << "1 1" << "" << false << 0;
    QTest::newRow("@ behind # is another") << "s1 # @" << 1 << "1 0" << "1:updateEnd" << true << 0;
    QTest::newRow("a flash error spoils an accepted line") << "s1 s1 ~ % s2 @#" << 2 << "1 1 2 2" << "1:flashError" << false << 0;
    QTest::newRow("went on past prompts") << "s1 - s1 - s1 - g1c s2 s2 s2 g2n w s3 @#" << 3 << "1 1 1 3 3"
                                          << "1:checksumError* 2:noResponse*" << false << 0;
    QTest::newRow("a prompt's line accepted late after all") << "s1 s1 s1 g1n ~ ~ ~ s2 @#" << 2 << "1 1 1 2 2" << "" << false << 0;
    // An old loader's silent line: the answers pay in order, and which line had none is not known.
    QTest::newRow("old loader: the last send unpaid") << "s1 s2 ~ s3 @#" << 3 << "1 2 2" << "3:noAnswer" << false << 0;
    QTest::newRow("a prompt or a hold: no time taught") << "s1 u ~ s2 ~ s3 @#" << 3 << "1u 2 3 3" << "" << false << 0;
    QTest::newRow("a restart during the transfer") << "r1 s1 ~ s2 r2 ~ s3 r3" << 2 << "1 2" << "" << false << 2;
    QTest::newRow("a restart after the update's end") << "s1 ~ s2 @# r2" << 2 << "1 2 2" << "" << false << 0;
    // clang-format on
}

void AnswerLedgerTest::books() {
    QFETCH(QString, script);
    QFETCH(int, lines);
    QFETCH(QString, paid);
    QFETCH(QString, notAccepted);
    QFETCH(bool, outOfStep);
    QFETCH(int, restartedAt);
    AnswerLedger ledger;
    QCOMPARE(Play(ledger, script), paid);
    QStringList ends;
    for (const LineNotAccepted& l : ledger.NotAccepted(lines)) {
        ends << QStringLiteral("%1:%2").arg(l.line).arg(WhyName(l.why)) + (l.prompted ? "*" : "");
    }
    QCOMPARE(ends.join(' '), notAccepted);
    QCOMPARE(ledger.OutOfStep(), outOfStep);
    QCOMPARE(ledger.RestartedAt(), restartedAt);
    QCOMPARE(ledger.Whole(lines), notAccepted.isEmpty() && !outOfStep && restartedAt == 0);
}

QTEST_GUILESS_MAIN(AnswerLedgerTest)
#include "test_answer_ledger.moc"
