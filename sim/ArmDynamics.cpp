#include "sim/ArmDynamics.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include <kdl/chaindynparam.hpp>
#include <kdl/jntspaceinertiamatrix.hpp>
#include <kdl/tree.hpp>
#include <kdl_parser/kdl_parser.hpp>

#include "qel/solver/vanteq.hpp"

namespace qel::sim {
namespace {

constexpr double kGravity = -9.81;  // m/s², along the base z axis
// The inertia changes slowly with the posture; refreshing it every 10 ms
// instead of every step saves most of the model's cost at no visible error.
constexpr int kInertiaRefreshSteps = 10;
// Saturation or an end stop can come into play for a further joint once a
// first one is held. Each joint is held at most twice per step (saturated,
// then stopped), so this many passes always settle; most steps need one.
constexpr int kConstraintPasses = 2 * static_cast<int>(kArmJoints) + 1;

void requireFinite(double value, const char* what) {
    if (!std::isfinite(value)) {
        throw std::invalid_argument(std::string(what) + " must be a finite number");
    }
}

void requireAxis(int axis) {
    if (axis < 0 || axis >= static_cast<int>(kAxes)) {
        throw std::invalid_argument("axis index must be 0 to 6, got " + std::to_string(axis));
    }
}

// The motor's impedance law, saturated at its torque limit.
double impedanceTorque(const hw_interface::HybridJointCmd& command, double position,
                       double velocity, double limit) {
    const double torque = command.k_p * (command.position - position) +
                          command.k_d * (command.velocity - velocity) + command.torque;
    return std::clamp(torque, -limit, limit);
}

}  // namespace

ArmDynamics::ArmDynamics(const ArmDynamicsOptions& options)
    : gripper_end_stop_(options.gripper_end_stop),
      gripper_open_stop_(options.gripper_end_stop + options.gripper_travel) {
    for (std::size_t i = 0; i < kArmJoints; ++i) {
        const double angle = options.start_joints[i];
        requireFinite(angle, "start joint angle");
        if (angle < kMotorLayout[i].lower_stop || angle > kMotorLayout[i].upper_stop) {
            char message[160];
            std::snprintf(message, sizeof message,
                          "start angle %g of joint %zu lies beyond its end stops (%g to %g rad)", angle, i + 1,
                          kMotorLayout[i].lower_stop, kMotorLayout[i].upper_stop);
            throw std::invalid_argument(message);
        }
    }
    requireFinite(options.payload, "payload");
    if (options.payload < 0.0) throw std::invalid_argument("payload must not be negative");
    requireFinite(options.gripper_start, "gripper start position");
    requireFinite(options.gripper_end_stop, "gripper end stop");
    requireFinite(options.gripper_travel, "gripper travel");
    if (!(options.gripper_travel > 0.0)) {
        throw std::invalid_argument("gripper travel must be positive");
    }
    if (options.gripper_start < gripper_end_stop_ || options.gripper_start > gripper_open_stop_) {
        throw std::invalid_argument("gripper start must lie between its end stop and end stop + travel");
    }

    const std::string& description = options.urdf_xml.empty() ? urdf_xml_g : options.urdf_xml;
    solver_ = std::make_unique<KinematicDynamicSolver>(description);

    KDL::Tree tree;
    if (!kdl_parser::treeFromString(description, tree) ||
        !tree.getChain("base_link", "link6", chain_) || chain_.getNrOfJoints() != kArmJoints) {
        throw std::runtime_error("robot description has no six-joint chain base_link to link6");
    }
    inertia_solver_ = std::make_unique<KDL::ChainDynParam>(chain_, KDL::Vector(0, 0, kGravity));

    for (std::size_t i = 0; i < kArmJoints; ++i) axes_[i].position = options.start_joints[i];
    axes_[kGripperAxis].position = options.gripper_start;

    // The real arm bears more than its description's gravity torques by the
    // factor the solver applies; it is that much heavier, so its inertia is
    // scaled alike. The factor is measured from the solver rather than
    // restated here, so the two cannot drift apart.
    KDL::JntArray probe(kArmJoints);
    probe(1) = 0.5;
    probe(2) = -0.5;
    KDL::JntArray bare(kArmJoints);
    inertia_solver_->JntToGravity(probe, bare);
    const KDL::JntArray scaled = solver_->computeGravityCompensationTorque(probe);
    int largest = 0;
    for (int i = 1; i < static_cast<int>(kArmJoints); ++i) {
        if (std::abs(bare(i)) > std::abs(bare(largest))) largest = i;
    }
    if (std::abs(bare(largest)) > 1e-6) mass_factor_ = scaled(largest) / bare(largest);

    flange_inertia_ = chain_.segments.back().getInertia();
    applyPayload(options.payload);
}

ArmDynamics::~ArmDynamics() = default;

void ArmDynamics::setDrive(int axis, bool enabled, const hw_interface::HybridJointCmd& command) {
    requireAxis(axis);
    drives_[axis] = {enabled, command};
}

AxisState ArmDynamics::state(int axis) const {
    requireAxis(axis);
    return axes_[axis];
}

std::array<double, kArmJoints> ArmDynamics::gravityLoad() const {
    KDL::JntArray q(kArmJoints);
    for (std::size_t i = 0; i < kArmJoints; ++i) q(i) = axes_[i].position;
    const KDL::JntArray torques = solver_->computeGravityCompensationTorque(q);
    std::array<double, kArmJoints> result{};
    for (std::size_t i = 0; i < kArmJoints; ++i) result[i] = torques(i);
    return result;
}

void ArmDynamics::setPayload(double mass) {
    requireFinite(mass, "payload");
    if (mass < 0.0) throw std::invalid_argument("payload must not be negative");
    applyPayload(mass);
}

// The same point mass at the flange origin in both models: the solver's, which
// gives the gravity load, and the chain the inertia comes from.
void ArmDynamics::applyPayload(double mass) {
    solver_->setEndEffectorMass(mass);
    chain_.segments.back().setInertia(
        flange_inertia_ + KDL::RigidBodyInertia(mass, KDL::Vector::Zero(), KDL::RotationalInertia::Zero()));
    inertia_solver_ = std::make_unique<KDL::ChainDynParam>(chain_, KDL::Vector(0, 0, kGravity));
    payload_ = mass;
    refreshInertia();
    const auto load = gravityLoad();
    for (std::size_t i = 0; i < kArmJoints; ++i) gravity_(i) = load[i];
}

void ArmDynamics::step() {
    stepArm();
    stepGripper();
}

void ArmDynamics::refreshInertia() {
    KDL::JntArray q(kArmJoints);
    for (std::size_t i = 0; i < kArmJoints; ++i) q(i) = axes_[i].position;
    KDL::JntSpaceInertiaMatrix links(kArmJoints);
    inertia_solver_->JntToMass(q, links);
    inertia_ = links.data * mass_factor_;
    for (std::size_t i = 0; i < kArmJoints; ++i) inertia_(i, i) += kMotorLayout[i].rotor_inertia;
    steps_since_inertia_ = 0;
}

// Implicit Euler on the motors' spring and damper and on friction, explicit on
// gravity and the external torques: with a 1 ms step even k_p 500 and k_d 5 on
// the lightest joint stay stable, where an explicit step would need far finer
// steps.
//   (M + h(K_d + B) + h²K_p) v' = M v + h(K_p(p* − p) + K_d v* + τ_ff + τ_ext − G)
//   p' = p + h v'
// A joint whose motor saturates is re-solved with its torque held at the
// limit. A joint that would pass an end stop is re-solved with the velocity
// that lands it exactly on the stop, its row and column taken out of the
// system so that the others move as if it were locked there; it then rests
// on the stop with zero velocity. Every step starts without contacts, so a
// joint leaves its stop as soon as the forces on it point away from it.
void ArmDynamics::stepArm() {
    if (++steps_since_inertia_ >= kInertiaRefreshSteps) refreshInertia();
    constexpr double h = kStep;

    Vector6 q, v;
    for (std::size_t i = 0; i < kArmJoints; ++i) {
        q(i) = axes_[i].position;
        v(i) = axes_[i].velocity;
    }
    std::array<int, kArmJoints> saturated{};  // -1, 0 or +1
    std::array<int, kArmJoints> stopped{};    // -1 on the lower stop, +1 on the upper
    Vector6 v_next = v;
    for (int pass = 0; pass < kConstraintPasses; ++pass) {
        Matrix6 system = inertia_;
        Vector6 rhs = inertia_ * v;
        for (std::size_t i = 0; i < kArmJoints; ++i) {
            const Drive& drive = drives_[i];
            double k_p = 0.0, k_d = 0.0, force = 0.0;
            if (drive.enabled && saturated[i] == 0) {
                k_p = drive.command.k_p;
                k_d = drive.command.k_d;
                force = k_p * (drive.command.position - q(i)) + k_d * drive.command.velocity +
                        drive.command.torque;
            } else if (drive.enabled) {
                force = saturated[i] * kMotorLayout[i].torque_limit;
            }
            system(i, i) += h * (k_d + kMotorLayout[i].friction) + h * h * k_p;
            rhs(i) += h * (force + external_[i] - gravity_(i));
        }
        for (std::size_t i = 0; i < kArmJoints; ++i) {
            if (stopped[i] == 0) continue;
            const double stop = stopped[i] > 0 ? kMotorLayout[i].upper_stop : kMotorLayout[i].lower_stop;
            const double locked = (stop - q(i)) / h;
            rhs -= system.col(i) * locked;
            system.row(i).setZero();
            system.col(i).setZero();
            system(i, i) = 1.0;
            rhs(i) = locked;
        }
        v_next = system.ldlt().solve(rhs);

        bool changed = false;
        for (std::size_t i = 0; i < kArmJoints; ++i) {
            if (stopped[i] != 0) continue;
            const double position = q(i) + h * v_next(i);
            if (position > kMotorLayout[i].upper_stop || position < kMotorLayout[i].lower_stop) {
                stopped[i] = position > kMotorLayout[i].upper_stop ? 1 : -1;
                changed = true;
                continue;
            }
            if (!drives_[i].enabled || saturated[i] != 0) continue;
            const auto& c = drives_[i].command;
            const double torque = c.k_p * (c.position - position) +
                                  c.k_d * (c.velocity - v_next(i)) + c.torque;
            if (std::abs(torque) > kMotorLayout[i].torque_limit) {
                saturated[i] = torque > 0 ? 1 : -1;
                changed = true;
            }
        }
        if (!changed) break;
    }

    if (!v_next.allFinite()) {
        // Cannot happen with a positive definite inertia; if it ever does, the
        // arm stops rather than sending NaN to the wire.
        v_next.setZero();
    }
    for (std::size_t i = 0; i < kArmJoints; ++i) {
        AxisState& axis = axes_[i];
        if (stopped[i] != 0) {
            axis.position = stopped[i] > 0 ? kMotorLayout[i].upper_stop : kMotorLayout[i].lower_stop;
            axis.velocity = 0.0;
        } else {
            axis.velocity = v_next(i);
            axis.position = q(i) + h * v_next(i);
        }
        axis.torque = motorTorque(static_cast<int>(i), axis.position, axis.velocity);
    }
    const auto load = gravityLoad();
    for (std::size_t i = 0; i < kArmJoints; ++i) gravity_(i) = load[i];
}

// The same implicit step on a single axis; the stops absorb all motion into
// them (an inelastic contact), which is what lets a velocity command find the
// end stop and rest there.
void ArmDynamics::stepGripper() {
    constexpr double h = kStep;
    const MotorSpec& spec = kMotorLayout[kGripperAxis];
    const Drive& drive = drives_[kGripperAxis];
    AxisState& axis = axes_[kGripperAxis];

    double k_p = 0.0, k_d = 0.0, force = 0.0;
    if (drive.enabled) {
        k_p = drive.command.k_p;
        k_d = drive.command.k_d;
        force = k_p * (drive.command.position - axis.position) + k_d * drive.command.velocity +
                drive.command.torque;
    }
    const double mass = spec.rotor_inertia;
    double velocity = (mass * axis.velocity + h * force) /
                      (mass + h * (k_d + spec.friction) + h * h * k_p);
    const double unsaturated = force - k_p * h * velocity - k_d * velocity;
    if (std::abs(unsaturated) > spec.torque_limit) {
        const double held = unsaturated > 0 ? spec.torque_limit : -spec.torque_limit;
        velocity = (mass * axis.velocity + h * held) / (mass + h * spec.friction);
    }
    double position = axis.position + h * velocity;
    if (position <= gripper_end_stop_ && velocity <= 0.0) {
        position = gripper_end_stop_;
        velocity = 0.0;
    } else if (position >= gripper_open_stop_ && velocity >= 0.0) {
        position = gripper_open_stop_;
        velocity = 0.0;
    }
    axis.position = position;
    axis.velocity = velocity;
    axis.torque = motorTorque(static_cast<int>(kGripperAxis), position, velocity);
}

double ArmDynamics::motorTorque(int axis, double position, double velocity) const {
    const Drive& drive = drives_[axis];
    if (!drive.enabled) return 0.0;
    return impedanceTorque(drive.command, position, velocity, kMotorLayout[axis].torque_limit);
}

}  // namespace qel::sim
