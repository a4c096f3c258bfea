#pragma once

#include <array>
#include <memory>
#include <string>

#include <Eigen/Dense>
#include <kdl/chain.hpp>

#include "qel/solver/kinematic_dynamic_solver.hpp"
#include "qel/typedef/HybridJointTypeDef.hpp"
#include "sim/MotorLayout.hpp"

namespace KDL {
class ChainDynParam;
}

namespace qel::sim {

// Position, velocity and applied motor torque of one axis (rad, rad/s, N·m;
// the gripper in its motor's own position unit).
struct AxisState {
    double position = 0.0;
    double velocity = 0.0;
    double torque = 0.0;
};

// How the arm is built and where it starts.
struct ArmDynamicsOptions {
    // Robot description text; empty means the one compiled into the library.
    std::string urdf_xml;
    // Start angles of joints 1 to 6 (rad), within the joints' end stops.
    std::array<double, kArmJoints> start_joints{};
    // Payload at the flange (kg): a point mass at the end-effector frame
    // origin, which the arm's gravity load and inertia include.
    double payload = 0.0;
    // Gripper start, end stop and travel in the gripper motor's raw position
    // unit. The gripper cannot go below the end stop nor above end stop +
    // travel.
    double gripper_start = 0.0;
    double gripper_end_stop = -2.0;
    // More than the controller's gripper range of 5, so every target it can
    // send is reachable.
    double gripper_travel = 5.5;
};

// The rigid-body model of the arm and its gripper, driven by the motors'
// impedance law and integrated with a fixed step. Not thread-safe: the
// caller serialises access.
//
// Each enabled motor applies clamp(k_p·(p* − p) + k_d·(v* − v) + τ_ff) to its
// axis, saturated at its torque limit; a disabled motor applies nothing. The
// six joints move under that torque, the arm's gravity load from the robot
// model, the model's configuration-dependent inertia plus each motor's
// reflected rotor inertia, and viscous friction. Each joint has hard end stops
// at its limits: a joint that would pass one stops dead on it (an inelastic
// contact) and the rest of the arm moves on as if that joint were locked. The
// gripper is a single inertia between an end stop and the end of its travel.
class ArmDynamics {
public:
    static constexpr double kStep = 0.001;  // s, the integration step

    // Throws std::invalid_argument for non-finite start values, a start angle
    // beyond a joint's end stops, a travel that is not positive, a gripper
    // start outside its travel or a payload that is negative or not finite,
    // and std::runtime_error if the robot description cannot be used.
    explicit ArmDynamics(const ArmDynamicsOptions& options);
    ~ArmDynamics();
    ArmDynamics(const ArmDynamics&) = delete;
    ArmDynamics& operator=(const ArmDynamics&) = delete;

    // Sets what the motor of `axis` (0 to 6) does from the next step on.
    // Command values are used as given: they come decoded from the wire and
    // are therefore finite and within their ranges. Throws
    // std::invalid_argument for an axis out of range.
    void setDrive(int axis, bool enabled, const hw_interface::HybridJointCmd& command);

    // External torques on joints 1 to 6 (N·m, positive in each joint's
    // positive direction), as a hand pushing the arm applies them; they act
    // from the next step on until replaced. Values are used as given: the
    // caller passes finite ones.
    void setExternalTorques(const std::array<double, kArmJoints>& torques) { external_ = torques; }
    const std::array<double, kArmJoints>& externalTorques() const { return external_; }

    // Advances the model by one step of kStep.
    void step();

    // The true state of `axis` (0 to 6). Throws std::invalid_argument for an
    // axis out of range.
    AxisState state(int axis) const;

    // Gravity torques (N·m) the arm's joints bear at their present angles,
    // payload included: exactly what a controller using the same model and
    // told the same payload feeds forward.
    std::array<double, kArmJoints> gravityLoad() const;

    // Replaces the payload at the flange (kg; 0 removes it). Throws
    // std::invalid_argument for a negative or non-finite mass, keeping the
    // previous payload.
    void setPayload(double mass);
    double payload() const { return payload_; }

private:
    using Vector6 = Eigen::Matrix<double, kArmJoints, 1>;
    using Matrix6 = Eigen::Matrix<double, kArmJoints, kArmJoints>;

    struct Drive {
        bool enabled = false;
        hw_interface::HybridJointCmd command;
    };

    void refreshInertia();
    void applyPayload(double mass);
    void stepArm();
    void stepGripper();
    double motorTorque(int axis, double position, double velocity) const;

    std::unique_ptr<KinematicDynamicSolver> solver_;
    KDL::Chain chain_;  // with the payload in its last segment
    KDL::RigidBodyInertia flange_inertia_;  // the last segment's own inertia
    std::unique_ptr<KDL::ChainDynParam> inertia_solver_;
    double mass_factor_ = 1.0;
    double payload_ = 0.0;
    double gripper_end_stop_;
    double gripper_open_stop_;

    std::array<Drive, kAxes> drives_{};
    std::array<double, kArmJoints> external_{};
    std::array<AxisState, kAxes> axes_{};
    Vector6 gravity_ = Vector6::Zero();
    Matrix6 inertia_ = Matrix6::Identity();
    int steps_since_inertia_ = 0;
};

}  // namespace qel::sim
