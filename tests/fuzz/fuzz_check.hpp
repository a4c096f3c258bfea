#pragma once

// A failed invariant in a fuzz target: report it and abort, so that libFuzzer
// keeps the input as a finding.

#include <cstdio>
#include <cstdlib>

#define QEL_FUZZ_CHECK(condition)                                                          \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)
