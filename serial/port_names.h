#pragma once

#include <QString>
#include <QStringList>

// The device behind COM port n.
//
// On Windows port n is COMn. Elsewhere it is, in this order: the device named by the
// environment variable QUORVEL_COM<n>, when set (a /dev/serial/by-id/ name, say, or the
// simulator's pseudo-terminal); otherwise, of the numbers no variable pins, the n-th goes to
// the n-th serial port present, in a stable order:
// built-in UARTs that really exist (ttyS*), then modems (ttyACM*), then USB adapters
// (ttyUSB*), each in number order, then any others by name. A device pinned to a number by
// its variable is left out of that numbering, so it is never reachable under two numbers.
// Empty when there is no such port.
QString PortDeviceName(int port);

// The numbering of the ports present, given the devices the system lists (real ones only:
// the system's enumeration leaves out the UARTs a kernel reserves but no hardware backs)
// and the devices pinned by variables. Pinned devices are compared by the file they lead
// to, so a by-id link pins the adapter behind it.
QStringList NumberPorts(const QStringList& present, const QStringList& pinned);

// The device behind port n, given the numbering of the ports present (NumberPorts); the
// variable QUORVEL_COM<n> comes first, and the numbers no variable pins go to the ports
// present in order. Empty when there is no such port.
QString DeviceOfPort(int port, const QStringList& numbered);
// The devices behind ports 1 to count, from one look at the system's ports; an empty
// entry where no device is behind a number.
QStringList PortDevices(int count);

// A port with a device behind it, as a list of ports shows it.
struct PortListing {
    int number = 0;
    QString device;
    QString description;   // what the adapter calls itself, where the system knows it
    QString serialNumber;  // the adapter's serial number, where the system knows it
};
// Every port number from 1 to count with a device behind it, in number order.
QList<PortListing> ListPorts(int count);
