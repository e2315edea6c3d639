#pragma once

#include "low_latency.h"
#include "mscomm.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QSocketNotifier>

#include <memory>
#include <optional>

// The serial control over QSerialPort.
//
// Five things go beyond a plain wrapper:
// - Input and InBufferCount pull whatever the operating system holds when nothing is
//   waiting yet, so they see received bytes even when nobody has yielded to the event loop
//   since they arrived.
// - On Unix the reads and writes go to the descriptor directly, each with its own notifier;
//   QSerialPort keeps opening, settings and closing. Its own I/O paths report a busy line
//   ("try again") as a resource error, the same as a line that is gone, and would turn
//   every XOFF that lands between a poll and a write into a false hang-up.
// - XON/XOFF is strict: only XON releases output held by XOFF. QSerialPort's software flow
//   control lets any received byte do it, so one byte of line noise would send a line into
//   a datalogger that asked to be left alone.
// - Only a line that is gone (a USB adapter pulled; on a pseudo-terminal, the other side
//   closing) closes the port, once: left open, the hang-up is reported again at every turn
//   of the event loop and keeps a core busy. The next operation then raises exactly one
//   Failure naming the fault.
// - On Linux, opening asks the driver for low latency (LowLatency), which a USB adapter
//   turns into a short latency timer; every close puts the driver's setting back. What came
//   of it is no failure either way, only a note (Noted).
class SerialPortComm : public QObject, public MSComm {
    Q_OBJECT
public:
    explicit SerialPortComm(QObject* parent = nullptr);
    ~SerialPortComm() override;

    int Handshaking() const override { return handshaking_; }
    void Handshaking(int mode) override;
    QString Settings() const override { return settings_; }
    void Settings(const QString& settings) override;
    qint16 CommPort() const override { return commPort_; }
    void CommPort(qint16 port) override;
    // The device every later open uses, whatever port number is set: a front that was given
    // a device rather than a number (the command line's --port /dev/ttyUSB0). Empty: the
    // port number decides, as in the window.
    void PinDevice(const QString& device) { pinnedDevice_ = device; }
    bool PortOpen() const override;
    void PortOpen(bool open) override;
    qint16 InBufferCount() override;
    QString Input() override;
    void Output(const QString& text) override;
    qint16 OutBufferCount() override;
    QString DeviceName() const override { return device_; }
    void WaitForInput(int msecs) override;

signals:
    // A remark about the line just opened, for whoever wants it (quorvel-cli --verbose);
    // nothing went wrong. Emitted at most once per open, when PortOpen(true) succeeds, before
    // it returns: today the outcome of asking for low latency, naming the device.
    void Noted(const QString& note);

private:
    void applyHandshaking();
    void applySettings();
    // What QSerialPort's own settings leave out: reads that never block and strict XON/XOFF.
    void applyLineDiscipline();
    void takeOverIo();
    void onError(QSerialPort::SerialPortError error);
    // Moves what the operating system has received into received_, without waiting.
    void pull();
    // Hands queued_ to the driver as far as it takes it, without waiting.
    void sendQueued();
    // Whether the port read or wrote the line a moment ago. A read right after a write or
    // an empty read costs a system call and finds nothing: no peer answers within
    // microseconds. Input and InBufferCount then skip it; what arrives meanwhile is taken
    // by the next look, or seen at once by the wait that follows (the event loop's, or
    // WaitForInput's), so nothing is lost or held back beyond the next wait.
    bool lookedJustNow() const;
    static constexpr qint64 kLookGapNs = 20'000;
    // A read or write failed with errno err: a line that is gone, or another driver fault.
    void lineFault(const QString& what, int err);
    void hangUp(const QString& reason);
    // Closes the port at once, dropping whatever was not sent yet.
    void closePort();
    // Raises the failure a hang-up left behind, or "port not open".
    void requireOpen();

    QSerialPort port_;
    int handshaking_ = NoHandshaking;
    QString settings_ = QStringLiteral("57600,n,8,1");
    qint16 commPort_ = 1;
    QString pinnedDevice_;
    std::optional<QString> pendingFailure_;
    // The device behind the port number, as the user knows it; failures name it.
    QString device_;
    // Received and not yet handed over by Input, in arrival order.
    QByteArray received_;
    QElapsedTimer lastLook_;
    // Output the driver did not take yet, in order; later Outputs join its end.
    QByteArray queued_;
    // Set while this class calls a QSerialPort setter: it reports that call's failure
    // itself, so the error signal it raises on the way is not a fault of the line.
    bool changingLine_ = false;
    // The driver's low-latency flag, as asked at open and put back at close.
    LowLatency lowLatency_;
    std::unique_ptr<QSocketNotifier> readNotifier_;
    // Enabled only while queued_ holds bytes.
    std::unique_ptr<QSocketNotifier> writeNotifier_;
};
