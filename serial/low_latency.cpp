#include "low_latency.h"

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#endif

QString LowLatency::Ask(qintptr descriptor, const QString& device) {
    turnedOn_ = false;
#ifdef Q_OS_LINUX
    const int fd = int(descriptor);
    const QString prefix = QStringLiteral("low latency: ");
    const QString driver = QStringLiteral("the driver of ") + device;
    const auto refused = [&](int err) {
        return prefix + QStringLiteral("not offered by ") + driver + QStringLiteral(" (") +
               qt_error_string(err) + QLatin1Char(')');
    };
    serial_struct info{};
    if (::ioctl(fd, TIOCGSERIAL, &info) != 0) {
        return refused(errno);
    }
    if ((info.flags & ASYNC_LOW_LATENCY) != 0) {
        return prefix + QStringLiteral("already on in ") + driver +
               QStringLiteral(" (left as it was)");
    }
    info.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &info) != 0) {
        return refused(errno);
    }
    // Some drivers take any serial info and keep only what they know: the flag reads back
    // off, and nothing changed.
    serial_struct now{};
    if (::ioctl(fd, TIOCGSERIAL, &now) != 0 || (now.flags & ASYNC_LOW_LATENCY) == 0) {
        return prefix + QStringLiteral("not offered by ") + driver +
               QStringLiteral(" (it keeps the flag off)");
    }
    turnedOn_ = true;
    return prefix + QStringLiteral("asked of ") + driver +
           QStringLiteral(" (was off; put back on close)");
#else
    Q_UNUSED(descriptor);
    Q_UNUSED(device);
    return QString();
#endif
}

void LowLatency::PutBack(qintptr descriptor) {
    if (!turnedOn_) {
        return;
    }
    turnedOn_ = false;
#ifdef Q_OS_LINUX
    const int fd = int(descriptor);
    serial_struct info{};
    if (::ioctl(fd, TIOCGSERIAL, &info) == 0 && (info.flags & ASYNC_LOW_LATENCY) != 0) {
        info.flags &= ~ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &info);
    }
#else
    Q_UNUSED(descriptor);
#endif
}
