#include "qel/realtime/CycleSignal.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "qel/realtime/CycleClock.hpp"

namespace qel::realtime {
namespace {

// The futex word is the atomic's own storage: a lock-free 32-bit atomic
// has the layout of the integer.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "the count is used as a futex word");

uint32_t* word(std::atomic<uint32_t>& atomic) { return reinterpret_cast<uint32_t*>(&atomic); }

}  // namespace

void CycleSignal::publish() {
    count_.fetch_add(1, std::memory_order_seq_cst);
    if (waiters_.load(std::memory_order_seq_cst) == 0) return;
    syscall(SYS_futex, word(count_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

uint32_t CycleSignal::waitPast(uint32_t seen, int64_t timeout_ns) const {
    const int64_t deadline = monotonicNanos() + (timeout_ns > 0 ? timeout_ns : 0);
    waiters_.fetch_add(1, std::memory_order_seq_cst);
    uint32_t now = count_.load(std::memory_order_seq_cst);
    while (now == seen) {
        const int64_t left = deadline - monotonicNanos();
        if (left <= 0) break;
        timespec relative{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
        // Sleeps only while the word still holds `seen`: a publication
        // after the load above makes the call return at once.
        syscall(SYS_futex, word(count_), FUTEX_WAIT_PRIVATE, seen, &relative, nullptr, 0);
        now = count_.load(std::memory_order_seq_cst);
    }
    waiters_.fetch_sub(1, std::memory_order_seq_cst);
    return now;
}

}  // namespace qel::realtime
