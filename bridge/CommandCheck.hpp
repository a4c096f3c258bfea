#pragma once

// The network edge: every command that arrives over DDS is checked here before
// anything reaches the arm. A check returns "" and fills its output when the
// message can be commanded, otherwise the reason it is refused (for the
// diagnostics) and leaves the output alone. Checks never throw and never
// trust a length, a pointer or a number they are given.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "control_msgs.h"
#include "qel/motion/MotionTypes.hpp"
#include "sensor_msgs.h"
#include "trajectory_msgs.h"

namespace qel::ros2 {

// The names the bridge gives the arm's axes in joint_states, and takes in
// commands: joints 1 to 6, then the gripper.
inline constexpr std::array<const char*, 7> kJointNames{"joint1", "joint2", "joint3", "joint4",
                                                        "joint5", "joint6", "gripper"};

// Trajectories longer than this are refused: the check and the motion's
// planning run on the bridge's command thread, which must stay responsive.
inline constexpr std::size_t kMaxTrajectoryPoints = 5000;

// A position command by joint name (joint_command): every arm joint named
// once, the gripper optionally; as many positions as names, velocities and
// efforts empty or as many; every number finite and every position within its
// joint's limits. `q` gets joints 1 to 6 and, when named, the gripper.
std::string checkJointCommand(const sensor_msgs_msg_dds__JointState_& command, std::vector<double>* q);

// A timed trajectory (joint_trajectory): joint names as for checkJointCommand;
// 1 to kMaxTrajectoryPoints points, each with one position per name within
// the limits, velocities, accelerations and efforts empty or one per name, all
// finite, and times from start that are valid durations and strictly
// increasing. `points` gets them in joint order, times in seconds.
std::string checkTrajectory(const trajectory_msgs_msg_dds__JointTrajectory_& trajectory,
                            std::vector<m4::TrajectoryPoint>* points);

// A control state (arm_state, resume): 0 to 5.
std::string checkState(int32_t state);

// A gripper command (gripper_command): a finite position within the gripper's
// range and a finite, non-negative max_effort (which the gripper's position
// mode cannot honour and ignores).
std::string checkGripper(const control_msgs_msg_dds__GripperCommand_& command, double* position);

}  // namespace qel::ros2
