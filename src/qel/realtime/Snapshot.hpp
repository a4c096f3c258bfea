#pragma once

// A value one thread publishes now and then and any number of threads read,
// without either side ever waiting for a lock (a sequence lock): the writer
// never waits at all; a reader that overlaps a write reads again. For small
// records the control thread hands to host threads, such as the message of a
// latched fault.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <sched.h>
#include <type_traits>

namespace qel::realtime {

template <typename T>
class Snapshot {
    static_assert(std::is_trivially_copyable_v<T>, "snapshots are copied as plain data");

public:
    // One writing thread at a time.
    void store(const T& value) {
        uint64_t words[kWords] = {};
        std::memcpy(words, &value, sizeof(T));
        const uint64_t sequence = sequence_.load(std::memory_order_relaxed);
        sequence_.store(sequence + 1, std::memory_order_relaxed);
        // Release stores of the words: none of them moves before the odd
        // sequence, and the even one follows them all. (No stand-alone fences,
        // which ThreadSanitizer cannot follow.)
        for (std::size_t i = 0; i < kWords; ++i) words_[i].store(words[i], std::memory_order_release);
        sequence_.store(sequence + 2, std::memory_order_release);
    }

    // Any thread: the last value stored (all bytes zero before the first
    // store).
    T load() const {
        uint64_t words[kWords];
        for (;;) {
            const uint64_t before = sequence_.load(std::memory_order_acquire);
            if ((before & 1) == 0) {
                // Acquire loads: the second look at the sequence cannot move
                // before them.
                for (std::size_t i = 0; i < kWords; ++i) words[i] = words_[i].load(std::memory_order_acquire);
                if (sequence_.load(std::memory_order_relaxed) == before) break;
            }
            sched_yield();  // a store is under way
        }
        T value;
        std::memcpy(&value, words, sizeof(T));
        return value;
    }

private:
    static constexpr std::size_t kWords = (sizeof(T) + sizeof(uint64_t) - 1) / sizeof(uint64_t);
    std::atomic<uint64_t> sequence_{0};
    std::atomic<uint64_t> words_[kWords]{};
};

}  // namespace qel::realtime
