#pragma once

#include <memory>
#include <string>
#include <vector>

#include <Eigen/Geometry>

#include "qel/controller/ArmErrors.hpp"
#include "qel/controller/ControllerOptions.hpp"
#include "qel/typedef/HybridJointTypeDef.hpp"

namespace qel::m4 {

using hw_interface::HybridJointStatus;

// The public interface through which a host program drives the arm with the
// library's own types. Constructing one opens the bus, enables the motors,
// homes the arm, calibrates the gripper and starts the 200 Hz control thread;
// destroying it stops the thread, damps the motors and closes the bus.
//
// Control states for setArmStatus: 0 soft, 1 go home, 2 protect (damped),
// 3 gravity compensation, 4 end-effector pose control, 5 joint position
// control; any other value damps the arm. Faults are read with getErrorCode;
// a fault that stops the arm (motor fault, over-current, another controller
// on the bus, a failure on the control thread) is latched: the arm stays
// damped until setArmStatus, and faultLatched / latchedFaultCode /
// latchedFaultMessage tell why.
class InterfacesThread {
public:
    // urdf_path: the arm's robot description file; can_name: the SocketCAN
    // interface (up and configured, e.g. "can0"); type: the robot variant
    // (stored, unused). Blocks for the start-up, at least 3.55 s. Throws the
    // solver's std::runtime_error if the description cannot be used, and one
    // ArmError type per cause (qel/controller/ArmErrors.hpp, all
    // std::runtime_error): BusOpenError if the bus cannot be opened,
    // OtherCommanderError if another controller drives the arm,
    // NoMotorAnswerError if no arm motor answers, OverCurrentError or
    // HomingTimeoutError if homing fails, StartupCancelledError if start-up
    // is cancelled (options.cancel). std::invalid_argument for options no
    // controller can run with (see checkOptions).
    InterfacesThread(const std::string& urdf_path, const std::string& can_name, int type);
    // The same with host options: real-time settings of the library's
    // threads and memory locking (docs/realtime.md), and a handle that
    // cancels start-up (options.cancel).
    // With OnRefusal::kThrow a setting the system refuses is a
    // std::runtime_error; by default it is one warning and the arm runs.
    InterfacesThread(const std::string& urdf_path, const std::string& can_name, int type,
                     const ControllerOptions& options);
    ~InterfacesThread();
    InterfacesThread(const InterfacesThread&) = delete;
    InterfacesThread& operator=(const InterfacesThread&) = delete;

    // Seven records (six joints, the gripper) with raw motor positions.
    std::vector<HybridJointStatus> getJointStatus();
    // Seven positions: joints in rad, the gripper from its calibrated zero.
    std::vector<double> getJointPositons();
    // Seven velocities (rad/s for the joints).
    std::vector<double> getJointVelocities();
    // Seven motor currents in the drivers' units.
    std::vector<double> getJointCurrent();
    // The measured end-effector pose; position relative to the zero pose.
    Eigen::Isometry3d getEndPose();
    // The control state from the next cycle on (see the class comment); also
    // resumes after a latched fault or dampNow, forgetting only the fault the
    // latch was for. A dampNow made before this call is acted on first (code
    // 5, the arm damped for at least one cycle), then the state applies.
    void setArmStatus(int state);
    // Damps the arm from the next control cycle on and keeps it damped (error
    // code 5, latched) until a later setArmStatus. Safe from any thread and
    // from a signal handler; never lost.
    void dampNow();
    // True while a fault or dampNow holds the arm damped.
    bool faultLatched();
    // The error code the latch was set for, 0 when none: 1 over-current,
    // 3 another controller, 4 failure on the control thread, 5 dampNow,
    // 10·n + (c − 5) motor fault.
    int latchedFaultCode();
    // The latched fault's message, empty when none.
    std::string latchedFaultMessage();
    // End-effector pose target for state 4. Throws std::invalid_argument for
    // a non-finite entry; the previous target stays.
    void setEndPose(Eigen::Isometry3d input);
    // Joint targets (rad) for state 5 from entries 0 to 5; a seventh entry is
    // ignored. Throws std::invalid_argument for fewer than six values or a
    // non-finite one; the previous targets stay.
    void setJointPositions(std::vector<double> positions);
    // Gripper position mode with this target (from the calibrated zero).
    // Throws std::invalid_argument for a non-finite value.
    void setCatch(double position);
    // Gripper torque mode with this command. Throws std::invalid_argument for
    // a non-finite value.
    void setCatchTorque(double torque);
    // The gripper motor closes its own position loop (fast) or is
    // current-driven (slow, the default).
    void setCatchActionFast();
    void setCatchActionSlow();
    // Interpolation limits in thousandths: maximum acceleration qel1 / 1000
    // (clamped to 0..0.5) and velocity qel2 / 1000 (clamped to 0..2 rad/s);
    // qel3 is ignored. Throws std::invalid_argument for a non-finite value.
    void qel_x(double qel1, double qel2, double qel3);
    // Payload in kg at the flange, for gravity compensation. Throws
    // std::invalid_argument for a negative or non-finite mass.
    void setEndEffectorMass(double mass);
    // The pending error codes, oldest first, emptying the list: 1 over-current,
    // 2 bus offline, 3 another controller commands the arm, 4 failure on the
    // control thread, 5 dampNow, 10·n + 2 joint n offline, 10·n + (c − 5)
    // motor n reports fault code c (n = 7 is the gripper).
    std::vector<int> getErrorCode();

private:
    class impl;
    std::unique_ptr<impl> pimpl;
};

}  // namespace qel::m4
