#include "qel/can_motor_dlc/Mtp2Dlc.hpp"

namespace qel::hw_interface {

MotorType2::MotorType2(int motor_id) : ImpedanceMotor(motor_id, kTorqueLimit) {}

}  // namespace qel::hw_interface
