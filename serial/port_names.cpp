#include "port_names.h"

#include <QByteArray>
#include <QtGlobal>

QString PortDeviceName(int port) {
    const QByteArray variable = "QUORVEL_COM" + QByteArray::number(port);
    const QString named = qEnvironmentVariable(variable.constData());
    if (!named.isEmpty()) {
        return named;
    }
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}
