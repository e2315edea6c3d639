#pragma once

#include <QString>

// Opening a serial device for an update: finding the device behind a port number, saying in
// plain words why it cannot be opened, and making sure that one datalogger has one updater.
// Two programs writing to one datalogger corrupt it, so the device itself is locked: its
// links are resolved first (the lock file is named after the real device), and the open
// descriptor takes an exclusive flock besides the exclusive open.
namespace port_access {

// The device to open for port n, links resolved, or a Failure saying why there is none
// (no such port, no such device node, a folder or anything else that is not a character
// device: "<device>: not a serial device").
QString RealDevice(int port, const QString& device);

// Why opening the device failed, in the user's terms, from the driver's text: busy (and who
// holds it, where its lock file says), permission refused (with the hint to join the dialout
// group), a device that is no terminal ("not a serial device"), or else the driver's own
// words.
QString OpenFailure(const QString& device, const QString& real, const QString& driverText);

// Takes the exclusive lock on an open descriptor; returns why not when another program
// holds it.
QString Lock(qintptr descriptor, const QString& device, const QString& real);

}  // namespace port_access
