#pragma once

// quorvel-bench window --device PATH --file PATH [--lean] [--gaps]
//
// One whole update through the real window (Form1 under Qt's offscreen platform) and the
// real serial layer, as a user's press of the start button would run it, with the serial
// control wrapped in a meter that notes the moments the suite measures. Prints the run's
// report (measure.h) and exits 0 once the run has ended, whatever its outcome: judging the
// outcome is the suite's business.
//
// --lean  keeps no per-line time stamps (for peak-memory runs: nothing grows with the file)
// --gaps  also notes the processor time at every data line's send, so that the waits between
//         lines (an old loader's tick wait, a reply wait) can be measured; costs a system
//         call a line, so throughput runs leave it off
int RunWindowHost(int argc, char** argv);
