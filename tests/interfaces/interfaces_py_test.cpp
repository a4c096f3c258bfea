// The vector-argument interface end to end on the virtual arm: poses in and
// out as plain numbers, and input that is refused without side effects.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "qel/interfaces/InterfacesPy.hpp"
#include "support/ArmOnBus.hpp"
#include "support/ArmStates.hpp"

namespace qel::m4 {
namespace {

using namespace test::states;

using namespace std::chrono_literals;
using test::ArmOnBus;
using test::eventually;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double distance3(const std::vector<double>& a, const std::vector<double>& b) {
    return std::sqrt(std::pow(a[0] - b[0], 2) + std::pow(a[1] - b[1], 2) + std::pow(a[2] - b[2], 2));
}

TEST(InterfacesPy, PoseFormsAgreeAndAMeasuredPoseWrittenBackHoldsTheArm) {
    ArmOnBus bus;
    InterfacesPy arm(QEL_TEST_URDF, test::kTestBus, 0);

    ASSERT_TRUE(arm.set_arm_status(kPositionControl));
    ASSERT_TRUE(arm.set_joint_positions({0.3, 0.7, 0.5, 0.2, 0.3, 0.1}));
    ASSERT_TRUE(eventually([&] { return std::fabs(arm.get_joint_positions()[1] - 0.7) < 0.02; }, 20s));
    std::this_thread::sleep_for(500ms);

    std::vector<double> quaternion_pose = arm.get_ee_pose();
    std::vector<double> rpy_pose = arm.get_ee_pose_xyzrpy();
    ASSERT_EQ(quaternion_pose.size(), 7u);
    ASSERT_EQ(rpy_pose.size(), 6u);
    EXPECT_LT(distance3(quaternion_pose, rpy_pose), 1e-3);
    const double norm = std::sqrt(quaternion_pose[3] * quaternion_pose[3] + quaternion_pose[4] * quaternion_pose[4] +
                                  quaternion_pose[5] * quaternion_pose[5] + quaternion_pose[6] * quaternion_pose[6]);
    EXPECT_NEAR(norm, 1.0, 1e-9);

    // Writing the measured pose back commands the pose the arm is in.
    const std::vector<double> joints_before = arm.get_joint_positions();
    ASSERT_TRUE(arm.set_ee_pose(quaternion_pose));
    ASSERT_TRUE(arm.set_arm_status(kEndControl));
    std::this_thread::sleep_for(1500ms);
    const std::vector<double> joints_after = arm.get_joint_positions();
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(joints_after[i], joints_before[i], 0.02) << "joint " << i + 1;
    EXPECT_LT(distance3(arm.get_ee_pose(), quaternion_pose), 0.003);

    // A non-unit quaternion is normalised, not turned into a shear.
    std::vector<double> scaled = quaternion_pose;
    for (int i = 3; i < 7; ++i) scaled[i] *= 3.0;
    ASSERT_TRUE(arm.set_ee_pose(scaled));
    std::this_thread::sleep_for(1s);
    EXPECT_LT(distance3(arm.get_ee_pose(), quaternion_pose), 0.003);
}

TEST(InterfacesPy, RefusedInputChangesNothing) {
    ArmOnBus bus;
    InterfacesPy arm(QEL_TEST_URDF, test::kTestBus, 0);
    ASSERT_TRUE(arm.set_arm_status(kPositionControl));
    ASSERT_TRUE(arm.set_joint_positions({0.0, 0.4, 0.4, 0.0, 0.0, 0.0}));
    ASSERT_TRUE(eventually([&] { return std::fabs(arm.get_joint_positions()[1] - 0.4) < 0.02; }, 20s));

    EXPECT_FALSE(arm.set_joint_positions({1.0, 1.0}));
    EXPECT_FALSE(arm.set_joint_positions({1.0, 1.0, kNaN, 0, 0, 0}));
    EXPECT_FALSE(arm.set_catch(INFINITY));
    EXPECT_FALSE(arm.set_ee_pose({0.1, 0.0, 0.1, 1.0, 0.0, 0.0}));        // six values
    EXPECT_FALSE(arm.set_ee_pose({0.1, 0.0, 0.1, 0.0, 0.0, 0.0, 0.0}));   // zero quaternion
    EXPECT_FALSE(arm.set_ee_pose({0.1, kNaN, 0.1, 1.0, 0.0, 0.0, 0.0}));
    std::this_thread::sleep_for(1s);
    EXPECT_NEAR(arm.get_joint_positions()[1], 0.4, 0.02);
    EXPECT_NEAR(arm.get_joint_positions()[0], 0.0, 0.02);
}

}  // namespace
}  // namespace qel::m4
