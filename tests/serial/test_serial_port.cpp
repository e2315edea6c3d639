// The real serial layer on a real pseudo-terminal.

#include "failure.h"
#include "pty_pair.h"
#include "serial_port_comm.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <functional>
#include <thread>

namespace {

// All byte values but XON and XOFF, which the line discipline keeps for flow control.
QByteArray AllBytes() {
    QByteArray bytes;
    for (int b = 0; b < 256; ++b) {
        if (b != 0x11 && b != 0x13) {
            bytes.append(char(b));
        }
    }
    return bytes;
}

void OpenOn(SerialPortComm& comm, int port) {
    comm.Handshaking(MSComm::XonXoff);
    comm.Settings(QStringLiteral("57600,n,8,1"));
    comm.CommPort(static_cast<qint16>(port));
    comm.PortOpen(true);
}

}  // namespace

class SerialPortTest : public QObject {
    Q_OBJECT
private slots:
    void settingsReachTheLine();
    void bytesPassUnchangedBothWays();
    void xoffHoldsOutputWithoutAFailure();
    void xoffXonStormKeepsEveryByteInOrder_data();
    void xoffXonStormKeepsEveryByteInOrder();
    void refusedOperations();
    void openRefusalsSayWhy();
    void refusedChangeOnAnOpenPort();
    void farSideClosing_data();
    void farSideClosing();
};

void SerialPortTest::settingsReachTheLine() {
    PtyPair pty;
    QVERIFY(pty.ok());
    pty.PointPortAt(3);
    SerialPortComm comm;
    OpenOn(comm, 3);
    QVERIFY(comm.PortOpen());
    const termios t = pty.Settings();
    QCOMPARE(cfgetospeed(&t), speed_t(B57600));
    QCOMPARE(cfgetispeed(&t), speed_t(B57600));
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    // Strict XON/XOFF: only XON releases held output, not any byte (IXANY).
    QCOMPARE(t.c_iflag & (IXON | IXOFF | IXANY), tcflag_t(IXON | IXOFF));
    QCOMPARE(t.c_lflag & (ICANON | ECHO), tcflag_t(0));

    // A change of format on an open port reaches the line at once. (A pseudo-terminal keeps
    // 8 data bits and no parity whatever it is told, so only speed and stop bits can show.)
    comm.Settings(QStringLiteral("9600,n,8,2"));
    const termios changed = pty.Settings();
    QCOMPARE(cfgetospeed(&changed), speed_t(B9600));
    QCOMPARE(changed.c_cflag & CSTOPB, tcflag_t(CSTOPB));
    QCOMPARE(changed.c_iflag & (IXON | IXOFF | IXANY), tcflag_t(IXON | IXOFF));
    comm.PortOpen(false);
    QVERIFY(!comm.PortOpen());
}

void SerialPortTest::bytesPassUnchangedBothWays() {
    PtyPair pty;
    QVERIFY(pty.ok());
    pty.PointPortAt(4);
    SerialPortComm comm;
    OpenOn(comm, 4);
    const QByteArray bytes = AllBytes();

    comm.Output(QString::fromLatin1(bytes));
    QCOMPARE(pty.Read(bytes.size()), bytes);

    // No event loop runs here: Input alone must fetch what the system has received.
    pty.Write(bytes);
    QString received;
    QElapsedTimer waited;
    waited.start();
    while (received.size() < bytes.size() && waited.elapsed() < 3000) {
        comm.WaitForInput(50);
        if (comm.InBufferCount() > 0) {
            received += comm.Input();
        }
    }
    QCOMPARE(received.toLatin1(), bytes);
    QCOMPARE(comm.InBufferCount(), qint16(0));
    QCOMPARE(comm.Input(), QString());
}

