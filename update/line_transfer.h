#pragma once

class RunContext;

// The transfer of an opened and counted update file: sends its data lines one at a time
// and judges the bootloader's replies, resends or asks the user after a bad line, and at
// the end of the file waits for the bootloader's final reply and reports the outcome.
// Returns when the run should go on to its closing sequence (after the outcome box, a No
// answer, or Cancel); raises a Failure otherwise.
void TransferLines(RunContext& run);
