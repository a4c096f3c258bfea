#pragma once

// What the bridge does with each command message: check it at the network
// edge, hand what passes to the arm through the ArmPort seam, and count and
// remember what is refused, with the reason, for the diagnostics. Nothing
// moves for a refused message.

#include <array>
#include <chrono>
#include <cstddef>
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
    // The state the bridge last set, or 5 once it started a motion (motions
    // run in joint position control); start-up leaves the arm in go home.
    int state = 1;
};

class CommandEdge {
public:
    using Clock = std::chrono::steady_clock;

    // How far ahead a streamed target is set (the servo time). The arm
    // brakes a stream whose next target has not come within that time and
    // one control cycle, so the lead must cover the gaps of the stream as it
    // arrives, not only its nominal period: a ros2_control hardware interface
    // publishes once per controller update (typically every 10 ms), and
    // executor and network jitter make some gaps longer and some nearly
    // zero. The lead is the longest of the stream's last kStreamHistory
    // intervals plus kStreamMargin, within the bounds below; it is also the
    // stream's latency, so it shrinks again when the stream steadies.
    static constexpr std::size_t kStreamHistory = 8;
    static constexpr double kStreamMargin = 0.005;       // s, one control cycle
    static constexpr double kAssumedStreamPeriod = 0.01;  // s, before a stream shows its own
    static constexpr double kMinStreamLead = 0.01;        // s
    static constexpr double kMaxStreamLead = 0.1;         // s
    // A command later than this after the previous one starts a new stream
    // (the arm has braked the old one to rest long before).
    static constexpr double kStreamGap = 0.1;  // s

    explicit CommandEdge(ArmPort& arm) : arm_(arm) {}

    // joint_command: positions by name, streamed to the arm with the lead
    // above, judged by when the accepted commands arrived. A stream may
    // start in go home: the arm then changes to joint position control by
    // itself.
    void jointCommand(const sensor_msgs_msg_dds__JointState_& command, Clock::time_point arrival);
    // joint_trajectory: a timed trajectory, replacing the running motion
    // without a velocity step. Starts on arrival (header.stamp is not waited
    // for).
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
    // The interval since the stream's last accepted command, none when a
    // command arriving at `arrival` starts a new stream.
    std::optional<double> streamInterval(Clock::time_point arrival) const;
    // The lead for a command after `interval` (see kStreamHistory).
    double streamLead(std::optional<double> interval) const;
    void accept();
    void acceptMotion();
    void refuse(const char* topic, const std::string& reason);

    ArmPort& arm_;
    // The accepted stream: when its last command came, and its latest
    // intervals (s), newest at intervals_[(count - 1) % kStreamHistory].
    std::optional<Clock::time_point> last_stream_;
    std::array<double, kStreamHistory> intervals_{};
    std::size_t interval_count_ = 0;
    mutable std::mutex mutex_;  // guards tally_
    CommandTally tally_;
};

}  // namespace qel::ros2
