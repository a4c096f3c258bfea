#pragma once

// The controller's control cycles as its send trace recorded them: each cycle
// from its frame to motor 1 up to the next one, on the control thread, with
// every command decoded as the motors decode it. Marks the test set are
// counted, so that "the first cycle after the call" can be found.

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "qel/typedef/HybridJointTypeDef.hpp"
#include "support/SendTrace.hpp"

namespace qel::test {

// The arm's motors in joint order (there is no motor 3) and the torque range
// of each one's family, written out rather than taken from the controller.
inline constexpr int kCommandMotorIds[7] = {1, 2, 4, 5, 6, 7, 8};
inline constexpr double kCommandTorqueRange[7] = {28, 28, 28, 10, 10, 10, 10};
// How far a decoded position or velocity (rad, rad/s) may lie from the value
// that was packed: one quantum of the field, which the encoder truncates, and
// the single precision it computes in. A velocity of exactly 0 decodes as
// minus half a quantum.
inline constexpr double kPositionQuantum = 25.0 / 65535 * 1.02;
inline constexpr double kVelocityQuantum = 90.0 / 4095 * 1.02;

struct CommandCycle {
    // Joints 1 to 6 and the gripper; `present` false where the cycle had no
    // frame for that motor.
    std::array<hw_interface::HybridJointCmd, 7> command{};
    std::array<bool, 7> present{};
    // The cycle's frames and 200 µs pauses, as test::sequence writes them.
    std::string pattern;
    // Marks recorded (by any thread) before the cycle's first frame.
    std::size_t marks_before = 0;
};

// The cycles of the thread that sent frames to motor 1, in order. A cycle cut
// short by the end of the record is left out.
std::vector<CommandCycle> commandCycles(const std::vector<SentEvent>& events);

// Index of the first cycle that began after `marks` marks; cycles.size() if
// none.
std::size_t firstCycleAfterMarks(const std::vector<CommandCycle>& cycles, std::size_t marks);

}  // namespace qel::test
