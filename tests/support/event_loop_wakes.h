#pragma once

#include <QCoreApplication>
#include <QTimer>

// How often the event loop wakes while it waits for a single-shot timer of ms. A loop that
// sleeps until its next event wakes for its own timers and this one, a few times; one that
// spins (a descriptor that stays ready, a timer of no interval) wakes thousands of times.
// A count of wake-ups, not a time: it does not depend on the machine's speed or load.
inline int EventLoopWakes(int ms) {
    bool fired = false;
    QTimer::singleShot(ms, QCoreApplication::instance(), [&fired] { fired = true; });
    int wakes = 0;
    while (!fired) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        ++wakes;
    }
    return wakes;
}
