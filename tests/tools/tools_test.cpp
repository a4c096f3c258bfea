#include "qel/tools/Tools.hpp"

#include <stdexcept>

#include <gtest/gtest.h>

#include "qel/interfaces/InterfaceTools.hpp"
#include "qel/interfaces/InterfaceToolsPy.hpp"

namespace qel::m4 {
namespace {

TEST(Tools, ZeroPoseAndTheGripperEntry) {
    Tools tools(0);
    const std::vector<double> pose = tools.forwardKinematicsRPY({0, 0, 0, 0, 0, 0});
    ASSERT_EQ(pose.size(), 6u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(pose[i], 0.0);
    for (int i = 3; i < 6; ++i) EXPECT_NEAR(pose[i], 0.0, 1e-5);

    const std::vector<double> arm = {0.3, 0.8, 1.2, -0.3, 0.4, 0.5};
    std::vector<double> with_gripper = arm;
    with_gripper.push_back(-4.2);
    EXPECT_EQ(tools.forwardKinematicsRPY(with_gripper), tools.forwardKinematicsRPY(arm));
}

TEST(Tools, AllThreeFormsAgreeAndRejectShortVectors) {
    const std::vector<double> arm = {-0.4, 1.1, 0.9, 0.2, -0.6, 1.3};
    Tools tools(0);
    InterfacesTools upper(1);
    InterfacesToolsPy snake(7);
    // The host pose of these joints, from the analytic model's reference
    // script (tests/solver/reference/analytic.py).
    const double expected[6] = {0.133343071, -0.07983239, 0.185454994,
                                1.29999638,  -8.72376006e-07, 0.199996591};
    for (const std::vector<double>& pose :
         {tools.forwardKinematicsRPY(arm), upper.ForwardKinematicsRpy(arm), snake.forward_kinematics_rpy(arm)}) {
        ASSERT_EQ(pose.size(), 6u);
        for (int i = 0; i < 6; ++i) EXPECT_NEAR(pose[i], expected[i], i < 3 ? 1e-7 : 5e-7) << i;
    }

    const std::vector<double> short_vector = {0, 0, 0, 0, 0};
    EXPECT_THROW(tools.forwardKinematicsRPY(short_vector), std::invalid_argument);
    EXPECT_THROW(upper.ForwardKinematicsRpy(short_vector), std::invalid_argument);
    EXPECT_THROW(snake.forward_kinematics_rpy({}), std::invalid_argument);
}

}  // namespace
}  // namespace qel::m4
