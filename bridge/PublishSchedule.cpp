#include "bridge/PublishSchedule.hpp"

#include <cmath>

namespace qel::ros2 {

PublishSchedule::PublishSchedule(double rate_hz) : rate_hz_(rate_hz) {}

// k · 200 / rate <= cycle, i.e. k <= cycle · rate / 200; the product is exact
// in a double for any cycle count a process reaches.
int64_t PublishSchedule::slotAt(uint64_t cycle) const {
    return static_cast<int64_t>(std::floor(static_cast<double>(cycle) * rate_hz_ / kControlRateHz));
}

bool PublishSchedule::take(uint64_t cycle, uint64_t* skipped) {
    const int64_t slot = slotAt(cycle);
    if (!started_) {
        started_ = true;
        served_ = slot;
        return true;
    }
    if (slot <= served_) return false;
    *skipped += static_cast<uint64_t>(slot - served_ - 1);
    served_ = slot;
    return true;
}

uint64_t PublishSchedule::nextDue() const {
    return static_cast<uint64_t>(std::ceil(static_cast<double>(served_ + 1) * kControlRateHz / rate_hz_));
}

}  // namespace qel::ros2
