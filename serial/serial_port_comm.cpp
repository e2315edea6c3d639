#include "serial_port_comm.h"

#include "failure.h"
#include "line_settings.h"
#include "port_access.h"
#include "port_names.h"

#include <QDeadlineTimer>
#include <QScopedValueRollback>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
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
        closePort();
    }
}

void SerialPortComm::Handshaking(int mode) {
    if (mode < NoHandshaking || mode > RtsCtsXonXoff) {
        throw Failure(QStringLiteral("Invalid property value"));
    }
    const int before = handshaking_;
    handshaking_ = mode;
    if (port_.isOpen()) {
        // A refused change may have left the line half set, so the port closes and the
        // property keeps the value the line last took. The Failure raised here is the one
        // report of it: later operations find a port that is simply not open.
        try {
            applyHandshaking();
        } catch (const Failure&) {
            handshaking_ = before;
            closePort();
            throw;
        }
    }
}

void SerialPortComm::applyLineDiscipline() {
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
    const QScopedValueRollback<bool> own(changingLine_, true);
    if (!port_.setFlowControl(flow)) {
        const QString reason = port_.errorString();
        port_.clearError();
        throw Failure(device_ + QStringLiteral(": cannot set flow control: ") + reason);
    }
    applyLineDiscipline();
}

void SerialPortComm::Settings(const QString& settings) {
    if (!ParseLineSettings(settings)) {
        throw Failure(QStringLiteral("Invalid property value: ") + settings);
    }
    const QString before = settings_;
    settings_ = settings;
    if (port_.isOpen()) {
        // As for Handshaking: one Failure with the driver's reason, and a closed port.
        try {
            applySettings();
        } catch (const Failure&) {
            settings_ = before;
            closePort();
            throw;
        }
    }
}

void SerialPortComm::applySettings() {
    const LineSettings s = *ParseLineSettings(settings_);
    const QScopedValueRollback<bool> own(changingLine_, true);
    if (!port_.setBaudRate(s.baud) || !port_.setParity(s.parity) ||
        !port_.setDataBits(s.dataBits) || !port_.setStopBits(s.stopBits)) {
        const QString reason = port_.errorString();
        port_.clearError();
        throw Failure(device_ + QStringLiteral(": cannot set line format: ") + reason);
    }
    applyLineDiscipline();
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

bool SerialPortComm::PortOpen() const {
    return port_.isOpen();
}

void SerialPortComm::PortOpen(bool open) {
    if (!open) {
        if (port_.isOpen()) {
            closePort();
        }
        readNotifier_.reset();
        writeNotifier_.reset();
        pendingFailure_.reset();
        received_.clear();
        return;
    }
    if (port_.isOpen()) {
        throw Failure(QStringLiteral("Port already open"));
    }
    pendingFailure_.reset();
    received_.clear();
    device_ = pinnedDevice_.isEmpty() ? PortDeviceName(commPort_) : pinnedDevice_;
    const QString real = port_access::RealDevice(commPort_, device_);
    port_.setPortName(real);
    if (!port_.open(QIODevice::ReadWrite)) {
        const QString reason = port_access::OpenFailure(
            device_, real, describe(port_.error()) + QStringLiteral(": ") + port_.errorString());
        port_.clearError();
        throw Failure(reason);
    }
    QString note;
    try {
        const QString refused = port_access::Lock(port_.handle(), device_, real);
        if (!refused.isEmpty()) {
            throw Failure(refused);
        }
        // Only once the device is this program's: a driver setting is not changed under
        // another program's feet. Whatever the driver says, the open goes on.
        note = lowLatency_.Ask(port_.handle(), device_);
        applySettings();
        applyHandshaking();
        takeOverIo();
    } catch (...) {
        closePort();
        throw;
    }
    if (!note.isEmpty()) {
        emit Noted(note);
    }
}

void SerialPortComm::closePort() {
    if (readNotifier_) {
        readNotifier_->setEnabled(false);
    }
    if (writeNotifier_) {
        writeNotifier_->setEnabled(false);
    }
    queued_.clear();
    // Every close passes here (a close asked for, a refused change, a hang-up, the
    // destructor), so the driver's latency setting is put back whichever way the port goes.
    lowLatency_.PutBack(port_.handle());
#ifdef Q_OS_UNIX
    // What was not sent by now never will be. The driver's own output goes too, and a line
    // held by XOFF is released first: a real port's last close otherwise waits, up to its
    // closing time (30 s by default), for held output to drain. On a line that is gone
    // both calls fail, and nothing is left to wait for anyway.
    const int fd = static_cast<int>(port_.handle());
    ::tcflush(fd, TCOFLUSH);
    ::tcflow(fd, TCOON);
#endif
    const QScopedValueRollback<bool> own(changingLine_, true);
    port_.close();
    port_.clearError();
}

void SerialPortComm::takeOverIo() {
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
    writeNotifier_ = std::make_unique<QSocketNotifier>(port_.handle(), QSocketNotifier::Write);
    writeNotifier_->setEnabled(false);
    connect(writeNotifier_.get(), &QSocketNotifier::activated, this, [this] { sendQueued(); });
#endif
}

void SerialPortComm::onError(QSerialPort::SerialPortError error) {
    if (error == QSerialPort::NoError || changingLine_ || !port_.isOpen() || pendingFailure_) {
        return;
    }
#ifdef Q_OS_UNIX
    // This class reads and writes the line itself and reports those faults; what QSerialPort
    // reports besides comes from its own notifiers, should they ever run. Qt names "try
    // again" and a line that is gone alike (a resource error), so the line decides: only one
    // that polls as hung up is.
    pollfd p{static_cast<int>(port_.handle()), 0, 0};
    if (::poll(&p, 1, 0) < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) {
        port_.clearError();
        return;
    }
    hangUp(QStringLiteral("The device went away: ") + port_.errorString());
#else
    // Time-outs are what an empty poll reports; they are no fault of the line.
    if (error != QSerialPort::TimeoutError) {
        hangUp(describe(error) + QStringLiteral(": ") + port_.errorString());
    }
#endif
}

void SerialPortComm::lineFault(const QString& what, int err) {
    const QString reason = QString::fromLocal8Bit(strerror(err));
#ifdef Q_OS_UNIX
    if (err == EIO || err == ENXIO) {
        hangUp(QStringLiteral("The device went away: ") + reason);
        return;
    }
#endif
    // Any other refusal leaves a descriptor the run cannot trust either.
    hangUp(what + QStringLiteral(": ") + reason);
}

void SerialPortComm::hangUp(const QString& reason) {
    if (pendingFailure_) {
        return;
    }
    pendingFailure_ = device_ + QStringLiteral(": ") + reason;
    closePort();
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
        if (n == 0) {
            hangUp(QStringLiteral("The device went away"));
        } else {
            lineFault(QStringLiteral("Read error"), errno);
        }
        return;
    }
#else
    port_.waitForReadyRead(0);
#endif
}

