#include "serial_port_comm.h"

#include "failure.h"
#include "line_settings.h"
#include "port_names.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace {

QString describe(QSerialPort::SerialPortError error) {
    switch (error) {
        case QSerialPort::DeviceNotFoundError:
            return QStringLiteral("Port not found");
        case QSerialPort::PermissionError:
            return QStringLiteral("Port already open or access denied");
        case QSerialPort::OpenError:
            return QStringLiteral("Port already open");
        case QSerialPort::NotOpenError:
            return QStringLiteral("Port not open");
        case QSerialPort::WriteError:
            return QStringLiteral("Write error");
        case QSerialPort::ReadError:
            return QStringLiteral("Read error");
        case QSerialPort::ResourceError:
            return QStringLiteral("The device went away");
        case QSerialPort::UnsupportedOperationError:
            return QStringLiteral("Unsupported operation");
        default:
            return QStringLiteral("Driver error");
    }
}

}  // namespace

SerialPortComm::SerialPortComm(QObject* parent) : QObject(parent) {
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialPortComm::onError);
    // What the event loop reads for the port joins what Input pulls itself, in order.
    connect(&port_, &QSerialPort::readyRead, this, [this] { received_ += port_.readAll(); });
    // The received bytes stay in the port's buffer until Input takes them; an unlimited
    // buffer means the driver never has to drop a byte because the program is busy.
    port_.setReadBufferSize(0);
}

SerialPortComm::~SerialPortComm() {
    disconnect(&port_, nullptr, this, nullptr);
    if (port_.isOpen()) {
        port_.close();
    }
}

void SerialPortComm::Handshaking(int mode) {
    if (mode < NoHandshaking || mode > RtsCtsXonXoff) {
        throw Failure(QStringLiteral("Invalid property value"));
    }
    handshaking_ = mode;
    if (port_.isOpen()) {
        applyHandshaking();
    }
}

void SerialPortComm::applyReadMode() {
#ifdef Q_OS_UNIX
    // Reads on the descriptor never block the window's thread. With at least one byte to
    // wait for, a read of a quiet line fails with "try again" and a read of 0 bytes means
    // the line has hung up; with none (QSerialPort's choice) both read as 0 bytes.
    // IXANY is cleared whatever the handshaking: with it, any received byte (noise, or the
    // datalogger's own chatter) would release output the datalogger held with XOFF.
    // QSerialPort writes its whole terminal setting at each change, so this follows each;
    // it writes only what differs, so an unchanged line costs no more than one look.
    const int fd = static_cast<int>(port_.handle());
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    termios t{};
    if (::tcgetattr(fd, &t) == 0 &&
        (t.c_cc[VMIN] != 1 || t.c_cc[VTIME] != 0 || (t.c_iflag & IXANY) != 0)) {
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        t.c_iflag &= ~tcflag_t(IXANY);
        ::tcsetattr(fd, TCSANOW, &t);
    }
#endif
}

void SerialPortComm::applyHandshaking() {
    // QSerialPort offers one kind of flow control at a time; with both asked for, the
    // hardware lines win because they also protect against a receiver that has stopped.
    QSerialPort::FlowControl flow = QSerialPort::NoFlowControl;
    if (handshaking_ == XonXoff) {
        flow = QSerialPort::SoftwareControl;
    } else if (handshaking_ == RtsCts || handshaking_ == RtsCtsXonXoff) {
        flow = QSerialPort::HardwareControl;
    }
    if (!port_.setFlowControl(flow)) {
        throw Failure(QStringLiteral("Cannot set flow control: ") + port_.errorString());
    }
    applyReadMode();
}

void SerialPortComm::Settings(const QString& settings) {
    if (!ParseLineSettings(settings)) {
        throw Failure(QStringLiteral("Invalid property value: ") + settings);
    }
    settings_ = settings;
    if (port_.isOpen()) {
        applySettings();
    }
}

void SerialPortComm::applySettings() {
    const LineSettings s = *ParseLineSettings(settings_);
    if (!port_.setBaudRate(s.baud) || !port_.setParity(s.parity) ||
        !port_.setDataBits(s.dataBits) || !port_.setStopBits(s.stopBits)) {
        throw Failure(QStringLiteral("Cannot set line format: ") + port_.errorString());
    }
    applyReadMode();
}

void SerialPortComm::CommPort(qint16 port) {
    if (port_.isOpen()) {
        throw Failure(QStringLiteral("Operation not valid while the port is opened"));
    }
    if (port < 1) {
        throw Failure(QStringLiteral("Invalid port number"));
    }
    commPort_ = port;
}

bool SerialPortComm::PortOpen() const { return port_.isOpen(); }

void SerialPortComm::PortOpen(bool open) {
    if (!open) {
        if (port_.isOpen()) {
            // What was not sent by now never will be: a real port would otherwise wait, up
            // to its closing time (30 s by default), for a line held by XOFF to drain.
            port_.clear(QSerialPort::Output);
            readNotifier_.reset();
            port_.close();
        }
        pendingFailure_.reset();
        received_.clear();
        return;
    }
    if (port_.isOpen()) {
        throw Failure(QStringLiteral("Port already open"));
    }
    pendingFailure_.reset();
    received_.clear();
    port_.setPortName(PortDeviceName(commPort_));
    if (!port_.open(QIODevice::ReadWrite)) {
        const QString reason = describe(port_.error()) + QStringLiteral(": ") + port_.errorString();
        port_.clearError();
        throw Failure(reason);
    }
    try {
        applySettings();
        applyHandshaking();
        takeOverReads();
    } catch (...) {
        port_.close();
        throw;
    }
}

