// quorvel-bench: the benchmark of Quorvel's host side. Without a subcommand it runs the
// whole suite (suite.h); "window" is the process the suite starts for each update through
// the real window (window_host.h).

#include "suite.h"
#include "window_host.h"

#include <cstring>

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "window") == 0) {
        return RunWindowHost(argc, argv);
    }
    return RunSuite(argc, argv);
}
