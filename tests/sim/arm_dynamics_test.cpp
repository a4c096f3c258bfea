#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include <kdl/jntarray.hpp>

#include "qel/solver/kinematic_dynamic_solver.hpp"
#include "qel/solver/vanteq.hpp"
#include "sim/ArmDynamics.hpp"

namespace qel::sim {
namespace {

using hw_interface::HybridJointCmd;

constexpr int kStepsPerSecond = 1000;

// The gains the controller uses for homing and position control.
constexpr double kKp[kArmJoints] = {150, 150, 150, 50, 25, 10};
constexpr double kKd[kArmJoints] = {1.0, 1.0, 1.0, 0.8, 0.8, 1.0};

std::array<double, kArmJoints> gravityAt(const std::array<double, kArmJoints>& q) {
    KinematicDynamicSolver solver(urdf_xml_g);
    KDL::JntArray angles(kArmJoints);
    for (std::size_t i = 0; i < kArmJoints; ++i) angles(i) = q[i];
    const KDL::JntArray torques = solver.computeGravityCompensationTorque(angles);
    std::array<double, kArmJoints> result{};
    for (std::size_t i = 0; i < kArmJoints; ++i) result[i] = torques(i);
    return result;
}

// The arm's joint limits (rad), where its hard end stops sit.
constexpr double kLower[kArmJoints] = {-3.14, -0.1, -0.1, -1.29, -1.4835298641951802, -1.7453292519943295};
constexpr double kUpper[kArmJoints] = {2.618, 3.6, 3.0, 1.29, 1.4835298641951802, 1.7453292519943295};

void run(ArmDynamics& arm, double seconds) {
    for (int i = 0; i < static_cast<int>(seconds * kStepsPerSecond); ++i) arm.step();
}

void holdWithGravity(ArmDynamics& arm, const std::array<double, kArmJoints>& target,
                     const double* k_p, const double* k_d) {
    const auto gravity = gravityAt(target);
    for (std::size_t i = 0; i < kArmJoints; ++i) {
        HybridJointCmd command;
        command.position = target[i];
        command.k_p = k_p[i];
        command.k_d = k_d[i];
        command.torque = gravity[i];
        arm.setDrive(static_cast<int>(i), true, command);
    }
}

TEST(ArmDynamics, HoldsASetPointWhenGravityIsFedForward) {
    ArmDynamics arm(ArmDynamicsOptions{});
    const std::array<double, kArmJoints> target{0.3, 0.6, 0.5, 0.4, -0.3, 0.2};
    holdWithGravity(arm, target, kKp, kKd);
    // Joints 3 and 4 swing against each other for a while, lightly damped at
    // these gains, as a real arm does.
    run(arm, 4.0);
    for (std::size_t i = 0; i < kArmJoints; ++i) {
        const AxisState joint = arm.state(static_cast<int>(i));
        EXPECT_NEAR(joint.position, target[i], 2e-3) << "joint " << i + 1;
        EXPECT_NEAR(joint.velocity, 0.0, 2e-3) << "joint " << i + 1;
    }
    // At rest the motors carry exactly the gravity load.
    const auto load = arm.gravityLoad();
    for (std::size_t i = 0; i < kArmJoints; ++i) {
        EXPECT_NEAR(arm.state(static_cast<int>(i)).torque, load[i], 0.05) << "joint " << i + 1;
    }
}

TEST(ArmDynamics, AnExternalTorqueActsLikeAHandOnItsJoint) {
    ArmDynamics arm(ArmDynamicsOptions{});
    const std::array<double, kArmJoints> target{0.3, 0.6, 0.5, 0.4, -0.3, 0.2};
    holdWithGravity(arm, target, kKp, kKd);
    run(arm, 4.0);
    // Held by its motor's spring, joint 2 yields by about torque / k_p in the
    // direction of the push (the gravity load changes a little on the way).
    for (const double push : {6.0, -6.0}) {
        SCOPED_TRACE(push);
        std::array<double, kArmJoints> external{};
        external[1] = push;
        arm.setExternalTorques(external);
        EXPECT_EQ(arm.externalTorques(), external);
        run(arm, 4.0);
        const double yield = arm.state(1).position - target[1];
        EXPECT_GT(yield * push, 0.0) << "moves the way it is pushed";
        EXPECT_NEAR(std::abs(yield), 6.0 / kKp[1], 0.5 * 6.0 / kKp[1]);
        EXPECT_NEAR(arm.state(0).position, target[0], 2e-3) << "joint 1 is not pushed";
    }
    // Let go: back to the set-point.
    arm.setExternalTorques({});
    run(arm, 4.0);
    EXPECT_NEAR(arm.state(1).position, target[1], 2e-3);
}

TEST(ArmDynamics, StiffestGainsStayStableAndTorqueSaturates) {
    ArmDynamics arm(ArmDynamicsOptions{});
    const double stiff_p[kArmJoints] = {500, 500, 500, 500, 500, 500};
    const double stiff_d[kArmJoints] = {5, 5, 5, 5, 5, 5};
    const std::array<double, kArmJoints> target{0.5, 1.0, 0.5, -0.5, 0.5, -0.5};
    holdWithGravity(arm, target, stiff_p, stiff_d);
    double fastest = 0.0;
    for (int i = 0; i < 2 * kStepsPerSecond; ++i) {
        arm.step();
        for (std::size_t j = 0; j < kArmJoints; ++j) {
            const AxisState joint = arm.state(static_cast<int>(j));
            fastest = std::max(fastest, std::abs(joint.velocity));
            ASSERT_LE(std::abs(joint.torque), kMotorLayout[j].torque_limit + 1e-9);
        }
    }
    EXPECT_LT(fastest, 30.0);
    for (std::size_t i = 0; i < kArmJoints; ++i) {
        EXPECT_NEAR(arm.state(static_cast<int>(i)).position, target[i], 2e-3) << "joint " << i + 1;
    }

    // A set-point far away asks for more than the motor has: the torque holds
    // at the limit instead.
    HybridJointCmd far;
    far.position = 10.0;
    far.k_p = 500;
    arm.setDrive(0, true, far);
    arm.step();
    EXPECT_DOUBLE_EQ(arm.state(0).torque, kMotorLayout[0].torque_limit);
}

TEST(ArmDynamics, FallsUnderGravityWithoutMotorTorque) {
    ArmDynamicsOptions options;
    options.start_joints = {0.0, 0.6, 1.5, 0.0, 0.0, 0.0};
    ArmDynamics arm(options);
    const double load = arm.gravityLoad()[1];
    ASSERT_GT(std::abs(load), 0.5);
    // Joint 2 enabled with zero gains, the others disabled: neither applies
    // any torque.
    arm.setDrive(1, true, HybridJointCmd{});
    run(arm, 0.3);
    const AxisState shoulder = arm.state(1);
    EXPECT_EQ(shoulder.torque, 0.0);
    EXPECT_GT(std::abs(shoulder.position - 0.6), 0.1);
    // It falls the way gravity pulls, against the torque that would hold it.
    EXPECT_LT((shoulder.position - 0.6) * load, 0.0);
    // Joint 1 turns about the vertical: gravity does not move it.
    EXPECT_NEAR(arm.state(0).position, 0.0, 1e-3);
    // Friction and the end stops bring the swinging arm to rest, not to a
    // blow-up, and no joint ever passes its limits.
    for (int step = 0; step < 20 * kStepsPerSecond; ++step) {
        arm.step();
        for (std::size_t i = 0; i < kArmJoints; ++i) {
            const double position = arm.state(static_cast<int>(i)).position;
            ASSERT_TRUE(position >= kLower[i] && position <= kUpper[i]) << "joint " << i + 1 << " at " << position;
        }
    }
    for (std::size_t i = 0; i < kArmJoints; ++i) {
        EXPECT_LT(std::abs(arm.state(static_cast<int>(i)).velocity), 0.5);
    }
}

TEST(ArmDynamics, EndStopsHoldEveryJointAtItsLimitUnderACommandBeyondIt) {
    for (const int side : {+1, -1}) {
        ArmDynamics arm(ArmDynamicsOptions{});
        // One radian past the limit with the tracking stiffness: each motor
        // pushes into its stop with (up to) its full torque.
        std::array<double, kArmJoints> beyond{};
        for (std::size_t i = 0; i < kArmJoints; ++i) {
            beyond[i] = (side > 0 ? kUpper[i] : kLower[i]) + side * 1.0;
            HybridJointCmd push;
            push.position = beyond[i];
            push.k_p = kKp[i];
            push.k_d = kKd[i];
            arm.setDrive(static_cast<int>(i), true, push);
        }
        for (int step = 0; step < 3 * kStepsPerSecond; ++step) {
            arm.step();
            for (std::size_t i = 0; i < kArmJoints; ++i) {
                const double position = arm.state(static_cast<int>(i)).position;
                ASSERT_TRUE(position >= kLower[i] && position <= kUpper[i])
                    << "joint " << i + 1 << " passed its stop: " << position << " at step " << step;
            }
        }
        for (std::size_t i = 0; i < kArmJoints; ++i) {
            const AxisState joint = arm.state(static_cast<int>(i));
            EXPECT_EQ(joint.position, side > 0 ? kUpper[i] : kLower[i]) << "joint " << i + 1;
            EXPECT_EQ(joint.velocity, 0.0) << "joint " << i + 1;
            EXPECT_GT(joint.torque * side, 1.0) << "joint " << i + 1 << " still pushes into its stop";
        }

        // Commanded back inside, every joint leaves its stop.
        const std::array<double, kArmJoints> inside{0.3, 1.0, 1.0, 0.2, -0.2, 0.3};
        holdWithGravity(arm, inside, kKp, kKd);
        run(arm, 4.0);
        for (std::size_t i = 0; i < kArmJoints; ++i) {
            EXPECT_NEAR(arm.state(static_cast<int>(i)).position, inside[i], 5e-3) << "joint " << i + 1;
        }
    }
}

TEST(ArmDynamics, PayloadAddsItsWeightToTheGravityLoadThatTheMotorsCarry) {
    constexpr double kPayload = 1.5;  // kg
    const std::array<double, kArmJoints> posture{0.3, 0.8, 0.6, 0.2, -0.4, 0.1};
    ArmDynamicsOptions bare_options;
    bare_options.start_joints = posture;
    ArmDynamicsOptions loaded_options = bare_options;
    loaded_options.payload = kPayload;
    ArmDynamics bare(bare_options);
    ArmDynamics loaded(loaded_options);
    EXPECT_EQ(loaded.payload(), kPayload);

    // Reference: the torque that holds a point mass at the flange is the
    // gradient of its potential energy m·g·z(q), here by central differences
    // of the flange height, times the model's torque factor of 1.32.
    KinematicDynamicSolver kinematics(urdf_xml_g);
    auto height = [&](std::array<double, kArmJoints> q, std::size_t joint, double delta) {
        KDL::JntArray angles(kArmJoints);
        q[joint] += delta;
        for (std::size_t i = 0; i < kArmJoints; ++i) angles(i) = q[i];
        return kinematics.computeForwardKinematics(angles).p.z();
    };
    std::array<double, kArmJoints> payload_torque{};
    constexpr double kDelta = 1e-6;
    for (std::size_t i = 0; i < kArmJoints; ++i) {
        const double slope = (height(posture, i, kDelta) - height(posture, i, -kDelta)) / (2 * kDelta);
        payload_torque[i] = 1.32 * kPayload * 9.81 * slope;
    }
    ASSERT_GT(std::abs(payload_torque[1]), 1.0) << "the posture must load joint 2";
    const auto bare_load = bare.gravityLoad();
    const auto loaded_load = loaded.gravityLoad();
    for (std::size_t i = 0; i < kArmJoints; ++i) {
        EXPECT_NEAR(loaded_load[i] - bare_load[i], payload_torque[i], 1e-4) << "joint " << i + 1;
    }

    // A new payload replaces the old one; 0 is the bare arm again. Bad
    // values change nothing.
    loaded.setPayload(0.0);
    for (std::size_t i = 0; i < kArmJoints; ++i) EXPECT_NEAR(loaded.gravityLoad()[i], bare_load[i], 1e-9);
    loaded.setPayload(kPayload);
    EXPECT_THROW(loaded.setPayload(-0.1), std::invalid_argument);
    EXPECT_THROW(loaded.setPayload(std::numeric_limits<double>::quiet_NaN()), std::invalid_argument);
    EXPECT_EQ(loaded.payload(), kPayload);
    for (std::size_t i = 0; i < kArmJoints; ++i) EXPECT_NEAR(loaded.gravityLoad()[i], loaded_load[i], 1e-9);

    // Held with only the bare arm's gravity fed forward, the loaded arm sags
    // until its motors' springs carry the payload too: at rest each motor
    // applies the whole load, which is what its reported current shows.
    holdWithGravity(loaded, posture, kKp, kKd);
    run(loaded, 6.0);
    const auto load_at_rest = loaded.gravityLoad();
    for (std::size_t i = 0; i < kArmJoints; ++i) {
        EXPECT_NEAR(loaded.state(static_cast<int>(i)).torque, load_at_rest[i], 0.1) << "joint " << i + 1;
    }
    EXPECT_NEAR(loaded.state(1).position - posture[1], -payload_torque[1] / kKp[1], 5e-3)
        << "joint 2 sags by the payload torque over its stiffness";
}

TEST(ArmDynamics, GripperStopsAtItsEndStopAndAtTheEndOfItsTravel) {
    ArmDynamicsOptions options;
    options.gripper_start = 0.5;
    options.gripper_end_stop = -1.25;
    options.gripper_travel = 2.5;
    ArmDynamics arm(options);
    const int gripper = static_cast<int>(kGripperAxis);

    // The start-up calibration: damping towards velocity -5.
    HybridJointCmd calibrate;
    calibrate.k_d = 0.2;
    calibrate.velocity = -5.0;
    arm.setDrive(gripper, true, calibrate);
    double lowest = options.gripper_start;
    for (int i = 0; i < 2 * kStepsPerSecond; ++i) {
        arm.step();
        lowest = std::min(lowest, arm.state(gripper).position);
    }
    EXPECT_EQ(lowest, -1.25);
    AxisState at_stop = arm.state(gripper);
    EXPECT_EQ(at_stop.position, -1.25);
    EXPECT_EQ(at_stop.velocity, 0.0);
    EXPECT_NEAR(at_stop.torque, -1.0, 1e-9);  // it keeps pressing

    HybridJointCmd open;
    open.k_d = 0.2;
    open.torque = 2.0;
    arm.setDrive(gripper, true, open);
    run(arm, 2.0);
    EXPECT_EQ(arm.state(gripper).position, 1.25);
    EXPECT_EQ(arm.state(gripper).velocity, 0.0);
}

TEST(ArmDynamics, RejectsBadOptions) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    ArmDynamicsOptions nan_joint;
    nan_joint.start_joints[2] = kNaN;
    EXPECT_THROW(ArmDynamics{nan_joint}, std::invalid_argument);
    ArmDynamicsOptions no_travel;
    no_travel.gripper_travel = 0.0;
    EXPECT_THROW(ArmDynamics{no_travel}, std::invalid_argument);
    ArmDynamicsOptions beyond_stop;
    beyond_stop.gripper_start = beyond_stop.gripper_end_stop - 0.1;
    EXPECT_THROW(ArmDynamics{beyond_stop}, std::invalid_argument);
    for (std::size_t joint = 0; joint < kArmJoints; ++joint) {
        for (const double beyond : {kLower[joint] - 0.01, kUpper[joint] + 0.01}) {
            ArmDynamicsOptions outside;
            outside.start_joints[joint] = beyond;
            EXPECT_THROW(ArmDynamics{outside}, std::invalid_argument) << "joint " << joint + 1 << " at " << beyond;
        }
    }
    ArmDynamicsOptions at_limits;
    for (std::size_t joint = 0; joint < kArmJoints; ++joint) at_limits.start_joints[joint] = kUpper[joint];
    EXPECT_NO_THROW(ArmDynamics{at_limits});
    ArmDynamicsOptions negative_payload;
    negative_payload.payload = -1.0;
    EXPECT_THROW(ArmDynamics{negative_payload}, std::invalid_argument);
    ArmDynamicsOptions infinite_payload;
    infinite_payload.payload = std::numeric_limits<double>::infinity();
    EXPECT_THROW(ArmDynamics{infinite_payload}, std::invalid_argument);
    ArmDynamicsOptions infinite_stop;
    infinite_stop.gripper_end_stop = -std::numeric_limits<double>::infinity();
    EXPECT_THROW(ArmDynamics{infinite_stop}, std::invalid_argument);

    ArmDynamicsOptions garbage;
    garbage.urdf_xml = "<robot name=\"x\"></robo>";
    EXPECT_THROW(ArmDynamics{garbage}, std::runtime_error);

    ArmDynamics arm(ArmDynamicsOptions{});
    EXPECT_THROW(arm.setDrive(7, true, HybridJointCmd{}), std::invalid_argument);
    EXPECT_THROW(arm.state(-1), std::invalid_argument);
}

}  // namespace
}  // namespace qel::sim
