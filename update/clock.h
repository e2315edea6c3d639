#pragma once

#include <QtGlobal>

// The clock of the run's whole-second waits. A 3-second wait runs while fewer than 3 whole
// seconds separate the reading at its start from the reading now, so it lasts more than 2
// and at most 3 seconds.
class Clock {
public:
    virtual ~Clock() = default;
    virtual qint64 Seconds() = 0;
};

// A monotonic clock, so that a change of the wall clock (daylight saving, a time sync, the
// user) cannot stretch a wait to an hour or cut it to nothing.
class MonotonicClock : public Clock {
public:
    qint64 Seconds() override;
};
