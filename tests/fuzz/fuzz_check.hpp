#pragma once

// Shared by the fuzz targets. A failed invariant is reported and aborts, so
// that libFuzzer keeps the input as a finding.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define QEL_FUZZ_CHECK(condition)                                                          \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

// A double from eight input bytes taken as its bit pattern, so that NaNs,
// infinities and subnormals come up as often as ordinary numbers.
inline double anyDouble(FuzzedDataProvider& input) {
    const uint64_t bits = input.ConsumeIntegral<uint64_t>();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}
