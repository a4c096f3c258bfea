#pragma once

// Which control cycles' samples joint_states carries, and an account of every
// publication that fell due: published, or skipped because the publishing
// thread looked too late for it. Counted in control cycles, not in wall-clock
// time, so that the account holds however slowly the loop or the bridge ran.

#include <cstdint>

namespace qel::ros2 {

class PublishSchedule {
public:
    static constexpr double kControlRateHz = 200.0;

    // Slot k (k = 1, 2, ...) falls due at control cycle ceil(k · 200 / rate):
    // every other cycle at 100 per second, cycles 7, 14, 20, 27, ... at 30,
    // so that the average is the rate exactly. A slot is served by the sample
    // of any cycle from its own up to the next slot's. `rate_hz` in (0, 200].
    explicit PublishSchedule(double rate_hz);

    // The newest sample comes from control cycle `cycle` (never decreasing).
    // True when it is to be published: it serves the newest slot due. The
    // slots due since the last look that it cannot serve any more (a later
    // slot is due too) are added to `*skipped`. The first look publishes and
    // starts the account at the slot of its cycle.
    bool take(uint64_t cycle, uint64_t* skipped);

    // The control cycle at which the next slot falls due.
    uint64_t nextDue() const;

private:
    // The slot due at `cycle`: the newest k with ceil(k · 200 / rate) <= cycle.
    int64_t slotAt(uint64_t cycle) const;

    double rate_hz_;
    bool started_ = false;
    int64_t served_ = 0;  // the newest slot accounted for
};

}  // namespace qel::ros2
