// The gripper commands, the enable frames, the over-current watch and the
// fault reporters.
#include <cstdio>
#include <stdexcept>
#include <string>

#include "qel/controller/ArmErrors.hpp"
#include "qel/controller/ControllerBase.hpp"
#include "qel/output/Output.hpp"

namespace qel::m4 {

void ControllerBase::CatchPositionCtrl() {
    control::GripperInput input;
    input.target = joint_target_[control::kGripper].position;
    input.zero = zero_point_position_[control::kGripper];
    input.measured = joint_status_[control::kGripper].position;
    input.torque_mode = catch_control_mode_.load() == kTorque;
    input.torque = catch_torque_target_;
    input.fast = catch_action_fast_.load();
    sendCommand(control::kGripper, control::gripperCommand(input));
}

void ControllerBase::CatchSoft() { sendCommand(control::kGripper, 0, 0, 0, 0, 0); }

void ControllerBase::setEnableMotor() {
    for (const auto& driver : joint_ptr_) sendFrame(driver->packEnableMotor());
}

void ControllerBase::setClampPos() {
    sendFrame(joint_ptr_[control::kGripper]->packEnableMotor());
}

bool ControllerBase::ifTorqeLimit() {
    return control::currentsWithinLimit(joint_status_.data(), current_limit_.data(),
                                        current_out_count_.data(), max_current_out_);
}

void ControllerBase::errorCurrentOutLimit() { throw OverCurrentError("关节力矩超限！"); }

void ControllerBase::errorMotorFault(int joint_index, int error_code) {
    throw MotorFaultError("电机故障，电机编号：" + std::to_string(joint_index) + "，故障类型：" +
                              std::to_string(error_code),
                          joint_index, error_code);
}

void ControllerBase::errorCurrentDeviceOffline() {
    // Formatted into a fixed buffer: this runs every cycle while a motor is
    // offline, and the cycle allocates nothing.
    static constexpr const char* kHeader = "电机掉线！掉线电机编号：";
    char line[output::kMaxMessage + 1];
    int used = std::snprintf(line, sizeof line, "%s", kHeader);
    for (const int motor : offline_motors_) {
        if (used < 0 || used >= static_cast<int>(sizeof line)) break;
        used += std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used), "%d ", motor);
    }
    output::writeRepeated(output::Level::kTrace, output::Stream::kStdout, kHeader, line);
}

std::vector<int> ControllerBase::getErrorCode() {
    return error_code_.take(ErrorCodeList::PendingFaults::kForget);
}

std::stringstream ControllerBase::getLog() { return std::stringstream(); }

}  // namespace qel::m4
