#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant ends the run the way a crash does, so that libFuzzer keeps the input
// that broke it and reports it like any other crash.
[[noreturn]] inline void FuzzFail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(condition) ((condition) ? (void)0 : FuzzFail(#condition, __FILE__, __LINE__))
