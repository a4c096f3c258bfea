#pragma once

// The failures of the arm that a host needs to tell apart, one type per
// cause. All derive from ArmError, a std::runtime_error, so a host that
// catches std::runtime_error still catches every one of them, and what() is
// the message the library has always given. Bad input at the library's edge
// is std::invalid_argument instead; an unusable robot description is the
// solver's std::runtime_error.

#include <stdexcept>
#include <string>

namespace qel::m4 {

// Root of the arm's failures.
class ArmError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Thrown by construction if the CAN interface cannot be opened (no such
// interface, a name longer than 15 characters, no socket, no bind); the
// message names the interface and the reason. Nothing was sent.
class BusOpenError : public ArmError {
public:
    using ArmError::ArmError;
};

// Thrown by construction if no arm motor answers within half a second of
// being enabled; the message names the interface and the silent motors. The
// arm is damped.
class NoMotorAnswerError : public ArmError {
public:
    using ArmError::ArmError;
};

// Thrown by construction if another controller is heard commanding the
// arm's motors, before this one sends anything (while running, the same
// finding is latched as code 3 instead). The message names the motors.
class OtherCommanderError : public ArmError {
public:
    using ArmError::ArmError;
};

// Thrown by construction if homing does not complete within 30 s; the message
// names the joints not at home. The arm is damped.
class HomingTimeoutError : public ArmError {
public:
    using ArmError::ArmError;
};

// Thrown by construction once ControllerOptions::cancel is cancelled during
// start-up. The arm is damped if anything had been sent.
class StartupCancelledError : public ArmError {
public:
    using ArmError::ArmError;
};

// Sustained over-current ("关节力矩超限！", code 1): thrown by construction if
// it happens while homing, and by Update for a caller that runs the cycle
// itself (ControllerThread latches it instead). The arm is damped.
class OverCurrentError : public ArmError {
public:
    using ArmError::ArmError;
};

// A motor reports a fault ("电机故障，电机编号：n，故障类型：c"): thrown by
// Update for a caller that runs the cycle itself (ControllerThread latches it
// instead). The arm is damped.
class MotorFaultError : public ArmError {
public:
    MotorFaultError(const std::string& message, int motor, int driver_code)
        : ArmError(message), motor_(motor), driver_code_(driver_code) {}
    // The motor's number, 1 to 7 (7 is the gripper).
    int motor() const { return motor_; }
    // The fault code the motor's driver reported.
    int driverCode() const { return driver_code_; }

private:
    int motor_;
    int driver_code_;
};

}  // namespace qel::m4
