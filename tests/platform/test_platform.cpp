// The platform layer on the side this build has: stop requests reach the event loop on
// POSIX systems, and the Qt-only side, which has none, builds and runs without them.

#include "platform.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>

class PlatformTest : public QObject {
    Q_OBJECT
private slots:
    void stopRequestsReachTheEventLoop();
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

QTEST_GUILESS_MAIN(PlatformTest)
#include "test_platform.moc"
