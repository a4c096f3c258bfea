// The standalone build of the solver, linked on its own.
#include <stdexcept>
#include <type_traits>

#include <gtest/gtest.h>

#include "qel/solver/kinematic_dynamic_solver.hpp"
#include "qel/solver/vanteq.hpp"
#include "reference_chain.hpp"

namespace qel {
namespace {

using test::expectFailure;
using test::kIkAngleTolerance;
using test::kUrdfPath;
using test::ReferenceChain;

template <typename T, typename = void>
struct HasPayloadSetting : std::false_type {};
template <typename T>
struct HasPayloadSetting<T, std::void_t<decltype(std::declval<T&>().setEndEffectorMass(1.0))>>
    : std::true_type {};

// Hosts must see the class as the library was built: without the payload
// setting.
static_assert(!HasPayloadSetting<KinematicDynamicSolver>::value);

TEST(StandaloneSolverTest, FileConstructorWorksInAbsoluteCoordinates) {
    KinematicDynamicSolver absolute(kUrdfPath, "base_link", "link6");
    KinematicDynamicSolver relative(urdf_xml_g);
    const KDL::Vector zero_pose = absolute.computeForwardKinematics(KDL::JntArray(6)).p;
    EXPECT_NEAR(zero_pose.x(), 0.0977, 1e-9);
    EXPECT_NEAR(zero_pose.y(), 0.00005, 1e-6);
    EXPECT_NEAR(zero_pose.z(), 0.1635, 1e-9);
    EXPECT_EQ(relative.computeForwardKinematics(KDL::JntArray(6)).p, KDL::Vector::Zero());

    for (const auto& q : test::samplePostures()) {
        const KDL::Frame a = absolute.computeForwardKinematics(q);
        const KDL::Frame r = relative.computeForwardKinematics(q);
        EXPECT_TRUE(KDL::Equal(a.p - r.p, zero_pose, 1e-12));
        EXPECT_TRUE(KDL::Equal(a.M, r.M, 1e-15));

        KDL::JntArray seed = q;
        seed(2) += 0.1;
        KDL::Frame target = a;
        const KDL::JntArray solved = absolute.computeInverseKinematics(target, seed);
        EXPECT_TRUE(KDL::Equal(target, a, 1e-15));
        for (unsigned int i = 0; i < 6; ++i) {
            EXPECT_NEAR(solved(i), q(i), kIkAngleTolerance) << "joint " << i;
        }

        // An absolute frame handed to the relative solver lands one zero-pose
        // offset further out.
        KDL::Frame mixed = a;
        const KDL::JntArray elsewhere = relative.computeInverseKinematics(mixed, solved);
        EXPECT_TRUE(KDL::Equal(absolute.computeForwardKinematics(elsewhere).p, a.p + zero_pose, 1e-5));
    }
}

TEST(StandaloneSolverTest, GravityTorquesAreTheScaledModelTorques) {
    KinematicDynamicSolver absolute(kUrdfPath, "base_link", "link6");
    KinematicDynamicSolver relative(urdf_xml_g);
    const ReferenceChain reference;
    for (const auto& q : test::samplePostures()) {
        const KDL::JntArray expected = reference.gravity(q);
        const KDL::JntArray a = absolute.computeGravityCompensationTorque(q);
        const KDL::JntArray r = relative.computeGravityCompensationTorque(q);
        ASSERT_EQ(a.rows(), 6u);
        for (unsigned int i = 0; i < 6; ++i) {
            EXPECT_EQ(a(i), 1.32 * expected(i));
            EXPECT_EQ(r(i), 1.32 * expected(i));
        }
    }
}

TEST(StandaloneSolverTest, ShorterChainsWorkAndAreNeverWrittenPastTheirEnd) {
    KinematicDynamicSolver three(kUrdfPath, "base_link", "link3");
    const ReferenceChain reference("link3");
    ASSERT_EQ(reference.joints(), 3u);
    const KDL::JntArray q = test::joints({0.4, -0.7, 0.9});

    const KDL::JntArray torques = three.computeGravityCompensationTorque(q);
    const KDL::JntArray expected = reference.gravity(q);
    ASSERT_EQ(torques.rows(), 3u);
    for (unsigned int i = 0; i < 3; ++i) {
        EXPECT_EQ(torques(i), 1.32 * expected(i));
    }
    KDL::Frame target = three.computeForwardKinematics(q);
    EXPECT_TRUE(KDL::Equal(target, reference.fk(q), 1e-15));
    const KDL::JntArray solved = three.computeInverseKinematics(target, test::joints({0.3, -0.6, 1.0}));
    EXPECT_TRUE(KDL::Equal(three.computeForwardKinematics(solved), reference.fk(q), 1e-4));
    expectFailure<std::runtime_error>([&] { three.computeGravityCompensationTorque(KDL::JntArray(6)); },
                                      "Dynamics computation failed.", "Dynamics computation failed");

    // A chain from a link to itself has no joint: there is nothing to solve
    // for, and the IK must say so rather than run on empty matrices.
    KinematicDynamicSolver none(kUrdfPath, "link3", "link3");
    EXPECT_TRUE(KDL::Equal(none.computeForwardKinematics(KDL::JntArray()), KDL::Frame::Identity(), 1e-15));
    EXPECT_EQ(none.computeGravityCompensationTorque(KDL::JntArray()).rows(), 0u);
    KDL::Frame identity = KDL::Frame::Identity();
    expectFailure<std::runtime_error>([&] { none.computeInverseKinematics(identity, KDL::JntArray()); },
                                      "Inverse kinematics computation failed.",
                                      "Inverse kinematics computation failed");
}

}  // namespace
}  // namespace qel
