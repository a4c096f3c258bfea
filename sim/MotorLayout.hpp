#pragma once

#include <array>
#include <cstddef>

#include "qel/can_motor_dlc/Mtp1Dlc.hpp"
#include "qel/can_motor_dlc/Mtp2Dlc.hpp"

namespace qel::sim {

// Physical parameters of one simulated motor and the axis it drives.
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
};

inline constexpr double kFullTorqueCurrent = 20.0;  // current units at the torque limit

// The arm's motors in axis order: joints 1 to 6, then the gripper. The
// reflected rotor inertia dominates the light outer links, which keeps the
// motors' own stiff loops (k_p up to 500) well damped.
inline constexpr std::array<MotorSpec, 7> kMotorLayout{{
    {1, hw_interface::MotorType1::kTorqueLimit, hw_interface::MotorType1::kTorqueLimit / kFullTorqueCurrent, 0.040, 0.30},
    {2, hw_interface::MotorType1::kTorqueLimit, hw_interface::MotorType1::kTorqueLimit / kFullTorqueCurrent, 0.040, 0.30},
    {4, hw_interface::MotorType1::kTorqueLimit, hw_interface::MotorType1::kTorqueLimit / kFullTorqueCurrent, 0.040, 0.30},
    {5, hw_interface::MotorType2::kTorqueLimit, hw_interface::MotorType2::kTorqueLimit / kFullTorqueCurrent, 0.010, 0.10},
    {6, hw_interface::MotorType2::kTorqueLimit, hw_interface::MotorType2::kTorqueLimit / kFullTorqueCurrent, 0.010, 0.10},
    {7, hw_interface::MotorType2::kTorqueLimit, hw_interface::MotorType2::kTorqueLimit / kFullTorqueCurrent, 0.010, 0.10},
    // The gripper axis carries only its fingers: light and with little
    // friction, so that a velocity command drives it to its end stop quickly.
    {8, hw_interface::MotorType2::kTorqueLimit, hw_interface::MotorType2::kTorqueLimit / kFullTorqueCurrent, 0.002, 0.05},
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
