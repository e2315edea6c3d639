// The platform layer on the side this build has: what it does on POSIX systems, and what
// the Qt-only side leaves out without failing.

#include "platform.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <cstdio>

class PlatformTest : public QObject {
    Q_OBJECT
private slots:
    void stopRequestsReachTheEventLoop();
    void aFileIsNoTerminal();
};

void PlatformTest::stopRequestsReachTheEventLoop() {
    StopRequests stops(StopRequests::Again::Delivered);
    QSignalSpy requested(&stops, &StopRequests::Requested);
#ifdef QUORVEL_QT_ONLY_PLATFORM
    QVERIFY(!requested.wait(50));
#else
    // Every request is delivered, the second too, and the program goes on.
    for (int i = 0; i < 2; ++i) {
        std::raise(SIGTERM);
        QVERIFY(requested.wait(5000));
        QCOMPARE(requested.takeFirst().value(0).toString(), QStringLiteral("SIGTERM"));
    }
#endif
}

void PlatformTest::aFileIsNoTerminal() {
    FILE* stream = std::tmpfile();
    QVERIFY(stream);
    QVERIFY(!IsTerminal(stream));
    QCOMPARE(TerminalColumns(stream), 80);
    fclose(stream);
}

QTEST_GUILESS_MAIN(PlatformTest)
#include "test_platform.moc"
