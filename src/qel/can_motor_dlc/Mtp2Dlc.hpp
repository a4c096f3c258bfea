#pragma once

#include "qel/can_motor_dlc/ImpedanceMotor.hpp"

namespace qel::hw_interface {

// Driver of the smaller motor family (arm joints 4 to 6 and the gripper): feed-forward torque
// range ±10.
class MotorType2 : public ImpedanceMotor {
public:
    static constexpr double kTorqueLimit = 10.0;

    // Throws std::invalid_argument for an identifier outside 1 to 15.
    explicit MotorType2(int motor_id);
};

}  // namespace qel::hw_interface
