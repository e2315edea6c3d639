#pragma once

#include "failure.h"

#include <QtGlobal>

// The run's counters are 16-bit signed. Passing 32767 or falling below -32768 is an
// overflow failure, handled like any other failure of the step that raised it.
inline qint16 AddChecked16(qint16 value, int delta) {
    const int result = int(value) + delta;
    if (result > 32767 || result < -32768) {
        throw Failure(QStringLiteral("Overflow"));
    }
    return static_cast<qint16>(result);
}
