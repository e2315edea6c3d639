#pragma once

#include <QString>

// The bootloader's protocol: short ASCII strings, each sent as one byte per character with
// nothing added, and found in received text by a plain case-sensitive substring search.
struct ProtocolTokens {
    // Handshake.
    QString TokenReadyRequest;  // program to bootloader: are you ready?
    QString TokenReadyReply;    // bootloader: ready; also ends the version record
    QString TokenRestart;       // bootloader: I have just started
    // Replies to a line and the final reply.
    QString TokenLineAck;        // the line was accepted
    QString TokenFlashError;     // the line could not be written to flash
    QString TokenUpdateEnd;      // the update has ended; without TokenUpdateOk it failed
    QString TokenUpdateOk;       // the update succeeded
    QString TokenChecksumError;  // the line just sent had a checksum error

    // The fixed values of the protocol.
    static ProtocolTokens Defaults() {
        ProtocolTokens t;
        t.TokenReadyRequest = QStringLiteral("@&$");
        t.TokenReadyReply = QStringLiteral("?");
        t.TokenRestart = QStringLiteral("^");
        t.TokenLineAck = QStringLiteral("~");
        t.TokenFlashError = QStringLiteral("%");
        t.TokenUpdateEnd = QStringLiteral("#");
        t.TokenUpdateOk = QStringLiteral("@");
        t.TokenChecksumError = QStringLiteral("-");
        return t;
    }
};
