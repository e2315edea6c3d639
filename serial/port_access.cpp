#include "port_access.h"

#include "failure.h"

#include <QFile>
#include <QFileInfo>
#include <QLockFile>

#ifdef Q_OS_UNIX
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace port_access {

namespace {

// Who holds the device, as its lock file tells: the lock files serial programs leave in
// the system's lock folders, named after the device ("LCK..ttyUSB0", "LCK..pts_3").
QString Holder(const QString& real) {
    QString name = real;
    if (name.startsWith(QLatin1String("/dev/"))) {
        name.remove(0, 5);
    }
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const char* folder :
         {"/var/lock", "/run/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp", "/tmp"}) {
        const QString path = QLatin1String(folder) + QStringLiteral("/LCK..") + name;
        if (!QFileInfo::exists(path)) {
            continue;
        }
        qint64 pid = 0;
        QString host;
        QString app;
        QLockFile lock(path);
        if (lock.getLockInfo(&pid, &host, &app) && pid > 0) {
            return QStringLiteral(" by %1 (process %2, lock file %3)")
                .arg(app.isEmpty() ? QStringLiteral("another program") : app)
                .arg(pid)
                .arg(path);
        }
    }
    return QString();
}

QString Named(const QString& device, const QString& real) {
    return real.isEmpty() || real == device
               ? device
               : device + QStringLiteral(" (") + real + QStringLiteral(")");
}

}  // namespace

QString RealDevice(int port, const QString& device) {
    if (device.isEmpty()) {
        throw Failure(
            QStringLiteral("Port %1: no serial port is present under this number").arg(port));
    }
#ifdef Q_OS_UNIX
    const QFileInfo info(device);
    if (!info.exists()) {
        throw Failure(device +
                      QStringLiteral(": no such device (is the cable or adapter plugged in?)"));
    }
    if (info.isDir()) {
        throw Failure(device + QStringLiteral(": a folder, not a serial device"));
    }
    // A serial device is a character device. Anything else (a regular file, a block device,
    // a socket) is refused before it is opened: opened, it would fail with the driver's
    // "Inappropriate ioctl for device", or with "permission denied" for a read-only file.
    struct stat st {};
    if (::stat(QFile::encodeName(device).constData(), &st) == 0 && !S_ISCHR(st.st_mode)) {
        throw Failure(device + QStringLiteral(": not a serial device"));
    }
    return info.canonicalFilePath();
#else
    return device;
#endif
}

QString OpenFailure(const QString& device, const QString& real, const QString& driverText) {
    const QString who = Named(device, real);
    const QString holder = Holder(real);
    if (!holder.isEmpty()) {
        return who + QStringLiteral(": in use") + holder;
    }
#ifdef Q_OS_UNIX
    // The driver's own words for the two refusals a user can do something about.
    if (driverText.endsWith(qt_error_string(EACCES))) {
        return who + QStringLiteral(
                         ": permission denied. Join the group that owns the device (dialout: "
                         "sudo adduser $USER dialout) and log in again.");
    }
    if (driverText.endsWith(qt_error_string(EBUSY))) {
        return who + QStringLiteral(": in use by another program, which holds it exclusively");
    }
    // A character device that is no terminal (/dev/null, say) has no line settings.
    if (driverText.endsWith(qt_error_string(ENOTTY))) {
        return who + QStringLiteral(": not a serial device");
    }
#endif
    return who + QStringLiteral(": ") + driverText;
}

QString Lock(qintptr descriptor, const QString& device, const QString& real) {
#ifdef Q_OS_UNIX
    if (::flock(int(descriptor), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        const QString holder = Holder(real);
        return Named(device, real) + QStringLiteral(": in use") +
               (holder.isEmpty() ? QStringLiteral(" by another program, which holds a lock on it")
                                 : holder);
    }
#else
    Q_UNUSED(descriptor);
    Q_UNUSED(device);
    Q_UNUSED(real);
#endif
    return QString();
}

}  // namespace port_access
