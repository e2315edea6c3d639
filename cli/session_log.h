#pragma once

#include "mscomm.h"
#include "visible_bytes.h"

#include <QElapsedTimer>
#include <QFile>
#include <QString>

// A transcript of one session for support: every byte sent and received and every event,
// each on its own line behind the seconds since the session began. Bytes are written as a
// quoted string with CR, LF, backslash, quote and every byte outside printable ASCII
// escaped, so the transcript shows exactly what went over the line.
class SessionLog {
public:
    // Opens (creates or truncates) the file; false with the reason when it cannot.
    bool Open(const QString& path, QString* reason);
    bool IsOpen() const { return file_.isOpen(); }
    void Event(const QString& kind, const QString& text);
    void Bytes(const QString& direction, const QString& text);
    void Close();

private:
    void Write(const QByteArray& line);

    QFile file_;
    QElapsedTimer since_;
};

// The port as the run sees it, with each byte it sends and receives and each opening and
// closing also written to the session's log.
class RecordingComm : public MSComm {
public:
    RecordingComm(MSComm& port, SessionLog& log) : port_(port), log_(log) {}

    int Handshaking() const override { return port_.Handshaking(); }
    void Handshaking(int mode) override { port_.Handshaking(mode); }
    QString Settings() const override { return port_.Settings(); }
    void Settings(const QString& settings) override { port_.Settings(settings); }
    qint16 CommPort() const override { return port_.CommPort(); }
    void CommPort(qint16 port) override { port_.CommPort(port); }
    bool PortOpen() const override { return port_.PortOpen(); }
    void PortOpen(bool open) override;
    qint16 InBufferCount() override { return port_.InBufferCount(); }
    QString Input() override;
    void Output(const QString& text) override;
    qint16 OutBufferCount() override { return port_.OutBufferCount(); }
    QString DeviceName() const override { return port_.DeviceName(); }
    void WaitForInput(int msecs) override { port_.WaitForInput(msecs); }

private:
    MSComm& port_;
    SessionLog& log_;
};
