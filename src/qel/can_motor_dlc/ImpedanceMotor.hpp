#pragma once

#include <chrono>

#include "qel/can_motor_dlc/MotorDlcBase.hpp"

namespace qel::hw_interface {

// The driver shared by both motor families, which differ only in the torque
// range of their command frame.
class ImpedanceMotor : public MotorDlcBase {
public:
    // Feedback ages are measured on the monotonic clock: a step of the wall
    // clock (a time server's correction, a manual date change) must neither
    // declare every motor offline for good nor make a silent motor look
    // fresh.
    using Clock = std::chrono::steady_clock;

    // Motors with identifiers up to this one count as offline sooner.
    static constexpr int kFastTimeoutMaxId = 4;
    static constexpr std::chrono::microseconds kFastTimeout{200000};
    static constexpr std::chrono::microseconds kSlowTimeout{800000};

    // motor_id: the bus identifier, 1 to 15 (feedback carries it in a nibble).
    // torque_limit: the family's feed-forward torque range is ±torque_limit.
    // Throws std::invalid_argument for an identifier outside 1 to 15.
    ImpedanceMotor(int motor_id, double torque_limit);

    CanFrame packMotorMsg(HybridJointCmd* command) override;
    CanFrame packMotorMsg(double k_p, double k_d, double position, double velocity,
                          double torque) override;
    void CanAnalyze(CanFrame* frame) override;
    CanFrame packEnableMotor() override;
    CanFrame packDisableMotor() override;
    HybridJointStatus GetMotorMsg() override;
    bool online() override;
    void ExchangeMotorMsg() override;

    int motorId() const { return motor_id_; }
    double torqueLimit() const { return torque_limit_; }

private:
    // Control side.
    double position_ = 0.0;
    double velocity_ = 0.0;
    double current_ = 0.0;
    bool online_ = true;
    Clock::time_point last_update_time_{};  // the epoch until the first swap
    // Receive side.
    double position_exchange_ = 0.0;
    double velocity_exchange_ = 0.0;
    double current_exchange_ = 0.0;
    int error_exchange_ = 1;  // no fault reported before the first feedback
    Clock::time_point last_update_time_exchange_ = Clock::now();
    CanFrame* frame_ = nullptr;

    int motor_id_;
    double torque_limit_;
};

}  // namespace qel::hw_interface
