#include "sim/SimulatedMotor.hpp"

#include <cmath>
#include <stdexcept>

#include "qel/can_motor_dlc/MotorCodec.hpp"

namespace qel::sim {

using hw_interface::CanFrame;

namespace {
constexpr uint32_t kIdentifierMask = 0x7FF;  // anything above is a flag bit
}  // namespace

SimulatedMotor::SimulatedMotor(const MotorSpec& spec) : spec_(spec) {}

SimulatedMotor::FrameKind SimulatedMotor::receive(const CanFrame& frame) {
    if (frame.can_id != static_cast<uint32_t>(spec_.motor_id) || (frame.can_id & ~kIdentifierMask) ||
        frame.can_dlc != 8) {
        return FrameKind::kIgnored;
    }
    if (hw_interface::isEnableFrame(frame)) {
        enabled_ = true;
        command_ = {};
        return FrameKind::kEnable;
    }
    if (hw_interface::isDisableFrame(frame)) {
        enabled_ = false;
        command_ = {};
        return FrameKind::kDisable;
    }
    command_ = hw_interface::unpackImpedanceFrame(frame, spec_.torque_limit);
    return FrameKind::kCommand;
}

SimulatedMotor::AnswerPlan SimulatedMotor::planAnswer(SimClock::time_point now, double draw) const {
    if (faults_.silent_from && now >= *faults_.silent_from) return {};
    if (draw < faults_.drop_fraction) return {};
    return {true, now + faults_.delay};
}

CanFrame SimulatedMotor::answer(const AxisState& axis) const {
    hw_interface::MotorFeedback feedback;
    feedback.motor_id = spec_.motor_id;
    feedback.error_code = faults_.status_code.value_or(enabled_ ? kStatusEnabled : kStatusDisabled);
    feedback.position = axis.position;
    feedback.velocity = axis.velocity;
    feedback.current = faults_.current.value_or(axis.torque / spec_.torque_constant);
    return hw_interface::packFeedbackFrame(feedback);
}

void SimulatedMotor::setFaults(const MotorFaults& faults) {
    if (faults.status_code && (*faults.status_code < 0 || *faults.status_code > 15)) {
        throw std::invalid_argument("status code must be 0 to 15");
    }
    if (faults.current && !std::isfinite(*faults.current)) {
        throw std::invalid_argument("reported current must be a finite number");
    }
    if (!(faults.drop_fraction >= 0.0 && faults.drop_fraction <= 1.0)) {
        throw std::invalid_argument("drop fraction must be between 0 and 1");
    }
    if (faults.delay.count() < 0) {
        throw std::invalid_argument("answer delay must not be negative");
    }
    faults_ = faults;
}

}  // namespace qel::sim
