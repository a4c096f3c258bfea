#include "qel/can_motor_dlc/Mtp1Dlc.hpp"

namespace qel::hw_interface {

MotorType1::MotorType1(int motor_id) : ImpedanceMotor(motor_id, kTorqueLimit) {}

}  // namespace qel::hw_interface
