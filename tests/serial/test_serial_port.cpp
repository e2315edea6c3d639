// The real serial layer on a real pseudo-terminal.

#include "event_loop_wakes.h"
#include "failure.h"
#include "files.h"
#include "pty_pair.h"
#include "serial_port_comm.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <functional>
#include <memory>
#include <thread>

namespace {

// A driver that offers the serial-info flags, in front of a pseudo-terminal (whose driver
// offers none): while armed, TIOCGSERIAL and TIOCSSERIAL on that terminal are answered here,
// as the driver of a USB adapter would; every other ioctl goes to the kernel.
struct FakeSerialInfo {
    enum Driver { Offers, KeepsOff, RefusesChange };
    dev_t device = 0;  // the terminal answered for; 0: none, the kernel answers
    Driver driver = Offers;
    int flags = 0;
};
FakeSerialInfo fakeInfo;

}  // namespace

// Every ioctl of this program passes here: the serial layer's, Qt's and the test's own (not
// glibc's, which calls its own). The third argument, a pointer or a small integer wherever
// one is given, goes to the kernel unchanged.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    struct stat st {};
    if ((request == TIOCGSERIAL || request == TIOCSSERIAL) && fakeInfo.device != 0 &&
        ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == fakeInfo.device) {
        auto* info = static_cast<serial_struct*>(arg);
        if (request == TIOCGSERIAL) {
            *info = serial_struct{};
            info->flags = fakeInfo.driver == FakeSerialInfo::KeepsOff ? 0 : fakeInfo.flags;
            return 0;
        }
        if (fakeInfo.driver == FakeSerialInfo::RefusesChange) {
            errno = EPERM;
            return -1;
        }
        if (fakeInfo.driver == FakeSerialInfo::Offers) {
            fakeInfo.flags = info->flags;
        }
        return 0;
    }
    return int(::syscall(SYS_ioctl, fd, request, arg));
}

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

// The reason an operation is refused with; empty if it is not.
QString Refusal(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const Failure& f) {
        return f.reason();
    }
    return QString();
}

// How a port that asked for low latency closes.
enum CloseBy { Asked, HungUp, Destroyed };

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
    void xoffXonStormKeepsEveryByteInOrder_data();
    void xoffXonStormKeepsEveryByteInOrder();
    void lowLatencyIsPutBackOnEveryClose_data();
    void lowLatencyIsPutBackOnEveryClose();
    void refusals();
};

void SerialPortTest::settingsReachTheLine() {
    PtyPair pty;
    QVERIFY(pty.ok());
    pty.PointPortAt(3);
    SerialPortComm comm;
    OpenOn(comm, 3);
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
}

