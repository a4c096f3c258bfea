#pragma once

// Counts heap allocations made by the benchmark process, so a benchmark can
// report allocations per iteration next to its time. Include it in exactly one
// source file of a benchmark executable: it replaces the global operator new.

#include <atomic>
#include <cstdlib>
#include <new>

#include <benchmark/benchmark.h>

namespace qel::bench {
inline std::atomic<long> allocation_count{0};

// Adds an "allocs/iter" counter covering the iterations run so far.
inline void reportAllocations(benchmark::State& state, long before) {
    state.counters["allocs/iter"] = benchmark::Counter(
        static_cast<double>(allocation_count.load() - before) / static_cast<double>(state.iterations()));
}
}  // namespace qel::bench

// GCC inlines these replacements into callers and then mistakes the free() of
// a pointer that came from this very operator new for a mismatched pair.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    ++qel::bench::allocation_count;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
