#pragma once

// What the bridge does with each command message: check it at the network
// edge, hand what passes to the arm through the ArmPort seam, and count and
// remember what is refused, with the reason, for the diagnostics. Nothing
// moves for a refused message.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "bridge/ArmPort.hpp"
#include "control_msgs.h"
#include "sensor_msgs.h"
#include "std_msgs.h"
#include "trajectory_msgs.h"

namespace qel::ros2 {

// The ROS topics the bridge serves, relative to its namespace.
namespace topic {
inline constexpr const char* kJointStates = "joint_states";        // sensor_msgs/JointState, out
inline constexpr const char* kDiagnostics = "diagnostics";         // diagnostic_msgs/DiagnosticArray, out
inline constexpr const char* kJointCommand = "joint_command";      // sensor_msgs/JointState, in
inline constexpr const char* kJointTrajectory = "joint_trajectory";  // trajectory_msgs/JointTrajectory, in
inline constexpr const char* kArmState = "arm_state";              // std_msgs/Int32, in
inline constexpr const char* kDamp = "damp";                       // std_msgs/Bool, in
inline constexpr const char* kResume = "resume";                   // std_msgs/Int32, in
inline constexpr const char* kGripperCommand = "gripper_command";  // control_msgs/GripperCommand, in
}  // namespace topic

// The command side's record for the diagnostics.
struct CommandTally {
    uint64_t accepted = 0;
    uint64_t refused = 0;
    // "<topic>: <reason>" of the latest refusal, empty before the first.
    std::string last_refusal;
    // The state the bridge last set; start-up leaves the arm in go home.
    int state = 1;
};

class CommandEdge {
public:
    using Clock = std::chrono::steady_clock;

    // How far ahead a streamed target is set when the stream's own rhythm is
    // not known yet (the first command, or one after a long pause), and the
    // bounds of that lead: one control cycle to a tenth of a second.
    static constexpr double kDefaultStreamLead = 0.01;  // s
    static constexpr double kMinStreamLead = 0.005;     // s
    static constexpr double kMaxStreamLead = 0.1;       // s

    explicit CommandEdge(ArmPort& arm) : arm_(arm) {}

    // joint_command: positions by name, streamed to the arm; each target is
    // to be reached when the next one is due, judged by the interval since
    // the previous accepted command (within the lead bounds above).
    void jointCommand(const sensor_msgs_msg_dds__JointState_& command, Clock::time_point arrival);
    // joint_trajectory: a timed trajectory, replacing the running one. Starts
    // on arrival (header.stamp is not waited for).
    void jointTrajectory(const trajectory_msgs_msg_dds__JointTrajectory_& trajectory);
    // arm_state: sets the control state; refused while a fault is latched
    // (resume is the deliberate way out of a fault).
    void armState(const std_msgs_msg_dds__Int32_& state);
    // damp: true damps the arm and holds it damped until resume.
    void damp(const std_msgs_msg_dds__Bool_& damp);
    // resume: leaves a latched fault (or a damp) into the given state;
    // refused when nothing is latched.
    void resume(const std_msgs_msg_dds__Int32_& state);
    // gripper_command: the gripper's position target.
    void gripperCommand(const control_msgs_msg_dds__GripperCommand_& command);

    // A consistent copy, from any thread.
    CommandTally tally() const;

private:
    void accept();
    void refuse(const char* topic, const std::string& reason);

    ArmPort& arm_;
    std::optional<Clock::time_point> last_stream_;
    mutable std::mutex mutex_;  // guards tally_
    CommandTally tally_;
};

}  // namespace qel::ros2
