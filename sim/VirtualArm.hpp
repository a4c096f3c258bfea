#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/ArmDynamics.hpp"
#include "sim/MotorLayout.hpp"
#include "sim/SimulatedMotor.hpp"

namespace qel::sim {

// How a virtual arm is set up.
struct VirtualArmOptions {
    // CAN network interface to sit on (already up), e.g. "vcan0".
    std::string interface = "vcan0";
    // Robot description file; empty means the description compiled into the
    // library (the same arm).
    std::string urdf_path;
    // Start angles of joints 1 to 6 (rad), within the joints' end stops.
    std::array<double, kArmJoints> start_joints{};
    // Payload at the flange (kg), carried by the arm's gravity load.
    double payload = 0.0;
    // Gripper start, end stop and travel in its motor's raw position unit.
    double gripper_start = 0.0;
    double gripper_end_stop = -2.0;
    // More than the controller's gripper range of 5, so every target it can
    // send is reachable.
    double gripper_travel = 5.5;
    // Seed of the random draws (dropped answers, random frames), so that a
    // run can be repeated.
    uint32_t random_seed = 1;
    // Called with every frame the motors receive (their identifiers only),
    // in the order received, on the simulation thread but outside the arm's
    // lock, so it may call the arm's members. It delays the motors' answers
    // by as long as it takes: hand the frame off rather than block on output.
    std::function<void(const hw_interface::CanFrame&)> on_frame;
};

// The true state of one motor's axis, as the simulation has it.
struct MotorState {
    int motor_id = 0;
    bool enabled = false;
    double position = 0.0;  // rad (gripper: raw motor unit)
    double velocity = 0.0;  // rad/s
    double torque = 0.0;    // N·m applied by the motor
};

// Frame counts since start().
struct VirtualArmStats {
    uint64_t frames_received = 0;  // frames addressed to one of the motors
    uint64_t answers_sent = 0;
    uint64_t random_frames_sent = 0;
    uint64_t send_failures = 0;  // frames the interface refused
};

// The arm's seven motors on a CAN interface: each motor answers every frame
// addressed to it with one feedback frame on identifier 0, and the arm moves
// under the motors' torques in real time. Faults can be injected while it
// runs; every public member is safe to call from any thread.
class VirtualArm {
public:
    using Clock = SimClock;

    // Motor identifiers in axis order: joints 1 to 6, then the gripper.
    static constexpr std::array<int, kAxes> kMotorIds{1, 2, 4, 5, 6, 7, 8};

    // Builds the model; the bus is not touched until start(). Throws
    // std::invalid_argument for bad options and std::runtime_error if the
    // robot description cannot be read or used.
    explicit VirtualArm(const VirtualArmOptions& options = {});
    // Stops the simulation if it runs.
    ~VirtualArm();
    VirtualArm(const VirtualArm&) = delete;
    VirtualArm& operator=(const VirtualArm&) = delete;

    // Opens the interface and starts the simulation thread. Throws
    // std::runtime_error, naming the interface and the reason, if the
    // interface cannot be opened. Does nothing if already running.
    void start();
    // Stops the thread and closes the socket. The arm keeps its state and can
    // be started again.
    void stop();
    bool running() const;

    // The true state of every axis, joints 1 to 6 then the gripper.
    std::array<MotorState, kAxes> states() const;
    // The true state of one motor. Throws std::invalid_argument for an
    // identifier that is not one of kMotorIds.
    MotorState state(int motor_id) const;
    // Frame counts since the last start().
    VirtualArmStats stats() const;

    // Per-motor faults. Each throws std::invalid_argument for an identifier
    // that is not one of kMotorIds or a value out of range, and changes
    // nothing then.
    // The motor stops answering from `from` on (it keeps obeying commands).
    void silenceMotor(int motor_id, Clock::time_point from = Clock::now());
    // Reports `code` (0 to 15) instead of its real status; nullopt restores it.
    void setStatusCode(int motor_id, std::optional<int> code);
    // Reports `current` instead of its real current; nullopt restores it.
    void setReportedCurrent(int motor_id, std::optional<double> current);
    // Loses this share (0 to 1) of its answers, at random.
    void setDropFraction(int motor_id, double fraction);
    // Sends each answer this long after the frame it answers (at most 10 s).
    void setAnswerDelay(int motor_id, std::chrono::microseconds delay);
    // Removes every fault of the motor.
    void clearFaults(int motor_id);
    // The faults the motor currently shows.
    MotorFaults faults(int motor_id) const;

    // Replaces the payload at the flange (kg). Throws std::invalid_argument
    // for a negative or non-finite mass and changes nothing then.
    void setPayload(double mass);

    // A hand on the arm. Torques are in N·m on joint 1 to 6, positive in the
    // joint's positive direction, at most kMaxExternalTorque in magnitude;
    // held and pushed torques add up. Each throws std::invalid_argument, and
    // changes nothing, for a joint outside 1 to 6, a torque that is not
    // finite or too large, or a negative duration.
    static constexpr double kMaxExternalTorque = 1000.0;
    // Applies `torque` to `joint` from now on until changed (0 lets go).
    void setExternalTorque(int joint, double torque);
    // Applies `torque` to `joint` from `start` for `duration`, on the
    // simulation's clock (which is Clock).
    void push(int joint, double torque, Clock::time_point start, Clock::duration duration);
    // The external torque on each joint as of the simulation's last step.
    std::array<double, kArmJoints> externalTorques() const;

    // Whole-bus faults. No motor answers from `from` on (random frames stop
    // too) until resumeBus().
    void silenceBus(Clock::time_point from = Clock::now());
    void resumeBus();
    // Sends frames with random identifiers and data at this rate (frames per
    // second, 0 switches it off, at most 10000). Throws std::invalid_argument
    // for a rate out of range.
    void setRandomFrameRate(double frames_per_second);

private:
    class Runner;
    static int axisOf(int motor_id);
    template <typename Change>
    void changeFaults(int motor_id, Change change);

    mutable std::mutex mutex_;  // guards everything below but the runner
    ArmDynamics dynamics_;
    std::array<SimulatedMotor, kAxes> motors_;
    struct Push {
        std::size_t joint;  // 0 to 5
        double torque;
        Clock::time_point start;
        Clock::time_point end;
    };
    std::array<double, kArmJoints> held_torque_{};
    std::vector<Push> pushes_;
    std::optional<Clock::time_point> bus_silent_from_;
    double random_frame_rate_ = 0.0;
    VirtualArmStats stats_;
    uint32_t seed_;
    std::string interface_;
    const std::function<void(const hw_interface::CanFrame&)> on_frame_;

    std::unique_ptr<Runner> runner_;
    mutable std::mutex runner_mutex_;  // serialises start() and stop()
};

}  // namespace qel::sim
