#include "port_names.h"

#include <QByteArray>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QtGlobal>

#include <algorithm>
#include <tuple>

namespace {

const QString kPrefix = QStringLiteral("QUORVEL_COM");

QString Pinned(int port) {
    return qEnvironmentVariable((kPrefix + QString::number(port)).toLatin1().constData());
}

QStringList AllPinned() {
    QStringList pinned;
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    static const QRegularExpression name(QStringLiteral("^QUORVEL_COM[0-9]+$"));
    for (const QString& key : env.keys()) {
        if (name.match(key).hasMatch() && !env.value(key).isEmpty()) {
            pinned << env.value(key);
        }
    }
    return pinned;
}

// Where a path leads: links resolved, so that two names of one device compare equal.
QString Resolved(const QString& path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

// Sort key: the family (UARTs, modems, USB adapters, others), then the number at the end
// of the name, then the name.
std::tuple<int, qint64, QString> OrderOf(const QString& device) {
    static const QRegularExpression tail(QStringLiteral("^(.*?)([0-9]+)$"));
    const QString name = QFileInfo(device).fileName();
    const QRegularExpressionMatch m = tail.match(name);
    const QString stem = m.hasMatch() ? m.captured(1) : name;
    const qint64 number = m.hasMatch() ? m.captured(2).toLongLong() : -1;
    int family = 3;
    if (stem == QLatin1String("ttyS")) {
        family = 0;
    } else if (stem == QLatin1String("ttyACM")) {
        family = 1;
    } else if (stem == QLatin1String("ttyUSB")) {
        family = 2;
    }
    return {family, family == 3 ? 0 : number, name};
}

}  // namespace

QStringList NumberPorts(const QStringList& present, const QStringList& pinned) {
    QStringList pinnedFiles;
    for (const QString& p : pinned) {
        pinnedFiles << Resolved(p);
    }
    QStringList ports;
    for (const QString& device : present) {
        if (!pinnedFiles.contains(Resolved(device)) && !ports.contains(device)) {
            ports << device;
        }
    }
    std::stable_sort(ports.begin(), ports.end(),
                     [](const QString& a, const QString& b) { return OrderOf(a) < OrderOf(b); });
    return ports;
}

namespace {

QStringList PresentPorts() {
    QStringList present;
#ifndef Q_OS_WIN
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        present << info.systemLocation();
    }
#endif
    return present;
}

}  // namespace

QString DeviceOfPort(int port, const QStringList& numbered) {
    const QString named = Pinned(port);
    if (!named.isEmpty()) {
        return named;
    }
#ifdef Q_OS_WIN
    Q_UNUSED(numbered);
    return QStringLiteral("COM%1").arg(port);
#else
    // The numbers nobody pinned go to the ports present, in order: a pinned number is passed
    // over, so pinning one port leaves every other one reachable by a number of its own.
    int index = port - 1;
    for (int n = 1; n < port; ++n) {
        index -= Pinned(n).isEmpty() ? 0 : 1;
    }
    return index >= 0 && index < numbered.size() ? numbered.at(index) : QString();
#endif
}

QString PortDeviceName(int port) {
    // A pinned number needs no look at the system's ports.
    const QString named = Pinned(port);
    return named.isEmpty() ? DeviceOfPort(port, NumberPorts(PresentPorts(), AllPinned())) : named;
}

QStringList PortDevices(int count) {
    const QStringList numbered = NumberPorts(PresentPorts(), AllPinned());
    QStringList devices;
    for (int port = 1; port <= count; ++port) {
        devices << DeviceOfPort(port, numbered);
    }
    return devices;
}

QList<PortListing> ListPorts(int count) {
    QList<PortListing> ports;
    const QStringList devices = PortDevices(count);
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (int n = 1; n <= devices.size(); ++n) {
        const QString& device = devices.at(n - 1);
        if (device.isEmpty()) {
            continue;
        }
        PortListing port{n, device, QString(), QString()};
        for (const QSerialPortInfo& info : infos) {
            if (Resolved(info.systemLocation()) == Resolved(device)) {
                port.description = info.description();
                port.serialNumber = info.serialNumber();
            }
        }
        ports << port;
    }
    return ports;
}
