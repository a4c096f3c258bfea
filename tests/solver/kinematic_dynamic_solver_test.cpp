#include "qel/solver/kinematic_dynamic_solver.hpp"

#include <cmath>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include <gtest/gtest.h>

#include "reference_chain.hpp"

namespace qel {
namespace {

using test::expectFailure;
using test::joints;
using test::kIkAngleTolerance;
using test::kUrdfPath;
using test::ReferenceChain;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void expectSameTorques(const KDL::JntArray& actual, const KDL::JntArray& expected) {
    ASSERT_EQ(actual.rows(), expected.rows());
    for (unsigned int i = 0; i < actual.rows(); ++i) {
        EXPECT_EQ(actual(i), expected(i)) << "joint " << i;
    }
}

KDL::JntArray scaled(KDL::JntArray torques) {
    for (unsigned int i = 0; i < torques.rows(); ++i) {
        torques(i) *= 1.32;
    }
    return torques;
}

TEST(KinematicDynamicSolverTest, ForwardKinematicsIsRelativeToTheZeroPose) {
    KinematicDynamicSolver solver(kUrdfPath, "base_link", "link6");
    const ReferenceChain reference;
    const KDL::Frame zero_pose = reference.fk(KDL::JntArray(6));
    EXPECT_NEAR(zero_pose.p.x(), 0.0977, 1e-9);
    EXPECT_NEAR(zero_pose.p.y(), 0.00005, 1e-6);
    EXPECT_NEAR(zero_pose.p.z(), 0.1635, 1e-9);

    const KDL::Frame at_zero = solver.computeForwardKinematics(KDL::JntArray(6));
    EXPECT_EQ(at_zero.p, KDL::Vector::Zero());
    EXPECT_TRUE(KDL::Equal(at_zero.M, zero_pose.M, 1e-15));

    for (const auto& q : test::samplePostures()) {
        const KDL::Frame frame = solver.computeForwardKinematics(q);
        const KDL::Frame absolute = reference.fk(q);
        EXPECT_TRUE(KDL::Equal(frame.p, absolute.p - zero_pose.p, 1e-12));
        EXPECT_TRUE(KDL::Equal(frame.M, absolute.M, 1e-12));
    }

    // The embedded-text constructor measures the same zero pose.
    KinematicDynamicSolver from_text(test::readFile(kUrdfPath));
    const auto q = test::samplePostures().front();
    EXPECT_TRUE(KDL::Equal(from_text.computeForwardKinematics(q), solver.computeForwardKinematics(q), 1e-15));
}

TEST(KinematicDynamicSolverTest, InverseKinematicsRecoversTheAnglesOfForwardKinematics) {
    KinematicDynamicSolver solver(kUrdfPath, "base_link", "link6");
    const KDL::Vector zero_pose = ReferenceChain().fk(KDL::JntArray(6)).p;
    for (const auto& q : test::samplePostures()) {
        const KDL::Frame target = solver.computeForwardKinematics(q);
        KDL::JntArray seed = q;
        for (unsigned int i = 0; i < 6; ++i) {
            seed(i) += (i % 2 == 0) ? 0.1 : -0.1;
        }
        KDL::Frame request = target;
        const KDL::JntArray solved = solver.computeInverseKinematics(request, seed);
        ASSERT_EQ(solved.rows(), 6u);
        for (unsigned int i = 0; i < 6; ++i) {
            EXPECT_NEAR(solved(i), q(i), kIkAngleTolerance) << "joint " << i;
        }
        EXPECT_TRUE(KDL::Equal(request.p, target.p + zero_pose, 1e-15));
    }
}

TEST(KinematicDynamicSolverTest, UnreachableTargetFailsAndKeepsTheShiftedTarget) {
    KinematicDynamicSolver solver(kUrdfPath, "base_link", "link6");
    const KDL::Vector zero_pose = ReferenceChain().fk(KDL::JntArray(6)).p;
    KDL::Frame target(KDL::Vector(1.0, 0.0, 1e-15));
    expectFailure<std::runtime_error>([&] { solver.computeInverseKinematics(target, KDL::JntArray(6)); },
                                      "Inverse kinematics computation failed.",
                                      "Inverse kinematics computation failed");
    EXPECT_TRUE(KDL::Equal(target.p, KDL::Vector(1.0, 0.0, 0.0) + zero_pose, 1e-15));
}

TEST(KinematicDynamicSolverTest, GravityTorquesAreTheScaledModelTorques) {
    KinematicDynamicSolver solver(kUrdfPath, "base_link", "link6");
    const ReferenceChain reference;
    for (const auto& q : test::samplePostures()) {
        expectSameTorques(solver.computeGravityCompensationTorque(q), scaled(reference.gravity(q)));
    }
}

TEST(KinematicDynamicSolverTest, PayloadIsAPointMassThatReplacesTheLastOne) {
    const auto q = test::samplePostures()[1];
    KinematicDynamicSolver solver(kUrdfPath, "base_link", "link6");
    const KDL::JntArray bare = solver.computeGravityCompensationTorque(q);

    KinematicDynamicSolver once(kUrdfPath, "base_link", "link6");
    once.setEndEffectorMass(0.2);
    solver.setEndEffectorMass(0.5);
    solver.setEndEffectorMass(0.2);
    const KDL::JntArray loaded = solver.computeGravityCompensationTorque(q);
    expectSameTorques(loaded, once.computeGravityCompensationTorque(q));
    const KDL::JntArray expected = scaled(ReferenceChain("link6", 0.2).gravity(q));
    for (unsigned int i = 0; i < 6; ++i) {
        EXPECT_NEAR(loaded(i), expected(i), 1e-12) << "joint " << i;
    }
    EXPECT_GT(std::abs(loaded(1) - bare(1)), 0.1);

    // A rejected mass keeps the payload that was set.
    for (double mass : {-0.1, kNaN, std::numeric_limits<double>::infinity()}) {
        expectFailure<SolverInputError>([&] { solver.setEndEffectorMass(mass); },
                                             "End-effector mass must be finite and not negative.",
                                             "End-effector mass must be finite and not negative");
    }
    expectSameTorques(solver.computeGravityCompensationTorque(q), loaded);

    solver.setEndEffectorMass(0.0);
    expectSameTorques(solver.computeGravityCompensationTorque(q), bare);
}

TEST(KinematicDynamicSolverTest, BadDescriptionsAreRefusedWithTheirMessages) {
    const std::string broken = testing::TempDir() + "qel_broken.urdf";
    std::ofstream(broken) << "<robot name=\"Zq4mina00\"><link name=\"base_link\">";
    const std::string unreadable = testing::TempDir() + "qel_no_such_dir/arm.urdf";

    // The known first words, then what a host needs to act: the path and the
    // system's reason.
    const std::string directory = testing::TempDir();
    const std::pair<std::string, std::string> files[] = {
        {unreadable, "cannot read '" + unreadable + "': No such file or directory"},
        {broken, "'" + broken + "' is not a usable robot description"},
        {directory, "cannot read '" + directory + "': Is a directory"},
        {std::string(), "cannot read '': No such file or directory"},
    };
    for (const auto& [path, reason] : files) {
        expectFailure<std::runtime_error>(
            [&] { KinematicDynamicSolver(path, "base_link", "link6"); }, "Failed to parse URDF file.\n" + reason,
            "URDF parsing failed: " + reason);
    }
    for (const std::string& text : {std::string(), test::readFile(broken), std::string("\0", 1)}) {
        expectFailure<std::runtime_error>([&] { KinematicDynamicSolver{text}; }, "Failed to URDF XML.",
                                          "URDF parsing failed");
    }
    expectFailure<std::runtime_error>([] { KinematicDynamicSolver(kUrdfPath, "base_link", "link7"); },
                                      "Failed to get chain from base_link to link7.",
                                      "Chain extraction failed");
    expectFailure<std::runtime_error>([] { KinematicDynamicSolver(kUrdfPath, "world", "link6"); },
                                      "Failed to get chain from world to link6.",
                                      "Chain extraction failed");
    // The arm has six joints; shorter chains, down to none, are refused.
    for (const char* tip : {"link5", "link1", "base_link"}) {
        expectFailure<std::runtime_error>([&] { KinematicDynamicSolver(kUrdfPath, "base_link", tip); },
                                          "Forward kinematics computation failed.",
                                          "Forward kinematics computation failed");
    }
}

// A host that catches std::runtime_error, as every solver failure promises,
// also catches refused input; and `catch (const std::exception&)` stays
// unambiguous.
static_assert(std::is_base_of_v<std::runtime_error, SolverInputError>);
static_assert(!std::is_base_of_v<std::logic_error, SolverInputError>);

TEST(KinematicDynamicSolverTest, BadJointArraysAreRefusedWithoutSideEffects) {
    KinematicDynamicSolver solver(kUrdfPath, "base_link", "link6");
    for (unsigned int size : {0u, 5u, 7u}) {
        const KDL::JntArray q(size);
        expectFailure<std::runtime_error>([&] { solver.computeForwardKinematics(q); },
                                          "Forward kinematics computation failed.",
                                          "Forward kinematics computation failed");
        expectFailure<std::runtime_error>([&] { solver.computeGravityCompensationTorque(q); },
                                          "Dynamics computation failed.", "Dynamics computation failed");
        KDL::Frame target = solver.computeForwardKinematics(test::samplePostures()[0]);
        expectFailure<std::runtime_error>([&] { solver.computeInverseKinematics(target, q); },
                                          "Inverse kinematics computation failed.",
                                          "Inverse kinematics computation failed");
    }

    KDL::JntArray q = test::samplePostures()[0];
    q(3) = kNaN;
    expectFailure<SolverInputError>([&] { solver.computeForwardKinematics(q); },
                                         "Joint angles must be finite.", "Joint angles must be finite");
    expectFailure<SolverInputError>([&] { solver.computeGravityCompensationTorque(q); },
                                         "Joint angles must be finite.", "Joint angles must be finite");
    KDL::Frame target = solver.computeForwardKinematics(test::samplePostures()[0]);
    const KDL::Frame original = target;
    expectFailure<SolverInputError>([&] { solver.computeInverseKinematics(target, q); },
                                         "Initial guess must be finite.", "Initial guess must be finite");
    EXPECT_TRUE(KDL::Equal(target, original, 1e-15));
    target.M = KDL::Rotation::RPY(0.0, kNaN, 0.0);
    expectFailure<SolverInputError>(
        [&] { solver.computeInverseKinematics(target, KDL::JntArray(6)); }, "Target pose must be finite.",
        "Target pose must be finite");
    target = original;
    target.p.z(std::numeric_limits<double>::infinity());
    expectFailure<SolverInputError>(
        [&] { solver.computeInverseKinematics(target, KDL::JntArray(6)); }, "Target pose must be finite.",
        "Target pose must be finite");
    EXPECT_EQ(target.p.z(), std::numeric_limits<double>::infinity());

    // The solver still works after all of that.
    EXPECT_EQ(solver.computeForwardKinematics(KDL::JntArray(6)).p, KDL::Vector::Zero());
}

}  // namespace
}  // namespace qel