void SerialPortComm::takeOverReads() {
#ifdef Q_OS_UNIX
    // The event loop's wake-up for received bytes reads them straight into received_.
    // QSerialPort's own read notifier would take them through its ring buffer, a signal and
    // a copy for every reply; it stays off while the port is open. (Should a Qt version keep
    // its notifier elsewhere, both read, each into received_ in turn, and nothing changes.)
    for (QSocketNotifier* notifier : port_.findChildren<QSocketNotifier*>()) {
        if (notifier->type() == QSocketNotifier::Read) {
            notifier->setEnabled(false);
        }
    }
    readNotifier_ = std::make_unique<QSocketNotifier>(port_.handle(), QSocketNotifier::Read);
    connect(readNotifier_.get(), &QSocketNotifier::activated, this, [this] { pull(); });
#endif
}

void SerialPortComm::onError(QSerialPort::SerialPortError error) {
    // Time-outs are what an empty poll reports; they are no fault of the line.
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError) {
        return;
    }
    if (!port_.isOpen() || pendingFailure_) {
        return;
    }
    hangUp(describe(error) + QStringLiteral(": ") + port_.errorString());
}

void SerialPortComm::hangUp(const QString& reason) {
    if (pendingFailure_) {
        return;
    }
    if (readNotifier_) {
        readNotifier_->setEnabled(false);
    }
    pendingFailure_ = reason;
    port_.clearError();
    port_.close();
}

void SerialPortComm::requireOpen() {
    if (pendingFailure_) {
        const QString reason = *pendingFailure_;
        pendingFailure_.reset();
        throw Failure(reason);
    }
    if (!port_.isOpen()) {
        throw Failure(QStringLiteral("Port not open"));
    }
}

void SerialPortComm::pull() {
    lastLook_.start();
#ifdef Q_OS_UNIX
    // Straight from the descriptor: one system call, and no event loop needed.
    const int fd = static_cast<int>(port_.handle());
    char chunk[4096];
    for (int round = 0; round < 256 && port_.isOpen(); ++round) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            received_.append(chunk, n);
            if (size_t(n) < sizeof chunk) {
                return;
            }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return;
        }
        hangUp(n == 0 ? QStringLiteral("The device went away")
                      : QStringLiteral("The device went away: ") +
                            QString::fromLocal8Bit(strerror(errno)));
        return;
    }
#else
    port_.waitForReadyRead(0);
#endif
}

bool SerialPortComm::lookedJustNow() const {
    return lastLook_.isValid() && lastLook_.nsecsElapsed() < kLookGapNs;
}

qint16 SerialPortComm::InBufferCount() {
    requireOpen();
    if (received_.isEmpty() && !lookedJustNow()) {
        pull();
        requireOpen();
    }
    return static_cast<qint16>(qMin<qsizetype>(received_.size(), 32767));
}

QString SerialPortComm::Input() {
    requireOpen();
    if (received_.isEmpty() && !lookedJustNow()) {
        pull();
        requireOpen();
    }
    QString text = QString::fromLatin1(received_);
    received_.clear();
    return text;
}

void SerialPortComm::Output(const QString& text) {
    requireOpen();
    const QByteArray bytes = text.toLatin1();
    qsizetype done = 0;
#ifdef Q_OS_UNIX
    // With nothing queued, the bytes go to the driver directly: QSerialPort's own write
    // path switches its write notifier on and off for every call, and each switch wakes
    // the event loop, which costs more than the write itself.
    if (port_.bytesToWrite() == 0) {
        lastLook_.start();
        const int fd = static_cast<int>(port_.handle());
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (n > 0) {
                done += n;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else {
                hangUp(QStringLiteral("Write error: ") + QString::fromLocal8Bit(strerror(errno)));
                requireOpen();
            }
        }
        if (done == bytes.size()) {
            return;
        }
    }
#endif
    // The rest waits in QSerialPort's queue and goes out from the event loop when the driver
    // takes bytes again (a full output buffer, a line held by XOFF). No flush here: on a
    // held line it fails with "try again", which QSerialPort reports as a write error.
    const qint64 rest = bytes.size() - done;
    if (port_.write(bytes.constData() + done, rest) != rest) {
        requireOpen();
        throw Failure(QStringLiteral("Write error: ") + port_.errorString());
    }
    requireOpen();
}

void SerialPortComm::WaitForInput(int msecs) {
    requireOpen();
    if (!received_.isEmpty()) {
        return;
    }
#ifdef Q_OS_UNIX
    // Bytes still queued (a line held by XOFF, a line longer than the driver takes at once)
    // go out while the caller waits here: this wait does not run the event loop that would
    // otherwise send them, and the bootloader cannot answer a line it never got.
    const bool queued = port_.bytesToWrite() > 0;
    pollfd p{static_cast<int>(port_.handle()), short(POLLIN | (queued ? POLLOUT : 0)), 0};
    if (::poll(&p, 1, msecs) > 0) {
        if ((p.revents & POLLOUT) != 0) {
            port_.waitForBytesWritten(0);
        }
        if (port_.isOpen() && (p.revents & POLLIN) != 0) {
            pull();
        }
        // A hung-up line polls as ready at once, forever: without this the caller would spin.
        if (port_.isOpen() && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            hangUp(QStringLiteral("The device went away"));
        }
    }
#else
    port_.waitForReadyRead(msecs);
#endif
    requireOpen();
}