void SerialPortTest::bytesPassUnchangedBothWays() {
    // The port writes while the peer has said XOFF: flow control, not a fault. The output is
    // held while bytes come the other way (only XON releases it, not any byte), then sent.
    // A pseudo-terminal's driver offers no low latency: the port opens all the same, and the
    // refusal is only a note.
    PtyPair pty;
    pty.PointPortAt(4);
    SerialPortComm comm;
    QSignalSpy notes(&comm, &SerialPortComm::Noted);
    OpenOn(comm, 4);
    QCOMPARE(notes.count(), 1);
    QCOMPARE(notes.at(0).at(0).toString(), "low latency: not offered by the driver of " +
                                               pty.path() + " (" + qt_error_string(ENOTTY) + ")");
    const QByteArray bytes = AllBytes();
    pty.Write(QByteArray(1, '\x13'));
    QTRY_VERIFY(pty.OutputStopped());
    comm.Output(QString::fromLatin1(bytes));
    // The run must know that its line has not left.
    QVERIFY(comm.OutBufferCount() > 0);

    // No event loop runs here: Input alone must fetch what the system has received.
    pty.Write(bytes);
    QString received;
    for (QDeadlineTimer guard(3000); received.size() < bytes.size() && !guard.hasExpired();) {
        comm.WaitForInput(50);
        received += comm.Input();
    }
    QCOMPARE(received.toLatin1(), bytes);
    QCOMPARE(comm.InBufferCount(), qint16(0));
    QCOMPARE(comm.Input(), QString());
    // The bytes that came did not release the output (as IXANY would have).
    QVERIFY(pty.OutputStopped());
    QVERIFY(comm.OutBufferCount() > 0);
    QVERIFY(pty.Read(1, 0).isEmpty());
    pty.Write(QByteArray(1, '\x11'));
    QByteArray got;
    for (QDeadlineTimer guard(3000); got.size() < bytes.size() && !guard.hasExpired();) {
        comm.WaitForInput(10);
        got += pty.Read(bytes.size() - got.size(), 10);
    }
    QCOMPARE(got, bytes);
    QCOMPARE(comm.OutBufferCount(), qint16(0));

    // Closing drops output still held, instead of waiting for an XON that may never come.
    pty.Write(QByteArray(1, '\x13'));
    QTRY_VERIFY(pty.OutputStopped());
    comm.Output(QString::fromLatin1(bytes));
    comm.PortOpen(false);
    pty.Write(QByteArray(1, '\x11'));
    QTRY_VERIFY(!pty.OutputStopped());
    // A byte written behind anything the port left on the line comes first.
    QVERIFY(pty.WriteAsPort("!"));
    QCOMPARE(pty.Read(1), QByteArray("!"));
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
        const QDeadlineTimer guard(10000);
        for (int toggles = 0; !stop && got.size() < data.size() && !guard.hasExpired(); ++toggles) {
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
    const QString failure = Refusal([&] {
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
    });
    stop = true;
    peer.join();
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QCOMPARE(got.size(), data.size());
    QVERIFY(got == data);
    QCOMPARE(comm.Input(), QString());  // neither a fault pending nor a closed port
}

void SerialPortTest::lowLatencyIsPutBackOnEveryClose_data() {
    // A driver that offers the flag, one that already has it on, one that takes the call and
    // keeps the flag off, one that refuses the change; then the way the port closes. The flag
    // is on while the port is open where the driver offers it, and the driver has its own
    // setting back (its other flags too) once the port is closed, whichever way.
    QTest::addColumn<int>("driver");
    QTest::addColumn<int>("flagsBefore");
    QTest::addColumn<int>("close");
    QTest::addColumn<QString>("note");
    QTest::addColumn<bool>("onWhileOpen");
    const int other = ASYNC_SKIP_TEST;
    const int low = ASYNC_LOW_LATENCY;
    const QString asked = "asked of the driver of %1 (was off; put back on close)";
    QTest::newRow("offered, closed")
        << int(FakeSerialInfo::Offers) << other << int(Asked) << asked << true;
    QTest::newRow("offered, hung up")
        << int(FakeSerialInfo::Offers) << other << int(HungUp) << asked << true;
    QTest::newRow("offered, destroyed")
        << int(FakeSerialInfo::Offers) << other << int(Destroyed) << asked << true;
    QTest::newRow("already on") << int(FakeSerialInfo::Offers) << (other | low) << int(Asked)
                                << "already on in the driver of %1 (left as it was)" << true;
    QTest::newRow("kept off") << int(FakeSerialInfo::KeepsOff) << other << int(Asked)
                              << "not offered by the driver of %1 (it keeps the flag off)" << false;
    QTest::newRow("change refused")
        << int(FakeSerialInfo::RefusesChange) << other << int(Destroyed)
        << "not offered by the driver of %1 (" + qt_error_string(EPERM) + ")" << false;
}

void SerialPortTest::lowLatencyIsPutBackOnEveryClose() {
    QFETCH(int, driver);
    QFETCH(int, flagsBefore);
    QFETCH(int, close);
    QFETCH(QString, note);
    QFETCH(bool, onWhileOpen);
    PtyPair pty;
    pty.PointPortAt(7);
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(pty.path()).constData(), &st), 0);
    fakeInfo = {st.st_rdev, FakeSerialInfo::Driver(driver), flagsBefore};
    const auto disarm = qScopeGuard([] { fakeInfo = {}; });

    auto comm = std::make_unique<SerialPortComm>();
    QSignalSpy notes(comm.get(), &SerialPortComm::Noted);
    OpenOn(*comm, 7);
    QCOMPARE(notes.count(), 1);
    QCOMPARE(notes.at(0).at(0).toString(), "low latency: " + note.arg(pty.path()));
    QCOMPARE((fakeInfo.flags & ASYNC_LOW_LATENCY) != 0, onWhileOpen);
    comm->Output(QStringLiteral("x"));
    QCOMPARE(pty.Read(1), QByteArray("x"));

    switch (close) {
        case Asked:
            comm->PortOpen(false);
            break;
        case HungUp:
            // The hang-up closes the port by itself; the next operation reports it.
            pty.HangUp();
            QVERIFY(!Refusal([&] { comm->WaitForInput(1000); }).isEmpty());
            QVERIFY(!comm->PortOpen());
            break;
        default:
            comm.reset();
            break;
    }
    QCOMPARE(fakeInfo.flags, flagsBefore);
}

