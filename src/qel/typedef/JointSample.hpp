#pragma once

#include <array>
#include <cstdint>

namespace qel::m4 {

// The seven motors' measurements as one control cycle published them, with
// that cycle's identity, so that a host which forwards them (a network bridge,
// a logger) can stamp them with the time they belong to rather than the time
// it happened to read them. Index 0 to 5 are joints 1 to 6, index 6 the
// gripper, in the units of getJointPositons, getJointVelocities and
// getJointCurrent.
struct JointSample {
    // Control cycles run when the cycle published these (1 for the first
    // cycle; 0 for the measurements start-up ended with).
    uint64_t cycle = 0;
    // System clock (CLOCK_REALTIME, ns since the epoch) when that cycle
    // published them, right after refreshing them.
    int64_t time_ns = 0;
    std::array<double, 7> positions{};   // rad; the gripper from its calibrated zero
    std::array<double, 7> velocities{};  // rad/s
    std::array<double, 7> currents{};    // the drivers' current units
};

}  // namespace qel::m4
