// The solver's path for a control loop: the same answers as the public
// inverse kinematics, but a failure is a false result, with nothing thrown,
// nothing written and the caller's arrays as they were.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "qel/solver/kinematic_dynamic_solver.hpp"
#include "support/CapturedOutput.hpp"

namespace qel {
namespace {

TEST(SolverControlPath, SolvesLikeThePublicSolverAndFailsQuietly) {
    KinematicDynamicSolver solver(QEL_URDF_PATH, "base_link", "link6");
    KDL::JntArray angles(6);
    const double posture[6] = {0.3, 0.8, 0.6, -0.2, 0.4, 0.1};
    for (int i = 0; i < 6; ++i) angles(i) = posture[i];
    const KDL::Frame pose = solver.computeForwardKinematics(angles);
    KDL::JntArray seed(6);
    for (int i = 0; i < 6; ++i) seed(i) = posture[i] + 0.05;

    KDL::Frame public_target = pose;
    const KDL::JntArray expected = solver.computeInverseKinematics(public_target, seed);
    KDL::JntArray result;  // sized by the call
    const KDL::Frame target = pose;
    ASSERT_TRUE(solver.solveInverseKinematics(target, seed, result));
    ASSERT_EQ(result.rows(), 6u);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(result(i), expected(i)) << "joint " << i + 1;
        EXPECT_NEAR(result(i), posture[i], 1e-4) << "joint " << i + 1;
    }
    EXPECT_TRUE(target.p == pose.p) << "the target is not shifted in place";

    // Failures: out of reach, a seed of the wrong size, non-finite input.
    const KDL::JntArray kept = result;
    KDL::Frame far = pose;
    far.p = KDL::Vector(0.53, 0.53, 0.53);
    KDL::Frame not_finite = pose;
    not_finite.p.x(std::nan(""));
    KDL::JntArray short_seed(5);
    KDL::JntArray nan_seed = seed;
    nan_seed(2) = std::nan("");
    qel::test::CaptureStderr();
    EXPECT_FALSE(solver.solveInverseKinematics(far, seed, result));
    EXPECT_FALSE(solver.solveInverseKinematics(pose, short_seed, result));
    EXPECT_FALSE(solver.solveInverseKinematics(not_finite, seed, result));
    EXPECT_FALSE(solver.solveInverseKinematics(pose, nan_seed, result));
    EXPECT_EQ(qel::test::GetCapturedStderr(), "") << "the caller decides what to report";
    EXPECT_EQ(result.data, kept.data) << "a failure leaves the result as it was";
    EXPECT_EQ(far.p, KDL::Vector(0.53, 0.53, 0.53));

    // The public solver still fails as it always did.
    qel::test::CaptureStderr();
    EXPECT_THROW(solver.computeInverseKinematics(far, seed), std::runtime_error);
    EXPECT_EQ(qel::test::GetCapturedStderr(), "Inverse kinematics computation failed.\n");
}

}  // namespace
}  // namespace qel
