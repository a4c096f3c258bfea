#pragma once

namespace qel::hw_interface {

// One joint's impedance command: target position (rad; the gripper's own unit
// for the gripper), target velocity (rad/s), feed-forward torque, stiffness and
// damping.
struct HybridJointCmd {
    double position = 0.0;
    double velocity = 0.0;
    double torque = 0.0;
    double k_p = 0.0;
    double k_d = 0.0;
};

// One joint's feedback as decoded from its motor (torque is always 0.0 as
// delivered by a driver). Also carries joint targets, of which only `position`
// is read.
struct HybridJointStatus {
    double position = 0.0;
    double velocity = 0.0;
    double torque = 0.0;
    double current = 0.0;
};

}  // namespace qel::hw_interface
