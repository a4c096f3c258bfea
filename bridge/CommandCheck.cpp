#include "bridge/CommandCheck.hpp"

#include <cmath>
#include <cstring>

#include "qel/controller/ControlLaw.hpp"

namespace qel::ros2 {
namespace {

using m4::control::kArmJoints;
using m4::control::kMotorLayout;
using m4::control::kMotors;

constexpr int kNoAxis = -1;
constexpr uint32_t kNanosecondsPerSecond = 1000000000u;

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// The sequence's elements, or nullptr for a sequence that claims elements it
// does not have.
template <typename Sequence>
bool intact(const Sequence& sequence) {
    return sequence._length == 0 || sequence._buffer != nullptr;
}

// A printable, bounded rendering of a name from the network.
std::string quoted(const char* name) {
    std::string text = "'";
    for (std::size_t i = 0; name[i] != '\0' && i < 40; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        text += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
    }
    return text + "'";
}

// Maps each name to its axis (kJointNames order). Every arm joint must be
// named exactly once, the gripper at most once, nothing else.
std::string mapNames(const dds_sequence_string& names, std::vector<int>* axes) {
    if (!intact(names)) return "malformed name sequence";
    if (names._length == 0) return "no joint names";
    if (names._length > kMotors) {
        return std::to_string(names._length) + " joint names, more than the arm's " + std::to_string(kMotors);
    }
    std::array<bool, kMotors> named{};
    axes->assign(names._length, kNoAxis);
    for (uint32_t i = 0; i < names._length; ++i) {
        const char* name = names._buffer[i] != nullptr ? names._buffer[i] : "";
        int axis = kNoAxis;
        for (std::size_t a = 0; a < kMotors; ++a) {
            if (std::strcmp(name, kJointNames[a]) == 0) axis = static_cast<int>(a);
        }
        if (axis == kNoAxis) return "unknown joint name " + quoted(name);
        if (named[axis]) return std::string("joint ") + kJointNames[axis] + " named twice";
        named[axis] = true;
        (*axes)[i] = axis;
    }
    for (std::size_t a = 0; a < kArmJoints; ++a) {
        if (!named[a]) return std::string("joint ") + kJointNames[a] + " missing";
    }
    return "";
}

bool hasGripper(const std::vector<int>& axes) {
    for (int axis : axes) {
        if (axis == static_cast<int>(m4::control::kGripper)) return true;
    }
    return false;
}

// `values` must be empty (when `optional`) or hold one finite number per name.
std::string checkValues(const dds_sequence_double& values, std::size_t names, const char* what, bool optional) {
    if (!intact(values)) return std::string("malformed ") + what + " sequence";
    if (values._length == 0 && optional) return "";
    if (values._length != names) {
        return std::string(what) + " has " + std::to_string(values._length) + " entries for " +
               std::to_string(names) + " joint names";
    }
    for (uint32_t i = 0; i < values._length; ++i) {
        if (!std::isfinite(values._buffer[i])) return std::string(what) + " holds a non-finite number";
    }
    return "";
}

// Positions (finite, checked before) within each axis' limits.
std::string checkLimits(const dds_sequence_double& positions, const std::vector<int>& axes) {
    for (std::size_t i = 0; i < axes.size(); ++i) {
        const auto& slot = kMotorLayout[axes[i]];
        const double value = positions._buffer[i];
        if (value < slot.lower || value > slot.upper) {
            return std::string(kJointNames[axes[i]]) + " position " + number(value) + " outside its limits " +
                   number(slot.lower) + " to " + number(slot.upper);
        }
    }
    return "";
}

// Values in axis order: joints 1 to 6, then the gripper when named.
std::vector<double> inJointOrder(const dds_sequence_double& values, const std::vector<int>& axes) {
    std::vector<double> ordered(hasGripper(axes) ? kMotors : kArmJoints);
    for (std::size_t i = 0; i < axes.size(); ++i) ordered[axes[i]] = values._buffer[i];
    return ordered;
}

}  // namespace

std::string checkJointCommand(const sensor_msgs_msg_dds__JointState_& command, std::vector<double>* q) {
    std::vector<int> axes;
    std::string reason = mapNames(command.name, &axes);
    if (reason.empty()) reason = checkValues(command.position, axes.size(), "position", false);
    if (reason.empty()) reason = checkValues(command.velocity, axes.size(), "velocity", true);
    if (reason.empty()) reason = checkValues(command.effort, axes.size(), "effort", true);
    if (reason.empty()) reason = checkLimits(command.position, axes);
    if (!reason.empty()) return reason;
    *q = inJointOrder(command.position, axes);
    return "";
}

std::string checkTrajectory(const trajectory_msgs_msg_dds__JointTrajectory_& trajectory,
                            std::vector<m4::TrajectoryPoint>* points) {
    std::vector<int> axes;
    const std::string names = mapNames(trajectory.joint_names, &axes);
    if (!names.empty()) return names;
    const auto& sequence = trajectory.points;
    if (!intact(sequence)) return "malformed point sequence";
    if (sequence._length == 0) return "no points";
    if (sequence._length > kMaxTrajectoryPoints) {
        return std::to_string(sequence._length) + " points, more than " + std::to_string(kMaxTrajectoryPoints);
    }
    std::vector<m4::TrajectoryPoint> checked(sequence._length);
    for (uint32_t p = 0; p < sequence._length; ++p) {
        const auto& point = sequence._buffer[p];
        std::string reason = checkValues(point.positions, axes.size(), "positions", false);
        if (reason.empty()) reason = checkValues(point.velocities, axes.size(), "velocities", true);
        if (reason.empty()) reason = checkValues(point.accelerations, axes.size(), "accelerations", true);
        if (reason.empty()) reason = checkValues(point.effort, axes.size(), "effort", true);
        if (reason.empty()) reason = checkLimits(point.positions, axes);
        const auto& time = point.time_from_start;
        if (reason.empty() && (time.sec < 0 || time.nanosec >= kNanosecondsPerSecond)) {
            reason = "time_from_start " + std::to_string(time.sec) + " s " + std::to_string(time.nanosec) +
                     " ns is not a valid time from the start";
        }
        if (!reason.empty()) return "point " + std::to_string(p) + ": " + reason;
        checked[p].positions = inJointOrder(point.positions, axes);
        if (point.velocities._length > 0) checked[p].velocities = inJointOrder(point.velocities, axes);
        checked[p].time_from_start = time.sec + time.nanosec * 1e-9;
        // Compared as integers: two times a nanosecond apart are distinct,
        // which their sums in seconds need not show.
        if (p > 0) {
            const auto& before = sequence._buffer[p - 1].time_from_start;
            if (time.sec < before.sec || (time.sec == before.sec && time.nanosec <= before.nanosec)) {
                return "point " + std::to_string(p) + ": time_from_start does not increase";
            }
        }
    }
    *points = std::move(checked);
    return "";
}

std::string checkState(int32_t state) {
    if (state < 0 || state > 5) {
        return "state " + std::to_string(state) +
               " is none of 0 soft, 1 go home, 2 protect, 3 gravity compensation, 4 pose control, "
               "5 joint position control";
    }
    return "";
}

std::string checkGripper(const control_msgs_msg_dds__GripperCommand_& command, double* position) {
    const auto& slot = kMotorLayout[m4::control::kGripper];
    if (!std::isfinite(command.position)) return "gripper position is not a finite number";
    if (!std::isfinite(command.max_effort) || command.max_effort < 0) {
        return "max_effort must be a finite, non-negative number";
    }
    if (command.position < slot.lower || command.position > slot.upper) {
        return "gripper position " + number(command.position) + " outside its range " + number(slot.lower) +
               " to " + number(slot.upper);
    }
    *position = command.position;
    return "";
}

}  // namespace qel::ros2
