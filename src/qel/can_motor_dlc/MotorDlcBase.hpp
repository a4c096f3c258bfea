#pragma once

#include "qel/canbase/CanBaseDef.hpp"
#include "qel/typedef/HybridJointTypeDef.hpp"

namespace qel::hw_interface {

// The driver of one motor on the arm's bus: packs its command, enable and
// disable frames, decodes its feedback among all frames on the bus and judges
// from the feedback's age whether it is online.
//
// Decoded values live twice: CanAnalyze writes the receive side (on the CAN
// receive thread), ExchangeMotorMsg copies it to the control side, which the
// other operations read. Callers serialise the two with the adapter's data
// lock; the drivers have no lock of their own.
class MotorDlcBase {
public:
    virtual ~MotorDlcBase() = default;

    // The impedance command frame built from the record's k_p, k_d, position,
    // velocity and torque. Out-of-range values are clamped, NaN counts as 0.
    virtual CanFrame packMotorMsg(HybridJointCmd* command) = 0;
    // The impedance command frame: stiffness, damping, position (rad),
    // velocity (rad/s), feed-forward torque. Clamped as above.
    virtual CanFrame packMotorMsg(double k_p, double k_d, double position, double velocity,
                                  double torque) = 0;
    // Decodes `frame` into the receive side if it is this motor's feedback;
    // ignores it otherwise.
    virtual void CanAnalyze(CanFrame* frame) = 0;
    virtual CanFrame packEnableMotor() = 0;
    virtual CanFrame packDisableMotor() = 0;
    // Control-side position, velocity and current; torque is always 0.0.
    virtual HybridJointStatus GetMotorMsg() = 0;
    // False once the last feedback (as of the last swap) is too old; latches.
    virtual bool online() = 0;
    // Copies the receive side to the control side.
    virtual void ExchangeMotorMsg() = 0;

    // The 4-bit error field of the motor's last feedback as of the last swap;
    // 0 and 1 mean no fault.
    int getErrorCode() { return error_; }

protected:
    // Clamps num to [min, max]; note the upper bound comes first.
    double restrictBound(double num, double max, double min);

    int error_ = 1;
};

}  // namespace qel::hw_interface
