#pragma once

// Pacing of a periodic loop to absolute deadlines on the monotonic clock.
//
// Each deadline is the previous one plus the period, so the wake-up latency of
// one cycle does not push back every later cycle (sleeping to "now + period"
// after each cycle's work makes the mean period longer by that latency). When a
// cycle overruns its deadline the next one starts at once and the schedule is
// re-anchored at that moment: there is never a burst of catch-up cycles.

#include <cstdint>

namespace qel::realtime {

// Nanoseconds on CLOCK_MONOTONIC.
int64_t monotonicNanos();
// Nanoseconds on the system clock (since 1970, UTC), which may be stepped:
// what hosts and recordings stamp measurements with to place them in the day
// and compare them across machines. A vDSO read, no system call.
int64_t systemNanos();

// The schedule arithmetic, without a clock, so that it can be checked alone.
struct Schedule {
    int64_t deadline_ns;  // when the current cycle is due to end
    // Where the next cycle begins for a cycle that ended at `now_ns`:
    // returns the time to wait until (the deadline, when not yet reached),
    // or `now_ns` itself after an overrun. Advances deadline_ns to the end of
    // the next cycle and reports an overrun in `*missed`.
    int64_t next(int64_t now_ns, int64_t period_ns, bool* missed);
};

// A loop's clock: start() anchors the schedule, waitNextCycle() blocks until
// the next cycle is due. Sleeps with an absolute-time clock_nanosleep; with a
// spin margin it sleeps until that long before the deadline and then polls the
// clock, which trades a busy core for less wake-up jitter.
class CycleClock {
public:
    // `period_ns` > 0; `spin_ns` >= 0 (0: sleep all the way).
    explicit CycleClock(int64_t period_ns, int64_t spin_ns = 0);

    // The first cycle starts now and is due one period later.
    void start();
    // Waits for the start of the next cycle. True if the cycle just finished
    // overran its deadline (the next one then starts at once).
    bool waitNextCycle();
    // When the current cycle started (ns, monotonic).
    int64_t cycleStart() const { return cycle_start_ns_; }
    // How long after its due time the current cycle started (ns, >= 0): the
    // wake-up latency of a cycle that slept, or by how much the previous
    // cycle overran for one that started at once. 0 for the first cycle.
    int64_t cycleLateness() const { return cycle_late_ns_; }
    int64_t period() const { return period_ns_; }

private:
    int64_t period_ns_;
    int64_t spin_ns_;
    int64_t cycle_start_ns_ = 0;
    int64_t cycle_late_ns_ = 0;
    Schedule schedule_{0};
};

}  // namespace qel::realtime
