#pragma once

#include <QString>

// The device behind COM port n: COMn on Windows; elsewhere /dev/ttyS<n-1>, unless the
// environment variable QUORVEL_COM<n> names another device (a USB adapter such as
// /dev/ttyUSB0, or the pseudo-terminal of the bootloader simulator).
QString PortDeviceName(int port);
