#include "event_loop_yield.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

namespace {

// A yield that may not sleep only has to let pending events run. Within a millisecond of
// the last pass over the event loop there is nothing a user could have done that cannot
// wait for the next one: at thousands of lines a second the run yields several times a
// line, and each pass costs system calls that would otherwise dominate the line's price.
constexpr qint64 kPollGapNs = 1'000'000;

}  // namespace

void YieldToEventLoop(QTimer& pacer, YieldMode mode) {
    static QElapsedTimer sinceLastPass;
    if (mode == YieldMode::Poll && sinceLastPass.isValid() &&
        sinceLastPass.nsecsElapsed() < kPollGapNs) {
        return;
    }
    if (!pacer.isActive()) {
        pacer.start(10);
    }
    QCoreApplication::processEvents(mode == YieldMode::UntilEvent
                                        ? QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents
                                        : QEventLoop::AllEvents);
    sinceLastPass.start();
}
