#include "qel/can_motor_dlc/MotorDlcBase.hpp"

#include "qel/can_motor_dlc/MotorCodec.hpp"

namespace qel::hw_interface {

double MotorDlcBase::restrictBound(double num, double max, double min) {
    return clampCommandValue(num, min, max);
}

}  // namespace qel::hw_interface
