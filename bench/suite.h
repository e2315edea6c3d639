#pragma once

// quorvel-bench [--quick] [OPTION]...
//
// The whole benchmark: every measurement in fresh processes (the window host, the reference
// host, and the simulated bootloader each in its own), then one table of figures, targets
// and verdicts. Exits non-zero when a measurement produced no number; never because of a
// figure: speed is reported, not asserted.
int RunSuite(int argc, char** argv);