void SerialPortTest::xoffHoldsOutputWithoutAFailure() {
    // A peer that says XOFF holds what the port writes; that is flow control, not a fault,
    // and the bytes go out when the peer says XON, and only then: other bytes do not.
    PtyPair pty;
    pty.PointPortAt(2);
    SerialPortComm comm;
    OpenOn(comm, 2);
    pty.Write(QByteArray(1, '\x13'));
    QTest::qWait(20);
    const QByteArray line(":10000000000102030405060708090A0B0C0D0E0F78");
    for (int i = 0; i < 3; ++i) {
        comm.Output(QString::fromLatin1(line));
        QCoreApplication::processEvents();
    }
    QVERIFY(pty.Read(1, 100).isEmpty());
    pty.Write("x");
    QTest::qWait(50);
    QVERIFY(pty.Read(1, 50).isEmpty());
    pty.Write(QByteArray(1, '\x11'));
    QByteArray got;
    QElapsedTimer waited;
    waited.start();
    while (got.size() < 3 * line.size() && waited.elapsed() < 3000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        got += pty.Read(3 * line.size() - got.size(), 10);
    }
    QCOMPARE(got, line + line + line);
    QVERIFY(comm.PortOpen());
    QCOMPARE(comm.Input(), QStringLiteral("x"));

    // Closing drops output still held, instead of waiting for an XON that may never come.
    pty.Write(QByteArray(1, '\x13'));
    QTest::qWait(20);
    comm.Output(QString::fromLatin1(line));
    comm.PortOpen(false);
    pty.Write(QByteArray(1, '\x11'));
    QVERIFY(pty.Read(1, 100).isEmpty());
}

void SerialPortTest::xoffXonStormKeepsEveryByteInOrder_data() {
    QTest::addColumn<bool>("eventLoop");
    QTest::newRow("queue sent by the event loop") << true;
    QTest::newRow("queue sent by WaitForInput") << false;
}

void SerialPortTest::xoffXonStormKeepsEveryByteInOrder() {
    // The peer, in a thread of its own, holds and releases the line hundreds of times while
    // a large output drains, sent by one path alone (a wait without the event loop must send
    // the queue as well as the event loop does, or the datalogger never answers). An XOFF
    // that lands between a poll and a write makes the write "try again"; that must never
    // pass for a fault, nor lose, repeat or reorder a byte.
    QFETCH(bool, eventLoop);
    PtyPair pty;
    pty.PointPortAt(8);
    SerialPortComm comm;
    OpenOn(comm, 8);
    QByteArray data;
    while (data.size() < 1024 * 1024) {
        data += AllBytes();
    }
    QByteArray got;
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        QElapsedTimer waited;
        waited.start();
        for (int toggles = 0; !stop && got.size() < data.size() && waited.elapsed() < 10000;
             ++toggles) {
            const qsizetype some = qMin<qsizetype>(data.size() - got.size(), 256);
            if (toggles < 3000) {
                pty.Write(QByteArray(1, '\x13'));
                got += pty.Read(some, 0);
                pty.Write(QByteArray(1, '\x11'));
            }
            got += pty.Read(some, 1);
        }
        stop = true;
    });
    QTimer pacer;
    pacer.start(1);
    QString failure;
    try {
        for (qsizetype given = 0; !stop; given += 4096) {
            if (given < data.size()) {
                comm.Output(QString::fromLatin1(data.mid(given, 4096)));
            }
            if (eventLoop) {
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            } else {
                comm.WaitForInput(1);
            }
        }
    } catch (const Failure& f) {
        failure = f.reason();
    }
    stop = true;
    peer.join();
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QCOMPARE(got.size(), data.size());
    QVERIFY(got == data);
    QVERIFY(comm.PortOpen());
    QCOMPARE(comm.Input(), QString());
}

void SerialPortTest::refusedOperations() {
    PtyPair pty;
    pty.PointPortAt(5);
    struct Case {
        const char* what;
        bool onOpenPort;
        std::function<void(SerialPortComm&)> operation;
    };
    const Case cases[] = {
        {"port number 0", false, [](SerialPortComm& c) { c.CommPort(0); }},
        {"bad line format", false, [](SerialPortComm& c) { c.Settings("fast,n,8,1"); }},
        {"bad flow control", false, [](SerialPortComm& c) { c.Handshaking(7); }},
        {"read while closed", false, [](SerialPortComm& c) { c.Input(); }},
        {"write while closed", false, [](SerialPortComm& c) { c.Output("x"); }},
        {"open twice", true, [](SerialPortComm& c) { c.PortOpen(true); }},
        {"port number while open", true, [](SerialPortComm& c) { c.CommPort(2); }},
    };
    for (const Case& test : cases) {
        SerialPortComm comm;
        if (test.onOpenPort) {
            OpenOn(comm, 5);
        }
        QVERIFY_THROWS_EXCEPTION(Failure, test.operation(comm));
        QVERIFY2(comm.PortOpen() == test.onOpenPort, test.what);
    }
}