void SerialPortTest::refusals() {
    // Each row: a port left closed, open, open with the far side gone (noticed by the event
    // loop or not yet), or closed while another port holds the line; then the operation refused,
    // the start of its reason (%1: the line, %2: a folder of the test's) and whether the port
    // is open after. One datalogger, one updater: the device itself is locked, so a link to
    // it is refused while it is open under its own name. A refused change closes the port,
    // as a half-changed line cannot be trusted; a hang-up is reported once.
    enum Setup { Closed, Open, Held, FarGone, LoopNoticed };
    QTemporaryDir dir;
    const auto openLink = [&dir](const char* name) {
        return [&dir, name](SerialPortComm& c) {
            qputenv("QUORVEL_COM6", dir.filePath(QLatin1String(name)).toLocal8Bit());
            OpenOn(c, 6);
        };
    };
    const struct {
        Setup setup;
        std::function<void(SerialPortComm&)> operation;
        QString reason;
        bool openAfter;
    } cases[] = {
        {Closed, [](SerialPortComm& c) { c.CommPort(0); }, "Invalid port number", false},
        {Closed, [](SerialPortComm& c) { c.Settings("fast,n,8,1"); }, "Invalid property value",
         false},
        {Closed, [](SerialPortComm& c) { c.Handshaking(7); }, "Invalid property value", false},
        {Closed, [](SerialPortComm& c) { c.Output("x"); }, "Port not open", false},
        {Closed, openLink("ttyUSB9"), "%2/ttyUSB9: no such device", false},
        {Closed, openLink(""), "%2: a folder, not a serial device", false},
        {Closed, openLink("some.txt"), "%2/some.txt: not a serial device", false},
        {Closed, openLink("null"), "%2/null (/dev/null): not a serial device", false},
        {Held, openLink("by-id"),
         "%2/by-id (%1): in use by test_serial_port (process " +
             QString::number(QCoreApplication::applicationPid()),
         false},
        {Open, [](SerialPortComm& c) { c.PortOpen(true); }, "Port already open", true},
        {Open, [](SerialPortComm& c) { c.CommPort(2); },
         "Operation not valid while the port is opened", true},
        {FarGone, [](SerialPortComm& c) { c.Settings("9600,n,8,1"); },
         "%1: cannot set line format: " + qt_error_string(EIO), false},
        {FarGone, [](SerialPortComm& c) { c.Handshaking(0); },
         "%1: cannot set flow control: " + qt_error_string(EIO), false},
        {FarGone, [](SerialPortComm& c) { c.Input(); }, "%1: The device went away", false},
        {LoopNoticed, [](SerialPortComm& c) { c.Input(); }, "%1: The device went away", false},
    };
    // A regular file, and a character device that is no terminal.
    QVERIFY(WriteFile(dir.filePath(QStringLiteral("some.txt")), QByteArray()));
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), dir.filePath(QStringLiteral("null"))));
    for (const auto& test : cases) {
        PtyPair pty;
        QFile::remove(dir.filePath(QStringLiteral("by-id")));
        QVERIFY(QFile::link(pty.path(), dir.filePath(QStringLiteral("by-id"))));
        pty.PointPortAt(5);
        SerialPortComm comm, holder;
        if (test.setup != Closed) {
            OpenOn(test.setup == Held ? holder : comm, 5);
        }
        if (test.setup >= FarGone) {
            pty.HangUp();
        }
        if (test.setup == LoopNoticed) {
            // The event loop notices the hang-up and must not spin after it.
            const int wakes = EventLoopWakes(100);
            QVERIFY2(wakes < 50, qPrintable(QStringLiteral("the event loop woke %1 times").arg(wakes)));
        }
        const QString reason =
            QString(test.reason).replace("%1", pty.path()).replace("%2", dir.path());
        const QString got = Refusal([&] { test.operation(comm); });
        QVERIFY2(got.startsWith(reason), qPrintable(reason + " / " + got));
        QVERIFY2(comm.PortOpen() == test.openAfter, qPrintable(reason));
        if (!test.openAfter) {
            QCOMPARE(Refusal([&] { comm.Input(); }), QStringLiteral("Port not open"));
        }
        if (test.setup >= FarGone) {
            QCOMPARE(comm.Settings(), QStringLiteral("57600,n,8,1"));
            QCOMPARE(comm.Handshaking(), int(MSComm::XonXoff));
        }
    }
    qunsetenv("QUORVEL_COM6");
}

QTEST_GUILESS_MAIN(SerialPortTest)
#include "test_serial_port.moc"
