#pragma once

// A bounded lock-free queue from one writer thread to one reader thread, for
// records a real-time loop leaves for a slower observer. The writer never
// waits: when the reader falls behind and the ring is full, new records are
// dropped and counted.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace qel::realtime {

template <typename T, std::size_t N>
class SampleRing {
    static_assert(std::is_trivially_copyable_v<T>, "records are copied as plain data");

public:
    // Writer side.
    void push(const T& value) {
        const uint64_t head = head_.load(std::memory_order_relaxed);
        if (head - tail_.load(std::memory_order_acquire) >= N) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        slots_[head % N] = value;
        head_.store(head + 1, std::memory_order_release);
    }

    // Reader side: moves up to `capacity` records into `out`, oldest first;
    // returns how many.
    std::size_t take(T* out, std::size_t capacity) {
        const uint64_t tail = tail_.load(std::memory_order_relaxed);
        const uint64_t head = head_.load(std::memory_order_acquire);
        std::size_t n = 0;
        for (; n < capacity && tail + n < head; ++n) out[n] = slots_[(tail + n) % N];
        tail_.store(tail + n, std::memory_order_release);
        return n;
    }

    // Records dropped because the ring was full.
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    std::array<T, N> slots_{};
    std::atomic<uint64_t> head_{0};
    std::atomic<uint64_t> tail_{0};
    std::atomic<uint64_t> dropped_{0};
};

}  // namespace qel::realtime
