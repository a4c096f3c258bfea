#include "qel/realtime/CycleClock.hpp"

#include <time.h>

#include <cerrno>

namespace qel::realtime {
namespace {

constexpr int64_t kNanosPerSecond = 1000000000;

timespec toTimespec(int64_t ns) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / kNanosPerSecond);
    ts.tv_nsec = static_cast<long>(ns % kNanosPerSecond);
    return ts;
}

void sleepUntil(int64_t when_ns) {
    const timespec ts = toTimespec(when_ns);
    // A signal handler of the host may interrupt the sleep; the deadline is
    // absolute, so sleeping again to it is exact.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

}  // namespace

int64_t monotonicNanos() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

int64_t systemNanos() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

int64_t Schedule::next(int64_t now_ns, int64_t period_ns, bool* missed) {
    *missed = now_ns > deadline_ns;
    if (*missed) {
        // Re-anchor: the cycles that could not run are dropped, not made up.
        deadline_ns = now_ns + period_ns;
        return now_ns;
    }
    const int64_t start = deadline_ns;
    deadline_ns += period_ns;
    return start;
}

CycleClock::CycleClock(int64_t period_ns, int64_t spin_ns)
    : period_ns_(period_ns > 0 ? period_ns : 1), spin_ns_(spin_ns > 0 ? spin_ns : 0) {}

void CycleClock::start() {
    cycle_start_ns_ = monotonicNanos();
    cycle_late_ns_ = 0;
    schedule_.deadline_ns = cycle_start_ns_ + period_ns_;
}

bool CycleClock::waitNextCycle() {
    bool missed = false;
    const int64_t due = schedule_.deadline_ns;
    const int64_t start = schedule_.next(monotonicNanos(), period_ns_, &missed);
    if (!missed) {
        if (spin_ns_ > 0) {
            sleepUntil(start - spin_ns_);
            while (monotonicNanos() < start) {
            }
        } else {
            sleepUntil(start);
        }
    }
    cycle_start_ns_ = missed ? start : monotonicNanos();
    cycle_late_ns_ = cycle_start_ns_ > due ? cycle_start_ns_ - due : 0;
    return missed;
}

}  // namespace qel::realtime
