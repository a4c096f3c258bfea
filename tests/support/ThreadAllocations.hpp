#pragma once

// Counts heap allocations and frees per thread by interposing malloc, free
// and their relatives (operator new and delete, Eigen's and KDL's
// allocations all end in them), so that a test or benchmark can check that
// the library's own threads allocate and free nothing. Include it in exactly
// one source file of an executable.
//
// Sanitizer runtimes interpose the same functions; under them nothing is
// counted and countingAvailable() is false.

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QEL_ALLOCATION_COUNTING 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QEL_ALLOCATION_COUNTING 0
#endif
#endif
#ifndef QEL_ALLOCATION_COUNTING
#define QEL_ALLOCATION_COUNTING 1
#endif

namespace qel::test {

inline constexpr int kMaxCountedThreads = 1024;

struct ThreadAllocationTable {
    std::atomic<int> used{0};
    std::atomic<long> tid[kMaxCountedThreads];
    std::atomic<long> count[kMaxCountedThreads];
    std::atomic<long> frees[kMaxCountedThreads];
};
static ThreadAllocationTable g_thread_allocations;
static thread_local int t_allocation_slot = 0;  // slot + 1; 0: not yet registered

// The calling thread's slot, registered on first use; -1 when the table is
// full.
inline int allocationSlot() {
    int slot = t_allocation_slot - 1;
    if (slot < 0) {
        slot = g_thread_allocations.used.fetch_add(1);
        if (slot >= kMaxCountedThreads) return -1;
        g_thread_allocations.tid[slot].store(static_cast<long>(syscall(SYS_gettid)));
        t_allocation_slot = slot + 1;
    }
    return slot < kMaxCountedThreads ? slot : -1;
}

inline void countAllocation() {
    const int slot = allocationSlot();
    if (slot >= 0) g_thread_allocations.count[slot].fetch_add(1);
}

inline void countFree() {
    const int slot = allocationSlot();
    if (slot >= 0) g_thread_allocations.frees[slot].fetch_add(1);
}

inline bool countingAvailable() { return QEL_ALLOCATION_COUNTING != 0; }

// `counters` summed over every live thread whose name (as in
// /proc/self/task/<tid>/comm) is `name`.
inline long sumOfThreadsNamed(const char* name, const std::atomic<long>* counters) {
    long total = 0;
    const int used = std::min(g_thread_allocations.used.load(), kMaxCountedThreads);
    for (int i = 0; i < used; ++i) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/task/%ld/comm", g_thread_allocations.tid[i].load());
        FILE* f = std::fopen(path, "r");
        if (f == nullptr) continue;
        char comm[32] = {};
        const bool got = std::fgets(comm, sizeof comm, f) != nullptr;
        std::fclose(f);
        if (!got) continue;
        comm[std::strcspn(comm, "\n")] = '\0';
        if (std::strcmp(comm, name) == 0) total += counters[i].load();
    }
    return total;
}

// Allocations and frees so far of the live threads named `name`.
inline long allocationsOfThreadsNamed(const char* name) {
    return sumOfThreadsNamed(name, g_thread_allocations.count);
}
inline long freesOfThreadsNamed(const char* name) { return sumOfThreadsNamed(name, g_thread_allocations.frees); }

// Allocations of the calling thread so far.
inline long allocationsOfThisThread() {
    const int slot = t_allocation_slot - 1;
    return slot >= 0 && slot < kMaxCountedThreads ? g_thread_allocations.count[slot].load() : 0;
}

}  // namespace qel::test

#if QEL_ALLOCATION_COUNTING
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size) noexcept {
    qel::test::countAllocation();
    return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) noexcept {
    qel::test::countAllocation();
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) noexcept {
    qel::test::countAllocation();
    return __libc_realloc(p, size);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
    qel::test::countAllocation();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    qel::test::countAllocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
    qel::test::countAllocation();
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) return 12;  // ENOMEM
    *out = p;
    return 0;
}
void free(void* p) noexcept {
    if (p != nullptr) qel::test::countFree();
    __libc_free(p);
}
}
#endif
