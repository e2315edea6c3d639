// The progress figures: what is done, how fast, and how long is left, with the time at
// prompts left out.

#include "progress.h"

#include <QTest>

class ProgressTest : public QObject {
    Q_OBJECT
private slots:
    void figures_data();
    void figures();
};

void ProgressTest::figures_data() {
    // Events on a millisecond clock: "s<line>@<ms>" a send, "p@<ms>" a prompt opens,
    // "a@<ms>" it is answered. The figures are read at `now`, of 200 data lines.
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<int>("percent");
    QTest::addColumn<double>("rate");
    QTest::addColumn<qint64>("left");
    QTest::newRow("nothing sent") << QStringList{} << qint64(5000) << 0 << -1.0 << qint64(-1);
    QTest::newRow("too early to tell") << QStringList{"s1@0", "s2@100"} << qint64(200) << 1 << -1.0 << qint64(-1);
    QTest::newRow("half in a second") << QStringList{"s1@0", "s100@1000"} << qint64(1000) << 50 << 100.0 << qint64(1);
    QTest::newRow("a resend counts once") << QStringList{"s1@0", "s100@1000", "s100@1500"} << qint64(2000) << 50
                                          << 50.0 << qint64(2);
    QTest::newRow("ten seconds at a prompt are no work")
        << QStringList{"s1@0", "s100@1000", "p@1000", "a@11000"} << qint64(11000) << 50 << 100.0 << qint64(1);
    QTest::newRow("a prompt before the first send")
        << QStringList{"p@0", "a@5000", "s1@5000", "s100@6000"} << qint64(6000) << 50 << 100.0 << qint64(1);
    QTest::newRow("all sent") << QStringList{"s1@0", "s200@2000"} << qint64(2000) << 100 << 100.0 << qint64(0);
}

void ProgressTest::figures() {
    QFETCH(QStringList, events);
    QFETCH(qint64, now);
    QFETCH(int, percent);
    QFETCH(double, rate);
    QFETCH(qint64, left);
    Progress progress(200);
    for (const QString& e : events) {
        const qint64 at = e.section('@', 1).toLongLong();
        if (e.startsWith('s')) {
            progress.LineSent(e.section('@', 0, 0).mid(1).toInt(), at);
        } else if (e.startsWith('p')) {
            progress.PauseBegin(at);
        } else {
            progress.PauseEnd(at);
        }
    }
    QCOMPARE(progress.Percent(), percent);
    QCOMPARE(progress.Rate(now), rate);
    QCOMPARE(progress.SecondsLeft(now), left);
}

QTEST_GUILESS_MAIN(ProgressTest)
#include "test_progress.moc"
