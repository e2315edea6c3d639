#pragma once

class RunContext;

enum class HandshakeResult { Ready, Cancelled, NoResponse };

// Catches the bootloader while the datalogger restarts: waits without time-out for its
// restart announcement, asks up to three times whether it is ready, and shows the loader
// version and the firmware version its answer carries. On Ready, the run's LoaderVersion,
// OldFirmwareVersion and ReplyBuffer are set.
HandshakeResult Handshake(RunContext& run);
