// The six state handlers. Each sends one command frame to each arm motor in
// joint order, then commands the gripper (except homing, whose callers do).
#include <unistd.h>

#include <cmath>

#include "qel/controller/ControllerBase.hpp"
#include "qel/solver/Exercise.hpp"
#include "qel/solver/Interpolation.hpp"

namespace qel::m4 {
namespace {

// The handlers pass their own rate to the interpolation, independent of the
// controller's configured one.
constexpr double kInterpolationRate = 200.0;  // Hz
constexpr useconds_t kFaultPause = 100000;    // µs, lets the damping take hold before raising

}  // namespace

bool ControllerBase::sendFrame(CanFrame frame, bool pause) {
    const bool written = qel_can_->ExchangeData(&frame);
    // Gives the motor time to answer before the next frame claims the bus.
    if (pause) usleep(200);
    return written;
}

void ControllerBase::sendCommand(std::size_t index, double k_p, double k_d, double position,
                                 double velocity, double torque, bool pause) {
    const CanFrame frame = joint_ptr_[index]->packMotorMsg(k_p, k_d, position, velocity, torque);
    // The cycle's record holds what reached the socket, not what was meant.
    if (sendFrame(frame, pause)) sent_commands_.note(index, frame);
}

void ControllerBase::sendCommand(std::size_t index, const hw_interface::HybridJointCmd& command) {
    sendCommand(index, command.k_p, command.k_d, command.position, command.velocity,
                command.torque);
}

void ControllerBase::guardOverCurrent() {
    if (ifTorqeLimit()) return;
    error_code_.appendOverCurrent();
    dampForFailure();
    usleep(kFaultPause);
    raised_ = {control::kCodeOverCurrent, 0, 0};
    errorCurrentOutLimit();
}

bool ControllerBase::jointAtHome(std::size_t index) const {
    const HybridJointStatus& joint = joint_status_[index];
    return std::fabs(joint.position - zero_point_position_[index]) < control::kHomePositionTolerance &&
           std::fabs(joint.velocity) < control::kHomeVelocityTolerance;
}

void ControllerBase::reseedFromMeasurement() {
    for (std::size_t i = 0; i < control::kArmJoints; ++i) temp_position[i] = joint_status_[i].position;
}

void ControllerBase::stateSoft() {
    for (std::size_t i = 0; i < control::kArmJoints; ++i) sendCommand(i, 0, 0, 0, 0, 0);
    reseedFromMeasurement();
    CatchSoft();
}

void ControllerBase::stateProtect() {
    // Back to back: damping must reach every joint as soon as possible.
    for (std::size_t i = 0; i < control::kArmJoints; ++i) {
        sendCommand(i, control::kProtectGains[i].k_p, control::kProtectGains[i].k_d, 0, 0, 0,
                    false);
    }
    reseedFromMeasurement();
    CatchSoft();
}

void ControllerBase::stateGravityCompensation() {
    guardOverCurrent();
    for (std::size_t i = 0; i < control::kArmJoints; ++i) {
        sendCommand(i, 0, 0, 0, 0, gravity_compensation_torqe_[i]);
    }
    reseedFromMeasurement();
    CatchSoft();
}

void ControllerBase::stateGoHome() {
    guardOverCurrent();
    go_home_flag_ = false;
    double velocity[control::kArmJoints];
    for (std::size_t i = 0; i < control::kArmJoints; ++i) {
        const double max_vel = i < 3 ? control::kHomeMaxVelProximal : control::kHomeMaxVelWrist;
        solve::Interpolation(&zero_point_position_[i], &temp_position[i], &velocity[i],
                             control::kHomeMaxAcc, max_vel, kInterpolationRate);
    }
    // No velocity set-point while homing: the motors' damping brakes every
    // move towards home.
    for (std::size_t i = 0; i < control::kArmJoints; ++i) {
        const double torque = i < 2 ? 0.0 : gravity_compensation_torqe_[i];
        sendCommand(i, control::kTrackingGains[i].k_p, control::kTrackingGains[i].k_d,
                    temp_position[i], 0.0, torque);
    }
    std::size_t at_home = 0;
    for (std::size_t i = 0; i < control::kArmJoints; ++i) {
        if (jointAtHome(i)) ++at_home;
    }
    go_home_flag_ = at_home == control::kArmJoints;
}

void ControllerBase::trackTargets(const control::ArmGains& gains, double* target) {
    const double max_acc = max_acc_.load();
    const double max_vel = max_vel_.load();
    double velocity[control::kArmJoints];
    for (std::size_t i = 0; i < control::kArmJoints; ++i) {
        solve::Interpolation(&target[i], &temp_position[i], &velocity[i], max_acc, max_vel,
                             kInterpolationRate);
    }
    sendTracking(gains, velocity, target);
}

void ControllerBase::sendTracking(const control::ArmGains& gains, const double* velocity,
                                  const double* feed_target) {
    for (std::size_t i = 0; i < control::kArmJoints; ++i) {
        double torque = gravity_compensation_torqe_[i];
        // The heavy proximal joints also get a push towards the target, so
        // they do not lag behind it.
        if (i < 3) {
            torque += (feed_target[i] - joint_status_[i].position) * control::kFeedForwardStiffness -
                      joint_status_[i].velocity * control::kFeedForwardDamping;
        }
        sendCommand(i, gains[i].k_p, gains[i].k_d, temp_position[i], velocity[i], torque);
    }
}

void ControllerBase::statePathControl(const control::PathSetPoint& set_point) {
    guardOverCurrent();
    for (std::size_t i = 0; i < control::kArmJoints; ++i) {
        // The path is checked against the limits where it is planned; this
        // only keeps a mistake there off the wire.
        temp_position[i] = control::limit(set_point.position[i], lower_Joint[i], upper_Joint[i]);
    }
    // Towards the set-point, not the motion's goal: a push towards the goal
    // would run the arm ahead of its path.
    sendTracking(control::kTrackingGains, set_point.velocity, temp_position.data());
    if (set_point.gripper) joint_target_[control::kGripper].position = set_point.gripper_target;
    CatchPositionCtrl();
    path_sent_ = true;
}

void ControllerBase::statePositionControl() {
    guardOverCurrent();
    double target[control::kArmJoints];
    for (std::size_t i = 0; i < control::kArmJoints; ++i) {
        target[i] = control::clampTarget(joint_target_[i].position, lower_Joint[i],
                                         upper_Joint[i], temp_position[i]);
    }
    trackTargets(control::kTrackingGains, target);
    CatchPositionCtrl();
}

void ControllerBase::storeSolution(const double* joints) {
    for (std::size_t i = 0; i < control::kArmJoints; ++i) solve_position_(i) = joints[i];
    has_solution_ = true;
}

bool ControllerBase::updateEndPoseTarget(const control::EndPoseRequest& request) {
    const bool continued = end_control_refresh_ != 0 && end_control_refresh_ + 1 == refresh_count_;
    end_control_refresh_ = refresh_count_;
    if (end_pose_search_ == nullptr) {
        double joints[control::kArmJoints];
        if (end_pose_solver_.solve(request, joints)) storeSolution(joints);
        return has_solution_;
    }
    if (!continued) {
        // A new session: the arm may have moved anywhere since the last one,
        // so its answers (and the previous target) are stale.
        end_pose_search_->forgetLast();
        session_first_request_ = 0;
        session_answered_ = false;
    }
    // Taken before this cycle's post, so that an answer waiting for us is
    // never skipped in favour of one still being searched.
    control::EndPoseAnswer answer;
    if (end_pose_search_->take(&answer) && session_first_request_ != 0 &&
        answer.request >= session_first_request_) {
        session_answered_ = true;
        if (answer.solved) storeSolution(answer.joints);
    }
    const uint64_t id = end_pose_search_->post(request);
    if (session_first_request_ == 0) session_first_request_ = id;
    return session_answered_ && has_solution_;
}

void ControllerBase::stateEndControl() {
    guardOverCurrent();
    control::EndPoseRequest request;
    for (std::size_t i = 0; i < control::kArmJoints; ++i) request.seed[i] = joint_status_[i].position;

    double command[6];
    solve::Isometry2Xyzrpy(ee_command_, command);
    bool finite = true;
    for (std::size_t i = 0; i < 6; ++i) {
        finite = finite && std::isfinite(command[i]);
        request.command[i] = control::limit(command[i], lower_bound_xyzrpy_[i], upper_bound_xyzrpy_[i]);
    }
    // The line search starts at the pose measured with the seed.
    solve::Isometry2Xyzrpy(ee_state_, request.from);

    // A non-finite command is no target at all: keep following the last one.
    const bool has_target =
        finite ? updateEndPoseTarget(request) : has_solution_;
    if (!has_target) {
        if (end_pose_search_ != nullptr && finite && !session_answered_) {
            // The first answer of this session is on its way: hold the
            // set-points (the posture the arm was last sent to) until it comes.
            double hold[control::kArmJoints];
            for (std::size_t i = 0; i < control::kArmJoints; ++i) hold[i] = temp_position[i];
            trackTargets(control::kPoseGains, hold);
            CatchPositionCtrl();
            return;
        }
        // Nothing was ever solved: there is no joint target to move to.
        stateProtect();
        return;
    }
    for (std::size_t i = 0; i < control::kArmJoints; ++i) {
        solve_position_(i) = control::limit(solve_position_(i), lower_Joint[i], upper_Joint[i]);
    }
    trackTargets(control::kPoseGains, solve_position_.data.data());
    CatchPositionCtrl();
}

}  // namespace qel::m4
