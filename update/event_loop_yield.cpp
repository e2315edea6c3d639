#include "event_loop_yield.h"

#include <QCoreApplication>
#include <QTimer>

void YieldToEventLoop(QTimer& pacer, YieldMode mode) {
    if (!pacer.isActive()) {
        pacer.start(10);
    }
    QCoreApplication::processEvents(mode == YieldMode::UntilEvent
                                        ? QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents
                                        : QEventLoop::AllEvents);
}
