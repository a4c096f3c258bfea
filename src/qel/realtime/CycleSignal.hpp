#pragma once

// A wake-up from a real-time loop to host threads that act once per cycle
// (a follower streaming a leader's measurements): the loop counts each
// published cycle and wakes whoever waits for the next one, without a lock
// and without ever waiting itself. A waiter sleeps in the kernel (a futex on
// the count), so it neither spins nor polls.

#include <atomic>
#include <cstdint>

namespace qel::realtime {

class CycleSignal {
public:
    // Writer (one thread): a new cycle is published. Never blocks, allocates
    // nothing; one system call, and only while some thread waits.
    void publish();

    // The number of publications so far (wraps after 2^32; compare for
    // equality only).
    uint32_t count() const { return count_.load(std::memory_order_acquire); }

    // Any thread: returns once count() differs from `seen`, or `timeout_ns`
    // (monotonic, from the call) has passed; returns count() then. A
    // publication between reading `seen` and this call is not missed.
    uint32_t waitPast(uint32_t seen, int64_t timeout_ns) const;

private:
    // Both sides use sequentially consistent order on these two, so that a
    // waiter that registered before checking the count is seen by a writer
    // that counted before checking for waiters, or the other way round.
    mutable std::atomic<uint32_t> count_{0};
    mutable std::atomic<uint32_t> waiters_{0};
};

}  // namespace qel::realtime
