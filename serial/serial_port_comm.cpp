#include "serial_port_comm.h"

#include "failure.h"
#include "line_settings.h"
#include "port_names.h"

#ifdef Q_OS_UNIX
#include <poll.h>
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
            port_.close();
        }
        pendingFailure_.reset();
        return;
    }
    if (port_.isOpen()) {
        throw Failure(QStringLiteral("Port already open"));
    }
    pendingFailure_.reset();
    port_.setPortName(PortDeviceName(commPort_));
    if (!port_.open(QIODevice::ReadWrite)) {
        const QString reason = describe(port_.error()) + QStringLiteral(": ") + port_.errorString();
        port_.clearError();
        throw Failure(reason);
    }
    try {
        applySettings();
        applyHandshaking();
    } catch (...) {
        port_.close();
        throw;
    }
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

void SerialPortComm::pull(int msecs) {
#ifdef Q_OS_UNIX
    // Poll the descriptor ourselves: an empty QSerialPort::waitForReadyRead reports a
    // time-out error, and a hung-up line must be told apart from a quiet one.
    const int fd = static_cast<int>(port_.handle());
    for (int round = 0; round < 64 && port_.isOpen(); ++round) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, round == 0 ? msecs : 0);
        if (ready <= 0) {
            return;
        }
        if ((p.revents & POLLIN) != 0) {
            if (!port_.waitForReadyRead(0)) {
                return;
            }
        } else {
            hangUp(QStringLiteral("The device went away"));
            return;
        }
    }
#else
    port_.waitForReadyRead(msecs);
#endif
}

qint16 SerialPortComm::InBufferCount() {
    requireOpen();
    pull(0);
    requireOpen();
    return static_cast<qint16>(qMin<qint64>(port_.bytesAvailable(), 32767));
}

QString SerialPortComm::Input() {
    requireOpen();
    pull(0);
    requireOpen();
    return QString::fromLatin1(port_.readAll());
}

void SerialPortComm::Output(const QString& text) {
    requireOpen();
    const QByteArray bytes = text.toLatin1();
    if (port_.write(bytes) != bytes.size()) {
        requireOpen();
        throw Failure(QStringLiteral("Write error: ") + port_.errorString());
    }
    // Hand the bytes to the driver now rather than at the next turn of the event loop:
    // the reply wait starts right after this call. What an XOFF holds back stays queued
    // and goes out when the line is released.
    port_.flush();
    requireOpen();
}

void SerialPortComm::WaitForInput(int msecs) {
    requireOpen();
    if (port_.bytesAvailable() == 0) {
        pull(msecs);
    }
    requireOpen();
}
