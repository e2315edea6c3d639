#pragma once

#include <QString>
#include <QtGlobal>

// The serial-communications control, reduced to the operations the update run uses. Each
// operation returns at once with its result or raises a Failure (port absent or in use,
// invalid port number, port not open, driver error). The names follow the control's own
// property names; a property that is both read and written is a getter and a setter of the
// same name.
//
// Text and bytes: every character is one byte (Latin-1) both ways, so a line read from an
// update file reaches the wire byte for byte.
class MSComm {
public:
    // Values of Handshaking.
    enum HandshakeMode : int { NoHandshaking = 0, XonXoff = 1, RtsCts = 2, RtsCtsXonXoff = 3 };

    virtual ~MSComm() = default;

    virtual int Handshaking() const = 0;
    virtual void Handshaking(int mode) = 0;
    // "baud,parity,data bits,stop bits", for example "57600,n,8,1".
    virtual QString Settings() const = 0;
    virtual void Settings(const QString& settings) = 0;
    virtual qint16 CommPort() const = 0;
    virtual void CommPort(qint16 port) = 0;
    virtual bool PortOpen() const = 0;
    virtual void PortOpen(bool open) = 0;
    // Characters received and not yet read, at most 32767.
    virtual qint16 InBufferCount() = 0;
    // Every character received and not yet read, in arrival order; possibly none.
    virtual QString Input() = 0;
    // Each character goes out as one byte, in order; nothing is added.
    virtual void Output(const QString& text) = 0;
    // Characters given to Output that have not left yet, at most 32767: held back by the
    // datalogger's XOFF, or still in the driver's buffer. 0 once everything is on the line.
    virtual qint16 OutBufferCount() = 0;

    // Settings kept with the control from its creation. They describe the control; the
    // program never changes them.
    virtual int InBufferSize() const { return 1024; }
    virtual int OutBufferSize() const { return 512; }
    virtual QString ParityReplace() const { return QStringLiteral("?"); }

    // The device the port is, as the user knows it ("/dev/ttyUSB0", a by-id link), once a
    // port has been opened; the run's messages name it.
    virtual QString DeviceName() const { return QString(); }

    // Blocks until at least one character is waiting or msecs have passed, and reads
    // nothing. The one wait of the run that must not yield to the event loop uses it, so
    // that it sleeps on the line instead of spinning a core.
    virtual void WaitForInput(int msecs) = 0;
};
