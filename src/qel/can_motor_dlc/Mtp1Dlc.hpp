#pragma once

#include "qel/can_motor_dlc/ImpedanceMotor.hpp"

namespace qel::hw_interface {

// Driver of the larger motor family (arm joints 1 to 3): feed-forward torque
// range ±28.
class MotorType1 : public ImpedanceMotor {
public:
    static constexpr double kTorqueLimit = 28.0;

    // Throws std::invalid_argument for an identifier outside 1 to 15.
    explicit MotorType1(int motor_id);
};

}  // namespace qel::hw_interface
