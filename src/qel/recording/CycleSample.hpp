#pragma once

// One control cycle as the recorder keeps it: a fixed-size plain record that
// the control thread fills and hands over without allocating, and that the
// recorder thread turns into file rows.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "qel/canbase/CanBaseDef.hpp"

namespace qel::recording {

// Six arm joints (index 0 to 5), then the gripper (index 6).
inline constexpr std::size_t kMotors = 7;
// Error codes kept per cycle. A cycle that appends more keeps the first
// kCycleCodes and still counts them all (CycleSample::code_count): no real
// cycle comes close, as the bus, seven motors and the controller's own faults
// give at most about eighteen distinct codes.
inline constexpr std::size_t kCycleCodes = 16;

// The last command frame a motor was sent in a cycle.
struct SentCommand {
    uint8_t frames = 0;   // command frames the motor got in the cycle; 0: not commanded
    uint8_t data[8] = {};  // the last one's payload, as it went on the wire
};

// The command frames of one cycle, noted by the controller's send path.
// Control-thread only.
struct SentCommands {
    std::array<SentCommand, kMotors> motor{};

    void clear() { motor = {}; }
    // Notes `frame` as sent to motor `index` (0 to 6); other indices are
    // ignored.
    void note(std::size_t index, const hw_interface::CanFrame& frame) {
        if (index >= kMotors) return;
        SentCommand& sent = motor[index];
        if (sent.frames < UINT8_MAX) ++sent.frames;
        std::memcpy(sent.data, frame.data, sizeof sent.data);
    }
};

struct CycleSample {
    uint64_t cycle = 0;         // the cycle's number: the n-th the control thread ran, from 1
    int64_t monotonic_ns = 0;   // the cycle's start, CLOCK_MONOTONIC
    int64_t system_ns = 0;      // the cycle's start, CLOCK_REALTIME (ns since 1970)
    int64_t late_ns = 0;        // how long after its due time the cycle began
    int64_t work_ns = 0;        // from its start to the end of its work
    int32_t state = 0;          // the control state the cycle ran (as the host set it)
    uint8_t fault_latched = 0;  // 1 while a latched fault held the arm damped
    uint8_t gripper_mode = 0;   // 0 position, 1 torque
    uint8_t gripper_fast = 0;   // 1: the gripper motor closes its own loop

    // The host's targets the cycle acted on.
    double joint_target[kMotors] = {};  // rad; the gripper from its zero
    double gripper_torque = 0.0;        // the gripper's torque-mode current
    double pose_target[6] = {};         // x, y, z (m), roll, pitch, yaw (rad)

    // What went on the wire, per motor.
    SentCommand sent[kMotors] = {};

    // Measured at the end of the cycle.
    double position[kMotors] = {};  // rad; the gripper from its zero
    double velocity[kMotors] = {};  // rad/s; the gripper in its unit per second
    double current[kMotors] = {};   // the motors' current units

    // Error codes the cycle appended, in order (see kCycleCodes).
    uint32_t code_count = 0;
    int32_t codes[kCycleCodes] = {};
};

}  // namespace qel::recording
