#pragma once

class RunContext;

// The file stage of a run: opens the update file named in the path box (the file checked
// before the port was opened, unchanged since), counts its lines, rewinds it and hands it
// to the transfer. Returns when the run should go on to its closing sequence (after the
// outcome box, a No answer, or Cancel); raises a Failure otherwise.
void FileStage(RunContext& run);