void SerialPortComm::sendQueued() {
#ifdef Q_OS_UNIX
    const int fd = static_cast<int>(port_.handle());
    while (!queued_.isEmpty() && port_.isOpen()) {
        const ssize_t n = ::write(fd, queued_.constData(), size_t(queued_.size()));
        if (n > 0) {
            queued_.remove(0, n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            break;  // held by XOFF, or the driver's buffer is full: the notifier says when
        } else {
            lineFault(QStringLiteral("Write error"), errno);
        }
    }
    if (writeNotifier_ && port_.isOpen()) {
        writeNotifier_->setEnabled(!queued_.isEmpty());
    }
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
#ifdef Q_OS_UNIX
    // Bytes of a later Output never overtake queued ones: they join the queue, which the
    // write notifier (or WaitForInput) empties in order.
    if (!queued_.isEmpty()) {
        queued_ += bytes;
        return;
    }
    // With nothing queued, the bytes go to the driver directly, one write per line.
    lastLook_.start();
    const int fd = static_cast<int>(port_.handle());
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        } else {
            lineFault(QStringLiteral("Write error"), errno);
            requireOpen();
        }
    }
    if (done < bytes.size()) {
        // A line held by XOFF, or more than the driver takes at once. The event loop's
        // write notifier sends the rest when the driver takes bytes again.
        queued_ = bytes.mid(done);
        writeNotifier_->setEnabled(true);
    }
#else
    if (port_.write(bytes) != bytes.size()) {
        requireOpen();
        throw Failure(QStringLiteral("Write error: ") + port_.errorString());
    }
    requireOpen();
#endif
}

qint16 SerialPortComm::OutBufferCount() {
    requireOpen();
    qsizetype count = queued_.size();
#ifdef Q_OS_UNIX
    // A real UART's driver takes a line whole and holds it in its own buffer while the
    // datalogger's XOFF lasts; on a pseudo-terminal a held write is refused and the bytes
    // stay queued here. Either way the run must know its line has not left. One system
    // call; the run asks only once a wait has run out, never for a line that went out.
    int pending = 0;
    if (::ioctl(static_cast<int>(port_.handle()), TIOCOUTQ, &pending) == 0 && pending > 0) {
        count += pending;
    }
#else
    count += port_.bytesToWrite();
#endif
    return static_cast<qint16>(qMin<qsizetype>(count, 32767));
}

void SerialPortComm::WaitForInput(int msecs) {
    requireOpen();
    if (!received_.isEmpty()) {
        return;
    }
#ifdef Q_OS_UNIX
    // Queued bytes (a line held by XOFF, a line longer than the driver takes at once) go
    // out while the caller waits here: this wait does not run the event loop that would
    // otherwise send them, and the bootloader cannot answer a line it never got. With
    // nothing queued, this is one poll.
    const QDeadlineTimer deadline(msecs);
    while (port_.isOpen()) {
        const bool queued = !queued_.isEmpty();
        pollfd p{static_cast<int>(port_.handle()), short(POLLIN | (queued ? POLLOUT : 0)), 0};
        const int ready = ::poll(&p, 1, int(deadline.remainingTime()));
        if (ready <= 0) {
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            break;
        }
        if ((p.revents & POLLOUT) != 0) {
            sendQueued();
        }
        if (port_.isOpen() && (p.revents & POLLIN) != 0) {
            pull();
        }
        // A hung-up line polls as ready at once, forever: without this the caller would spin.
        if (port_.isOpen() && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            hangUp(QStringLiteral("The device went away"));
        }
        // Only room to write: the wait for input goes on.
        if (p.revents != POLLOUT || deadline.hasExpired()) {
            break;
        }
    }
#else
    port_.waitForReadyRead(msecs);
#endif
    requireOpen();
}
