#pragma once

class RunContext;

enum class HandshakeResult { Ready, Stopped, NoResponse, NoRestart };

// Catches the bootloader while the datalogger restarts: waits without time-out for its
// restart announcement, asks up to three times whether it is ready, and shows the loader
// version and the firmware version its answer carries. On Ready, the run's LoaderVersion,
// OldFirmwareVersion and ReplyBuffer are set. NoRestart: the run's restart time-out passed
// without a restart (only a front that sets one, an unattended bench, gets it).
HandshakeResult Handshake(RunContext& run);
