#pragma once

#include <QString>
#include <QtGlobal>

// Low latency on USB serial adapters (Linux). An adapter holds received bytes up to its
// latency timer (16 ms by default on the most common adapter chip) before it passes them on, and
// the bootloader's one-byte answer to every line waits that long. The driver's serial-info flag
// ASYNC_LOW_LATENCY (TIOCGSERIAL / TIOCSSERIAL) asks for less: that chip's driver sets a 1 ms
// timer for it. The flag outlives the descriptor, so what the driver had is put back when the
// port closes. A driver that refuses or ignores the flag changes nothing, and nothing fails:
// the outcome is a note for whoever wants one (quorvel-cli --verbose).
class LowLatency {
public:
    // Asks the driver behind an open descriptor for low latency, and remembers whether the
    // flag must be cleared again. Returns the note, naming the device; empty on systems
    // without the flag.
    QString Ask(qintptr descriptor, const QString& device);
    // Clears the flag Ask turned on, once. On a line that is gone the driver refuses, and
    // nothing is left to put back anyway.
    void PutBack(qintptr descriptor);

private:
    bool turnedOn_ = false;
};
