#pragma once

#include "protocol_tokens.h"

#include <QtGlobal>

// The variables the window shares between an update run and its event handlers. All are
// zero when the window is created.
struct FormVariables {
    qint16 LinesRemaining = 0;  // data lines still to send, counted down by the transfer
    qint16 TotalLines = 0;      // the count at the start of the transfer
    qint16 TickCount = 0;       // Timer1 ticks since the last reset, saturating at 5
    bool CancelRequested = false;
    // Set once when the window loads, never changed afterwards.
    ProtocolTokens Tokens;
};
