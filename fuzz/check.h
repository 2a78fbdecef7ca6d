#pragma once
// Invariants of the fuzz targets: a broken one says which and aborts, so libFuzzer
// keeps the input as a crash.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                                     \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            std::fprintf(stderr, "Invariant failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);               \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)
