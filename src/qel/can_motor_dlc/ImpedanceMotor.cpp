#include "qel/can_motor_dlc/ImpedanceMotor.hpp"

#include <stdexcept>
#include <string>

#include "qel/can_motor_dlc/MotorCodec.hpp"

namespace qel::hw_interface {

ImpedanceMotor::ImpedanceMotor(int motor_id, double torque_limit)
    : motor_id_(motor_id), torque_limit_(torque_limit) {
    if (motor_id < 1 || motor_id > 15) {
        throw std::invalid_argument("motor identifier must be 1 to 15, got " +
                                    std::to_string(motor_id));
    }
    (void)frame_;
}

CanFrame ImpedanceMotor::packMotorMsg(HybridJointCmd* command) {
    return packMotorMsg(command->k_p, command->k_d, command->position, command->velocity,
                        command->torque);
}

CanFrame ImpedanceMotor::packMotorMsg(double k_p, double k_d, double position, double velocity,
                                      double torque) {
    HybridJointCmd given;
    given.k_p = k_p;
    given.k_d = k_d;
    given.position = position;
    given.velocity = velocity;
    given.torque = torque;
    // Before the clamps, which cannot tell a missing set-point from zero.
    const HybridJointCmd finite = withoutNonFinite(given);
    HybridJointCmd clamped;
    clamped.k_p = restrictBound(finite.k_p, kCommandKp.max, kCommandKp.min);
    clamped.k_d = restrictBound(finite.k_d, kCommandKd.max, kCommandKd.min);
    clamped.position = restrictBound(finite.position, kCommandPosition.max, kCommandPosition.min);
    clamped.velocity = restrictBound(finite.velocity, kCommandVelocity.max, kCommandVelocity.min);
    clamped.torque = restrictBound(finite.torque, torque_limit_, -torque_limit_);
    return packImpedanceFrame(motor_id_, torque_limit_, clamped);
}

void ImpedanceMotor::CanAnalyze(CanFrame* frame) {
    if (frame->can_id != kFeedbackCanId || (frame->data[0] & 0xF) != motor_id_) return;
    MotorFeedback feedback;
    decodeFeedbackFrame(*frame, &feedback);
    error_exchange_ = feedback.error_code;
    last_update_time_exchange_ = Clock::now();
    position_exchange_ = feedback.position;
    velocity_exchange_ = feedback.velocity;
    current_exchange_ = feedback.current;
}

CanFrame ImpedanceMotor::packEnableMotor() { return packEnableFrame(motor_id_); }

CanFrame ImpedanceMotor::packDisableMotor() { return packDisableFrame(motor_id_); }

HybridJointStatus ImpedanceMotor::GetMotorMsg() {
    HybridJointStatus status;
    status.position = position_;
    status.velocity = velocity_;
    status.torque = 0.0;
    status.current = current_;
    return status;
}

bool ImpedanceMotor::online() {
    const auto age =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - last_update_time_);
    if (age > kFastTimeout && motor_id_ <= kFastTimeoutMaxId) online_ = false;
    if (age > kSlowTimeout) online_ = false;
    return online_;
}

void ImpedanceMotor::ExchangeMotorMsg() {
    position_ = position_exchange_;
    velocity_ = velocity_exchange_;
    current_ = current_exchange_;
    error_ = error_exchange_;
    last_update_time_ = last_update_time_exchange_;
}

}  // namespace qel::hw_interface
