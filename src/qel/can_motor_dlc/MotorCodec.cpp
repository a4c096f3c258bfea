#include "qel/can_motor_dlc/MotorCodec.hpp"

#include <cmath>

namespace qel::hw_interface {
namespace {

uint16_t quantise(double value, const FieldRange& range) {
    const double clamped = clampCommandValue(value, range.min, range.max);
    return float_to_uint(static_cast<float>(clamped), static_cast<float>(range.min),
                         static_cast<float>(range.max), range.bits);
}

double dequantise(int raw, const FieldRange& range) {
    return uint_to_float(raw, static_cast<float>(range.min), static_cast<float>(range.max),
                         range.bits);
}

CanFrame emptyFrame(uint32_t can_id) {
    CanFrame frame;
    frame.can_id = can_id;
    frame.can_dlc = 8;
    return frame;
}

CanFrame modeFrame(int motor_id, uint8_t last_byte) {
    CanFrame frame = emptyFrame(static_cast<uint32_t>(motor_id));
    for (int i = 0; i < 7; ++i) frame.data[i] = 0xFF;
    frame.data[7] = last_byte;
    return frame;
}

bool isModeFrame(const CanFrame& frame, uint8_t last_byte) {
    if (frame.can_dlc != 8) return false;
    for (int i = 0; i < 7; ++i) {
        if (frame.data[i] != 0xFF) return false;
    }
    return frame.data[7] == last_byte;
}

}  // namespace

uint16_t float_to_uint(float x, float x_min, float x_max, int bits) {
    const float span = x_max - x_min;
    const float steps = static_cast<float>((1 << bits) - 1);
    const float scaled = steps * (x - x_min);
    return static_cast<uint16_t>(static_cast<int>(scaled / span));
}

float uint_to_float(int x_int, float x_min, float x_max, int bits) {
    const float span = x_max - x_min;
    const float steps = static_cast<float>((1 << bits) - 1);
    const float scaled = static_cast<float>(x_int) * span;
    return scaled / steps + x_min;
}

double clampCommandValue(double value, double min, double max) {
    if (std::isnan(value)) value = 0.0;
    if (value > max) return max;
    if (value < min) return min;
    return value;
}

HybridJointCmd withoutNonFinite(const HybridJointCmd& command) {
    // A set-point that is not a number is no set-point: packed as 0 with the
    // stiffness kept, it would pull the joint to 0 rad (or to a range limit,
    // for an infinity). The motor gets no stiffness instead; its damping
    // still brakes the joint.
    const auto finiteOrZero = [](double value) { return std::isfinite(value) ? value : 0.0; };
    const bool set_point_finite = std::isfinite(command.position) && std::isfinite(command.velocity);
    HybridJointCmd out;
    out.position = finiteOrZero(command.position);
    out.velocity = finiteOrZero(command.velocity);
    out.torque = finiteOrZero(command.torque);
    out.k_p = set_point_finite ? finiteOrZero(command.k_p) : 0.0;
    out.k_d = finiteOrZero(command.k_d);
    return out;
}

CanFrame packImpedanceFrame(int motor_id, double torque_limit, const HybridJointCmd& raw) {
    const HybridJointCmd command = withoutNonFinite(raw);
    const uint16_t kp = quantise(command.k_p, kCommandKp);
    const uint16_t kd = quantise(command.k_d, kCommandKd);
    const uint16_t p = quantise(command.position, kCommandPosition);
    const uint16_t v = quantise(command.velocity, kCommandVelocity);
    const uint16_t t = quantise(command.torque, commandTorqueRange(torque_limit));

    CanFrame frame = emptyFrame(static_cast<uint32_t>(motor_id));
    frame.data[0] = static_cast<uint8_t>(p >> 8);
    frame.data[1] = static_cast<uint8_t>(p & 0xFF);
    frame.data[2] = static_cast<uint8_t>(v >> 4);
    frame.data[3] = static_cast<uint8_t>(((v & 0xF) << 4) | (kp >> 8));
    frame.data[4] = static_cast<uint8_t>(kp & 0xFF);
    frame.data[5] = static_cast<uint8_t>(kd >> 4);
    frame.data[6] = static_cast<uint8_t>(((kd & 0xF) << 4) | (t >> 8));
    frame.data[7] = static_cast<uint8_t>(t & 0xFF);
    return frame;
}

HybridJointCmd unpackImpedanceFrame(const CanFrame& frame, double torque_limit) {
    const uint8_t* d = frame.data;
    const int p = (d[0] << 8) | d[1];
    const int v = (d[2] << 4) | (d[3] >> 4);
    const int kp = ((d[3] & 0xF) << 8) | d[4];
    const int kd = (d[5] << 4) | (d[6] >> 4);
    const int t = ((d[6] & 0xF) << 8) | d[7];

    HybridJointCmd command;
    command.position = dequantise(p, kCommandPosition);
    command.velocity = dequantise(v, kCommandVelocity);
    command.k_p = dequantise(kp, kCommandKp);
    command.k_d = dequantise(kd, kCommandKd);
    command.torque = dequantise(t, commandTorqueRange(torque_limit));
    return command;
}

CanFrame packEnableFrame(int motor_id) { return modeFrame(motor_id, 0xFC); }
CanFrame packDisableFrame(int motor_id) { return modeFrame(motor_id, 0xFD); }
bool isEnableFrame(const CanFrame& frame) { return isModeFrame(frame, 0xFC); }
bool isDisableFrame(const CanFrame& frame) { return isModeFrame(frame, 0xFD); }

bool decodeFeedbackFrame(const CanFrame& frame, MotorFeedback* out) {
    if (frame.can_id != kFeedbackCanId) return false;
    const uint8_t* d = frame.data;
    out->motor_id = d[0] & 0xF;
    out->error_code = d[0] >> 4;
    out->position = dequantise((d[1] << 8) | d[2], kFeedbackPosition);
    out->velocity = dequantise((d[3] << 4) | (d[4] >> 4), kFeedbackVelocity);
    out->current = dequantise(((d[4] & 0xF) << 8) | d[5], kFeedbackCurrent);
    return true;
}

CanFrame packFeedbackFrame(const MotorFeedback& feedback) {
    const uint16_t p = quantise(feedback.position, kFeedbackPosition);
    const uint16_t v = quantise(feedback.velocity, kFeedbackVelocity);
    const uint16_t c = quantise(feedback.current, kFeedbackCurrent);

    CanFrame frame = emptyFrame(kFeedbackCanId);
    frame.data[0] = static_cast<uint8_t>(((feedback.error_code & 0xF) << 4) | (feedback.motor_id & 0xF));
    frame.data[1] = static_cast<uint8_t>(p >> 8);
    frame.data[2] = static_cast<uint8_t>(p & 0xFF);
    frame.data[3] = static_cast<uint8_t>(v >> 4);
    frame.data[4] = static_cast<uint8_t>(((v & 0xF) << 4) | (c >> 8));
    frame.data[5] = static_cast<uint8_t>(c & 0xFF);
    return frame;
}

}  // namespace qel::hw_interface
