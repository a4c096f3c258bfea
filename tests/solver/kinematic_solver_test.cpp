// Built once against each library: both carry the compiled-in description and
// the array-based solver unchanged.
#include "qel/solver/vanteq.hpp"
#include "qel/solver/kinematic_dynamic_solver.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include <gtest/gtest.h>

#include "reference_chain.hpp"
#include "support/CapturedOutput.hpp"

namespace qel {
namespace {

// Position is solved to 1e-6 m; orientation, weighted down by the solver, to
// about 1e-4 rad.
void expectPoseNear(const double* actual, const double* expected) {
    for (int i = 0; i < 6; ++i) {
        EXPECT_NEAR(actual[i], expected[i], i < 3 ? 1e-6 : 2e-4) << "entry " << i;
    }
}

void expectSeed(const double* expected) {
    ASSERT_EQ(last_joint_angle_g.rows(), 6u);
    for (unsigned int i = 0; i < 6; ++i) {
        EXPECT_EQ(last_joint_angle_g(i), expected[i]) << "joint " << i;
    }
}

TEST(KinematicSolverTest, CompiledInDescriptionIsTheShippedFile) {
    ASSERT_EQ(urdf_xml_g, test::readFile(test::kUrdfPath));
    EXPECT_EQ(urdf_xml_g.size(), 5837u);
    EXPECT_EQ(urdf_xml_g.front(), '\n');
    EXPECT_EQ(urdf_xml_g.rfind("</robot>"), urdf_xml_g.size() - 8);
}

TEST(KinematicSolverTest, ArraysRoundTripThroughForwardAndInverseKinematics) {
    KinematicSolver solver;
    double zero[6] = {};
    double pose[6];
    solver.computeForwardKinematics(zero, pose);
    EXPECT_EQ(pose[0], 0.0);
    EXPECT_EQ(pose[1], 0.0);
    EXPECT_EQ(pose[2], 0.0);

    double q[6] = {0.2, -0.3, 0.25, 0.1, -0.2, 0.3};
    solver.computeForwardKinematics(q, pose);
    double solved[6];
    solver.computeInverseKinematics(pose, solved);
    // Seeded from zero, far from q: the same solution, less tightly.
    for (int i = 0; i < 6; ++i) {
        EXPECT_NEAR(solved[i], q[i], 1e-2) << "joint " << i;
    }
    expectSeed(solved);
    double again[6];
    solver.computeForwardKinematics(solved, again);
    expectPoseNear(again, pose);
}

TEST(KinematicSolverTest, FailedInverseKinematicsChangesNothing) {
    KinematicSolver solver;
    double q[6] = {0.2, -0.3, 0.25, 0.1, -0.2, 0.3};
    double pose[6];
    solver.computeForwardKinematics(q, pose);
    double solved[6];
    solver.computeInverseKinematics(pose, solved);

    double unreachable[6] = {1.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    double output[6] = {9, 9, 9, 9, 9, 9};
    qel::test::CaptureStderr();
    EXPECT_THROW(solver.computeInverseKinematics(unreachable, output), std::runtime_error);
    unreachable[4] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_THROW(solver.computeInverseKinematics(unreachable, output), SolverInputError);
    qel::test::GetCapturedStderr();
    for (double value : output) {
        EXPECT_EQ(value, 9.0);
    }
    expectSeed(solved);

    EXPECT_THROW(solver.computeInverseKinematics(nullptr, output), SolverInputError);
    EXPECT_THROW(solver.computeInverseKinematics(pose, nullptr), SolverInputError);
    EXPECT_THROW(solver.computeForwardKinematics(nullptr, pose), SolverInputError);
    EXPECT_THROW(solver.computeForwardKinematics(q, nullptr), SolverInputError);
    expectSeed(solved);
}

TEST(KinematicSolverTest, EveryNewSolverResetsTheSharedSeed) {
    KinematicSolver first;
    double q[6] = {0.2, -0.3, 0.25, 0.1, -0.2, 0.3};
    double pose[6];
    double solved[6];
    first.computeForwardKinematics(q, pose);
    first.computeInverseKinematics(pose, solved);
    expectSeed(solved);

    // A host that replaced the seed with one of another size would otherwise
    // see every later solve fail.
    last_joint_angle_g = KDL::JntArray(3);
    KinematicSolver second;
    const double zero[6] = {};
    expectSeed(zero);
}

}  // namespace
}  // namespace qel
