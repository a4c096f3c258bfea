#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "qel/typedef/HybridJointTypeDef.hpp"

// The controller's fixed data (motor layout, gains) and the pieces of its
// control law that need no bus: clamping, the over-current count, the gripper
// command, the error-code arithmetic and the reachable-point search. Kept apart
// from ControllerBase so that they can be checked without hardware.
namespace qel::m4::control {

// v clamped to [lb, ub]; a value equal to a bound is returned as it is. NaN
// compares false both ways and comes back unchanged: callers that take host
// input use clampTarget instead.
template <typename T>
constexpr T limit(const T& v, const T& lb, const T& ub) {
    if (v < lb) return lb;
    if (v > ub) return ub;
    return v;
}

// A host target clamped to [lb, ub]; a non-finite target yields `hold`, so a
// NaN never reaches the interpolation or the wire.
inline double clampTarget(double target, double lb, double ub, double hold) {
    return std::isfinite(target) ? limit(target, lb, ub) : hold;
}

enum class MotorFamily { kType1, kType2 };

// One motor of the arm: bus identifier, driver family and joint limits (rad;
// the gripper's in its motor's own position unit).
struct MotorSlot {
    int motor_id;
    MotorFamily family;
    double lower;
    double upper;
};

// The control cycle: 200 Hz, and homing's passes at the same pace.
inline constexpr int64_t kCyclePeriodNs = 5000000;

inline constexpr std::size_t kArmJoints = 6;
inline constexpr std::size_t kMotors = 7;
inline constexpr std::size_t kGripper = 6;

// Index 0 to 5 are arm joints 1 to 6, index 6 the gripper. Motor id 3 does not
// exist on this arm: the third joint's motor answers as 4.
inline constexpr std::array<MotorSlot, kMotors> kMotorLayout{{
    {1, MotorFamily::kType1, -3.14, 2.618},
    {2, MotorFamily::kType1, -0.1, 3.6},
    {4, MotorFamily::kType1, -0.1, 3.0},
    {5, MotorFamily::kType2, -1.29, 1.29},
    {6, MotorFamily::kType2, -1.4835298641951802, 1.4835298641951802},  // ±85°
    {7, MotorFamily::kType2, -1.7453292519943295, 1.7453292519943295},  // ±100°
    {8, MotorFamily::kType2, 0.0, 5.0},
}};

// Stiffness and damping of one motor's own position loop.
struct Gains {
    double k_p;
    double k_d;
};
using ArmGains = std::array<Gains, kArmJoints>;

inline constexpr ArmGains kLimpGains{{{0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}}};
// Damping only; the shoulder and elbow carry the most weight and get the most.
inline constexpr ArmGains kProtectGains{{{0, 1.0}, {0, 5.0}, {0, 5.0}, {0, 2.0}, {0, 1.0}, {0, 1.0}}};
inline constexpr ArmGains kTrackingGains{{{150, 1.0}, {150, 1.0}, {150, 1.0}, {50, 0.8}, {25, 0.8}, {10, 1.0}}};
// Joint 4 is stiffer in pose control, where it holds the wrist orientation.
inline constexpr ArmGains kPoseGains{{{150, 1.0}, {150, 1.0}, {150, 1.0}, {70, 0.8}, {25, 0.8}, {10, 1.0}}};

// Homing: the home test tolerances and the interpolation limits (max_acc,
// max_vel) of the proximal (1-3) and the wrist (4-6) joints.
inline constexpr double kHomePositionTolerance = 0.08;  // rad
inline constexpr double kHomeVelocityTolerance = 0.1;   // rad/s
inline constexpr double kHomeMaxAcc = 0.08;
inline constexpr double kHomeMaxVelProximal = 0.4;
inline constexpr double kHomeMaxVelWrist = 0.2;

// An arm set-point made outside the interpolation (by the motion layer):
// positions (rad) and velocities (rad/s) of joints 1 to 6, and, when
// `gripper` is set, the gripper's position target from its zero.
struct PathSetPoint {
    double position[kArmJoints];
    double velocity[kArmJoints];
    bool gripper;
    double gripper_target;
};

// Position-error feed-forward of joints 1 to 3 towards their final target.
inline constexpr double kFeedForwardStiffness = 1.5;
inline constexpr double kFeedForwardDamping = 0.6;

// Error codes of the list the host reads.
inline constexpr int kCodeOverCurrent = 1;
inline constexpr int kCodeBusOffline = 2;
// Command frames for this arm's motors came from another sender: a second
// controller (or tool) is commanding the same arm.
inline constexpr int kCodeOtherCommander = 3;
// The control thread caught a failure other than a motor fault or
// over-current (for example from the solver) and holds the arm damped.
inline constexpr int kCodeControlThreadFault = 4;
// The host asked for the arm to be damped at once.
inline constexpr int kCodeDampRequested = 5;
// Arm motor n (1 to 6) offline.
constexpr int offlineCode(int joint_number) { return 10 * joint_number + 2; }
// Motor n (1 to 7) reports driver code c; the host decodes n and c from the
// tens and units, which is exact for c = 6 and 8 to 14.
constexpr int motorFaultCode(int joint_number, int driver_code) {
    return 10 * joint_number + driver_code - 5;
}
// Driver codes 0 and 1 mean the motor is healthy.
constexpr bool isDriverFault(int driver_code) { return driver_code != 0 && driver_code != 1; }

// The over-current watch over the six arm joints: a joint whose current
// magnitude is above its limit advances its counter, any other resets it.
// False once some counter has reached `max_count`. `status`, `limits` and
// `counters` must hold at least six entries.
bool currentsWithinLimit(const hw_interface::HybridJointStatus* status, const double* limits,
                         int* counters, int max_count);

// What the gripper is asked to do in an active state.
struct GripperInput {
    double target;    // host position target, relative to the gripper zero
    double zero;      // motor position of the end stop found at start-up
    double measured;  // motor position now
    bool torque_mode;
    double torque;    // host current command in torque mode
    bool fast;        // let the motor close its own position loop
};

inline constexpr float kGripperGain = 8.0f;      // current units per position unit
inline constexpr float kGripperMaxCurrent = 2.0f;
// Aim this far beyond the target towards the stop, so that a target of 0
// keeps the fingers pressed together instead of hovering at the stop.
inline constexpr double kGripperPreload = 0.1;

// The gripper's command frame contents for one cycle. Non-finite inputs never
// reach the command: the current falls back to 0 and a fast-action target to
// the measured position.
hw_interface::HybridJointCmd gripperCommand(const GripperInput& in);

// The end-effector fallback: probes the line from `from` to `to` (six pose
// coordinates, angles treated as plain numbers) by bisection, `kProbes` times.
// The first probe is the midpoint; after a reachable probe the next moves half
// the previous step further, after an unreachable one half a step back.
// `reachable(probe)` is asked once per probe. Writes the furthest reachable
// probe into `edge` (left at `from` if none was) and returns whether any was.
inline constexpr int kReachableProbes = 10;

template <typename Reachable>
bool searchReachable(const double* from, const double* to, Reachable&& reachable, double* edge) {
    double step[6];
    double probe[6];
    for (std::size_t i = 0; i < 6; ++i) {
        step[i] = to[i] - from[i];
        probe[i] = from[i];
        edge[i] = from[i];
    }
    double direction = 1.0;
    bool found = false;
    for (int n = 0; n < kReachableProbes; ++n) {
        for (std::size_t i = 0; i < 6; ++i) {
            step[i] /= 2.0;
            probe[i] += step[i] * direction;
        }
        if (reachable(probe)) {
            for (std::size_t i = 0; i < 6; ++i) edge[i] = probe[i];
            direction = 1.0;
            found = true;
        } else {
            direction = -1.0;
        }
    }
    return found;
}

}  // namespace qel::m4::control
