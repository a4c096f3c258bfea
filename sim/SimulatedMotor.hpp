#pragma once

#include <chrono>
#include <optional>

#include "qel/canbase/CanBaseDef.hpp"
#include "qel/typedef/HybridJointTypeDef.hpp"
#include "sim/ArmDynamics.hpp"
#include "sim/MotorLayout.hpp"

namespace qel::sim {

using SimClock = std::chrono::steady_clock;

// Faults one simulated motor can be told to show.
struct MotorFaults {
    // No answers at or after this moment (the motor still obeys commands).
    std::optional<SimClock::time_point> silent_from;
    // Status code (0 to 15) reported instead of the real one.
    std::optional<int> status_code;
    // Current reported instead of the real one (current units).
    std::optional<double> current;
    // Share of answers that are lost, 0 to 1.
    double drop_fraction = 0.0;
    // Every answer leaves this long after the frame it answers.
    std::chrono::microseconds delay{0};
};

// The protocol side of one motor: it decodes the frames addressed to it,
// keeps its enable state and latest command, and builds its answers. Not
// thread-safe: the caller serialises access.
class SimulatedMotor {
public:
    // What a received frame was.
    enum class FrameKind { kCommand, kEnable, kDisable, kIgnored };

    // When (and whether) the answer to a frame leaves.
    struct AnswerPlan {
        bool send = false;
        SimClock::time_point due;
    };

    // Status codes of a healthy motor.
    static constexpr int kStatusDisabled = 0;
    static constexpr int kStatusEnabled = 1;

    explicit SimulatedMotor(const MotorSpec& spec);

    // Takes one frame from the bus. Frames for another identifier, with flag
    // bits or with a length other than 8 are ignored and get no answer;
    // enable and disable reset the command to a limp one, as the motor drops
    // its set-points on a mode change.
    FrameKind receive(const hw_interface::CanFrame& frame);

    // Decides whether the answer to a frame received at `now` leaves, and
    // when. `draw` is a uniform random number in [0, 1) for the drop fault.
    AnswerPlan planAnswer(SimClock::time_point now, double draw) const;

    // The feedback frame for the axis state, with the status and current
    // faults applied. Current is torque / torque constant.
    hw_interface::CanFrame answer(const AxisState& axis) const;

    // Replaces the fault settings. Throws std::invalid_argument for a status
    // code outside 0 to 15, a non-finite current, a drop fraction outside
    // [0, 1] or a negative delay, keeping the previous settings.
    void setFaults(const MotorFaults& faults);
    const MotorFaults& faults() const { return faults_; }

    bool enabled() const { return enabled_; }
    const hw_interface::HybridJointCmd& command() const { return command_; }
    const MotorSpec& spec() const { return spec_; }

private:
    MotorSpec spec_;
    bool enabled_ = false;
    hw_interface::HybridJointCmd command_;
    MotorFaults faults_;
};

}  // namespace qel::sim