void SerialPortTest::openRefusalsSayWhy() {
    // One datalogger, one updater: the device is locked itself, so a link to it (a by-id
    // name, say) is refused while the device is open under its own name.
    PtyPair pty;
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("by-id"));
    QVERIFY(QFile::link(pty.path(), link));
    pty.PointPortAt(5);
    SerialPortComm holder;
    OpenOn(holder, 5);
    const struct {
        QString device;
        QString reason;
    } cases[] = {
        {link, link + " (" + pty.path() + "): in use by test_serial_port (process " +
                   QString::number(QCoreApplication::applicationPid())},
        {dir.filePath(QStringLiteral("ttyUSB9")), dir.filePath(QStringLiteral("ttyUSB9")) + ": no such device"},
        {dir.path(), dir.path() + ": a folder, not a serial device"},
    };
    for (const auto& test : cases) {
        qputenv("QUORVEL_COM6", test.device.toLocal8Bit());
        SerialPortComm comm;
        try {
            OpenOn(comm, 6);
            QFAIL(qPrintable(test.device + " opened"));
        } catch (const Failure& f) {
            QVERIFY2(f.reason().startsWith(test.reason), qPrintable(f.reason()));
        }
    }
    qunsetenv("QUORVEL_COM6");
}

void SerialPortTest::refusedChangeOnAnOpenPort() {
    // The driver refuses the change (here because the far side is gone, which no event loop
    // has noticed yet). The one Failure names the driver's reason; the port is then closed,
    // as a half-changed line cannot be trusted, and later operations report just that.
    struct Case {
        const char* what;
        std::function<void(SerialPortComm&)> change;
    };
    const Case cases[] = {
        {": cannot set line format: ", [](SerialPortComm& c) { c.Settings("9600,n,8,1"); }},
        {": cannot set flow control: ", [](SerialPortComm& c) { c.Handshaking(0); }},
    };
    for (const Case& test : cases) {
        PtyPair pty;
        pty.PointPortAt(9);
        SerialPortComm comm;
        OpenOn(comm, 9);
        pty.CloseOwnSlave();
        pty.CloseMaster();
        QStringList reasons;
        for (int i = 0; i < 2; ++i) {
            try {
                i == 0 ? test.change(comm) : void(comm.Input());
            } catch (const Failure& f) {
                reasons << f.reason();
            }
        }
        QCOMPARE(reasons, QStringList({pty.path() + test.what + qt_error_string(EIO), "Port not open"}));
        QCOMPARE(comm.Settings(), QStringLiteral("57600,n,8,1"));
        QCOMPARE(comm.Handshaking(), int(MSComm::XonXoff));
    }
}

void SerialPortTest::farSideClosing_data() {
    QTest::addColumn<bool>("eventLoopFirst");
    QTest::newRow("noticed by a read") << false;
    QTest::newRow("noticed by the event loop") << true;
}

void SerialPortTest::farSideClosing() {
    QFETCH(bool, eventLoopFirst);
    PtyPair pty;
    pty.PointPortAt(7);
    SerialPortComm comm;
    OpenOn(comm, 7);
    pty.CloseOwnSlave();
    pty.CloseMaster();

    if (eventLoopFirst) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 100) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
    }
    QStringList reasons;
    for (int i = 0; i < 3; ++i) {
        try {
            comm.Input();
        } catch (const Failure& f) {
            reasons << f.reason();
        }
    }
    // The hang-up is reported once; every later read fails as a read of a closed port.
    QCOMPARE(reasons.size(), 3);
    QVERIFY2(reasons[0] != QLatin1String("Port not open"), qPrintable(reasons[0]));
    QCOMPARE(reasons[1], QStringLiteral("Port not open"));
    QVERIFY(!comm.PortOpen());

    // A hung-up line must not keep the event loop busy: a busy loop would use all of the
    // 300 ms; an idle one, woken every 10 ms as during a run, next to nothing.
    QTimer pacer;
    pacer.start(10);
    const double before = ProcessCpuMs();
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 300) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    QVERIFY2(ProcessCpuMs() - before < 150, "the event loop spins after a hang-up");
}

QTEST_GUILESS_MAIN(SerialPortTest)
#include "test_serial_port.moc"
