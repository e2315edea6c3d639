#pragma once

#include "run_window.h"

class QTimer;

// One yield of an update run to Qt's event loop. In UntilEvent mode it sleeps until the
// next event (serial data, a click, a timer); the pacer, started here and ticking every
// 10 ms while a run lasts, bounds the sleep so that the run's clock waits end on time.
// Polling without sleeping would keep a core busy for as long as the datalogger takes to
// restart. In Poll mode it runs what is pending, at most once a millisecond.
void YieldToEventLoop(QTimer& pacer, YieldMode mode);
