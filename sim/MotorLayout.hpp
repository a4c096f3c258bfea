#pragma once

#include <array>
#include <cstddef>

#include "qel/can_motor_dlc/Mtp1Dlc.hpp"
#include "qel/can_motor_dlc/Mtp2Dlc.hpp"
#include "qel/controller/ControlLaw.hpp"

namespace qel::sim {

// Physical parameters of one simulated motor and the axis it drives.
//
// The arm joints have hard end stops at the controller's joint limits, so a
// command beyond them (a wrong sign, a wrong unit) is held at the stop the way
// the real arm's mechanics hold it instead of spinning the joint to the end of
// the command range. The gripper's stops are set per arm (ArmDynamicsOptions).
//
// Reported current is torque / torque_constant. The constants are chosen so
// that a motor at its torque limit reports 20 current units (beyond the
// feedback range of 18, where it clips), which puts the controller's
// over-current watch at 13 units at about two thirds of the torque limit.
struct MotorSpec {
    int motor_id;
    double torque_limit;     // N·m, the family's command torque range
    double torque_constant;  // N·m per current unit
    double rotor_inertia;    // kg·m², reflected through the gear to the axis
    double friction;         // N·m·s/rad, viscous
    double lower_stop;       // rad, hard end stops; the gripper's come from
    double upper_stop;       // rad  ArmDynamicsOptions instead
};

inline constexpr double kFullTorqueCurrent = 20.0;  // current units at the torque limit

// The spec of the motor in the controller's layout slot `index`: identifier,
// family and joint limits come from the controller's table, so the simulated
// arm cannot disagree with it; inertia and friction are the simulation's own.
constexpr MotorSpec motorSpec(std::size_t index, double rotor_inertia, double friction) {
    const m4::control::MotorSlot& slot = m4::control::kMotorLayout[index];
    const double torque_limit = slot.family == m4::control::MotorFamily::kType1
                                    ? hw_interface::MotorType1::kTorqueLimit
                                    : hw_interface::MotorType2::kTorqueLimit;
    return {slot.motor_id, torque_limit, torque_limit / kFullTorqueCurrent, rotor_inertia, friction,
            slot.lower, slot.upper};
}

// The arm's motors in axis order: joints 1 to 6, then the gripper. The
// reflected rotor inertia dominates the light outer links, which keeps the
// motors' own stiff loops (k_p up to 500) well damped.
inline constexpr std::array<MotorSpec, 7> kMotorLayout{{
    motorSpec(0, 0.040, 0.30),
    motorSpec(1, 0.040, 0.30),
    motorSpec(2, 0.040, 0.30),
    motorSpec(3, 0.010, 0.10),
    motorSpec(4, 0.010, 0.10),
    motorSpec(5, 0.010, 0.10),
    // The gripper axis carries only its fingers: light and with little
    // friction, so that a velocity command drives it to its end stop quickly.
    motorSpec(6, 0.002, 0.05),
}};

inline constexpr std::size_t kArmJoints = 6;
inline constexpr std::size_t kAxes = kMotorLayout.size();
inline constexpr std::size_t kGripperAxis = kAxes - 1;

// Axis index (0 to 6) of a motor identifier, or -1 if no motor has it.
constexpr int axisOfMotor(int motor_id) {
    for (std::size_t i = 0; i < kMotorLayout.size(); ++i) {
        if (kMotorLayout[i].motor_id == motor_id) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace qel::sim
