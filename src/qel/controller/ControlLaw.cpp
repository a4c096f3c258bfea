#include "qel/controller/ControlLaw.hpp"

namespace qel::m4::control {

bool currentsWithinLimit(const hw_interface::HybridJointStatus* status, const double* limits,
                         int* counters, int max_count) {
    for (std::size_t i = 0; i < kArmJoints; ++i) {
        if (std::fabs(status[i].current) > limits[i]) {
            ++counters[i];
        } else {
            counters[i] = 0;
        }
    }
    for (std::size_t i = 0; i < kArmJoints; ++i) {
        if (counters[i] >= max_count) return false;
    }
    return true;
}

hw_interface::HybridJointCmd gripperCommand(const GripperInput& in) {
    hw_interface::HybridJointCmd command;
    if (in.fast) {
        // The motor's own loop works in raw motor positions; the target goes
        // out as the host gave it.
        command.k_p = 5.0;
        command.k_d = 0.5;
        command.position = std::isfinite(in.target) ? in.target : in.measured;
        return command;
    }
    const double aim = in.target + in.zero - kGripperPreload;
    double current = in.torque_mode ? in.torque : (aim - in.measured) * kGripperGain;
    if (!std::isfinite(current)) current = 0.0;
    // Clamped before the narrowing to single precision (the current field of
    // the frame is far coarser), which would be undefined beyond float range.
    command.k_d = 0.2;
    command.torque = static_cast<float>(limit<double>(current, -kGripperMaxCurrent, kGripperMaxCurrent));
    return command;
}

}  // namespace qel::m4::control
