#pragma once

// The motors' wire format, both directions. The drivers use the command packer
// and the feedback decoder; the virtual arm uses the inverse pair, so the two
// ends of the wire share one set of ranges and one quantisation.

#include <cstdint>

#include "qel/canbase/CanBaseDef.hpp"
#include "qel/typedef/HybridJointTypeDef.hpp"

namespace qel::hw_interface {

// A closed range of one quantised field.
struct FieldRange {
    double min;
    double max;
    int bits;
};

// Command frame fields; the torque range depends on the motor family.
inline constexpr FieldRange kCommandPosition{-12.5, 12.5, 16};
inline constexpr FieldRange kCommandVelocity{-45.0, 45.0, 12};
inline constexpr FieldRange kCommandKp{0.0, 500.0, 12};
inline constexpr FieldRange kCommandKd{0.0, 5.0, 12};
inline constexpr FieldRange commandTorqueRange(double torque_limit) {
    return {-torque_limit, torque_limit, 12};
}

// Feedback frame fields (the same in both families).
inline constexpr FieldRange kFeedbackPosition{-12.5, 12.5, 16};
inline constexpr FieldRange kFeedbackVelocity{-45.0, 45.0, 12};
inline constexpr FieldRange kFeedbackCurrent{-18.0, 18.0, 12};

// All motors answer on this identifier; the payload names the motor.
inline constexpr uint32_t kFeedbackCanId = 0;

// Quantises x (already within [x_min, x_max]) to `bits` bits. Done in single
// precision, multiplication first, truncated toward zero, as the motors expect.
uint16_t float_to_uint(float x, float x_min, float x_max, int bits);
// The inverse of float_to_uint, in single precision.
float uint_to_float(int x_int, float x_min, float x_max, int bits);

// Clamps to [min, max]; NaN becomes 0.0 first so that it never reaches the
// integer conversion (zero lies in every command range: no stiffness, no
// torque). Infinities clamp to the bounds.
double clampCommandValue(double value, double min, double max);

// The impedance command frame for one motor. Out-of-range values are
// clamped; a non-finite value is packed as 0, and a non-finite position or
// velocity also packs k_p as 0, so that no stiffness pulls towards a
// set-point that was never given.
CanFrame packImpedanceFrame(int motor_id, double torque_limit, const HybridJointCmd& command);
// The command with every non-finite value 0, and k_p 0 as well when the
// position or the velocity was not finite.
HybridJointCmd withoutNonFinite(const HybridJointCmd& command);
// Decodes an impedance command frame (as a motor does). The identifier is not
// checked.
HybridJointCmd unpackImpedanceFrame(const CanFrame& frame, double torque_limit);

// Enable and disable frames: seven bytes of FF and a last byte FC or FD.
CanFrame packEnableFrame(int motor_id);
CanFrame packDisableFrame(int motor_id);
bool isEnableFrame(const CanFrame& frame);
bool isDisableFrame(const CanFrame& frame);

// One motor's answer.
struct MotorFeedback {
    int motor_id = 0;    // 1 to 15
    int error_code = 0;  // 0 to 15; 0 and 1 mean no fault
    double position = 0.0;
    double velocity = 0.0;
    double current = 0.0;
};

// Decodes a feedback frame. False (and `out` untouched) unless the frame is on
// the feedback identifier; the data length is not examined.
bool decodeFeedbackFrame(const CanFrame& frame, MotorFeedback* out);
// Encodes a feedback frame (as a motor does); values are clamped to their
// ranges, NaN counts as 0.0.
CanFrame packFeedbackFrame(const MotorFeedback& feedback);

}  // namespace qel::hw_interface
