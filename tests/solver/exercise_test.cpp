#include "qel/solver/Exercise.hpp"
#include "support/CapturedOutput.hpp"

#include <cmath>
#include <limits>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qel::solve {
namespace {

using testing::HasSubstr;
using qel::test::CaptureStdout;
using qel::test::GetCapturedStdout;

constexpr double kHostPose[6] = {0.3, 0.8, 1.2, -0.3, 0.4, 0.5};

TEST(ForwardKinematics, ZeroPoseInModelAndHostFrames) {
    const float zeros[6] = {0, 0, 0, 0, 0, 0};
    float T[4][4];
    fk(zeros, T);
    EXPECT_NEAR(T[0][3], 0.0975, 1e-4);
    EXPECT_NEAR(T[1][3], 0.0, 1e-6);
    EXPECT_NEAR(T[2][3], 0.0599, 1e-4);
    const float expected[3][3] = {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(T[i][j], expected[i][j], 1e-6) << i << "," << j;

    const double q[6] = {0, 0, 0, 0, 0, 0};
    double pose[6];
    l5_fk(q, pose);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(pose[i], 0.0);
    for (int i = 3; i < 6; ++i) EXPECT_NEAR(pose[i], 0.0, 1e-5);

    double M[4][4];
    for (auto& row : M)
        for (double& v : row) v = 7.0;
    l5_fk_matrix(q, M);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(M[i][3], 0.0);
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(M[i][j], i == j ? 1.0 : 0.0, 1e-5);
    }
    for (double v : M[3]) EXPECT_EQ(v, 7.0) << "row 3 belongs to the caller";
}

TEST(ForwardKinematics, HostJointsTwoAndFiveAreMirrored) {
    const float zeros[6] = {0, 0, 0, 0, 0, 0};
    float T0[4][4], T[4][4], Twrong[4][4];
    fk(zeros, T0);
    const float model[6] = {0.3f, -0.8f, 1.2f, -0.3f, -0.4f, 0.5f};
    fk(model, T);
    const float unmirrored[6] = {0.3f, 0.8f, 1.2f, -0.3f, 0.4f, 0.5f};
    fk(unmirrored, Twrong);

    double pose[6];
    l5_fk(kHostPose, pose);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(pose[i], static_cast<double>(T[i][3] - T0[i][3]));
    EXPECT_GT(std::fabs(pose[2] - (Twrong[2][3] - T0[2][3])), 1e-2);

    // The matrix form is the same pose.
    double M[4][4] = {};
    l5_fk_matrix(kHostPose, M);
    const Eigen::Isometry3d iso = Xyzrpy2Isometry(pose);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(M[i][3], pose[i]);
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(M[i][j], iso.linear()(i, j), 1e-6);
    }
}

TEST(MatrixHelpers, RigidInverseAndAngleExtraction) {
    const float q[6] = {0.2f, -0.7f, 1.1f, 0.4f, -0.3f, 0.9f};
    float T[4][4], Tinv[4][4], I[4][4];
    fk(q, T);
    my_invT(T, Tinv);
    T_dot_T(Tinv, T, I);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_NEAR(I[i][j], i == j ? 1.0f : 0.0f, 1e-6);
    T_dot_T(Tinv, T, Tinv);  // writing over an input is allowed
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_EQ(Tinv[i][j], I[i][j]);

    // Regular branch: the angles of Rz·Ry·Rx come back.
    float Rx[3][3], Ry[3][3], Rz[3][3], Ryx[3][3], R[3][3], rpy[3];
    R_rot_xyz(0.3f, -0.4f, 1.2f, Rx, Ry, Rz);
    R_dot_R(Ry, Rx, Ryx);
    R_dot_R(Rz, Ryx, R);
    my_GetRPY(R, rpy);
    EXPECT_NEAR(rpy[0], 0.3f, 1e-6);
    EXPECT_NEAR(rpy[1], -0.4f, 1e-6);
    EXPECT_NEAR(rpy[2], 1.2f, 1e-6);

    // Vertical approach axis: roll is folded into yaw.
    const float c = std::cos(0.3f), s = std::sin(0.3f);
    const float vertical[3][3] = {{0, -s, c}, {0, c, s}, {-1, 0, 0}};
    my_GetRPY(vertical, rpy);
    EXPECT_EQ(rpy[0], 0.0f);
    EXPECT_EQ(rpy[1], 1.5707963705062866f);
    EXPECT_NEAR(rpy[2], 0.3f, 1e-6);
}

TEST(PoseConversion, IsometryRoundTripAndVerticalPitch) {
    const double cases[][6] = {
        {0.1, -0.2, 0.3, 0.5, -0.7, 2.9},
        {0.0, 0.0, 0.0, -3.0, 1.5, -1.0},
        {-1.0, 2.0, 0.5, 3.14159, -1.57, 0.0},
    };
    for (const auto& v : cases) {
        const std::vector<double> back = Isometry2Xyzrpy(Xyzrpy2Isometry(v));
        ASSERT_EQ(back.size(), 6u);
        for (int i = 0; i < 6; ++i) EXPECT_NEAR(back[i], v[i], 1e-9) << i;
    }
    const double yaw90[6] = {0, 0, 0, 0, 0, M_PI / 2};
    const Eigen::Vector3d x_axis = Xyzrpy2Isometry(yaw90).linear() * Eigen::Vector3d::UnitX();
    EXPECT_NEAR(x_axis.y(), 1.0, 1e-12);

    // A rotation entry rounded just past -1 must still give pitch pi/2.
    Eigen::Isometry3d vertical = Eigen::Isometry3d::Identity();
    vertical.linear() << 0, 0, 1, 0, 1, 0, -1.0000000000000002, 0, 0;
    EXPECT_DOUBLE_EQ(Isometry2Xyzrpy(vertical)[4], M_PI / 2);
}

TEST(InverseKinematics, JacobianMatchesFiniteDifferences) {
    const float q[6] = {0.3f, -0.8f, 1.2f, -0.3f, -0.4f, 0.5f};
    float J[6][6], T[4][4], Tstep[4][4], e[6];
    my_get_jacobe(q, J);
    fk(q, T);
    constexpr float h = 1e-3f;
    for (int j = 0; j < 6; ++j) {
        float qs[6];
        for (int i = 0; i < 6; ++i) qs[i] = q[i];
        qs[j] += h;
        fk(qs, Tstep);
        my_tr2dlta(T, Tstep, e);
        for (int r = 0; r < 6; ++r) EXPECT_NEAR(e[r] / h, J[r][j], 2e-3) << r << "," << j;
    }
}

TEST(InverseKinematics, InvertsHostForwardKinematics) {
    double pose[6], seed[6], joints[6];
    l5_fk(kHostPose, pose);
    ASSERT_GE(pose[0], 0.0);
    for (int i = 0; i < 6; ++i) seed[i] = kHostPose[i] + 0.1;
    CaptureStdout();
    l5_ik_lm(seed, pose, joints);
    EXPECT_EQ(GetCapturedStdout(), "") << "must converge without hitting the iteration limit";
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(joints[i], kHostPose[i], 1e-3) << i;

    double M[4][4] = {}, M_copy[4][4];
    l5_fk_matrix(kHostPose, M);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) M_copy[i][j] = M[i][j];
    l5_ik_lm_matrix(seed, M, joints);
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(joints[i], kHostPose[i], 1e-3) << i;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_EQ(M[i][j], M_copy[i][j]);

    // A seed that already meets the target comes back untouched.
    const float model[6] = {0.3f, -0.8f, 1.2f, -0.3f, -0.4f, 0.5f};
    float T[4][4], out[6];
    fk(model, T);
    CaptureStdout();
    ik_LM(T, model, out);
    EXPECT_EQ(GetCapturedStdout(), "");
    for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i], model[i]);
}

TEST(InverseKinematics, NegativeXIsSolvedAsZeroAndWrittenBack) {
    double at_zero[6] = {0.0, 0.03, 0.28, 0.5, -0.1, -0.1};
    double seed[6], a_out[6], b_out[6];
    for (int i = 0; i < 6; ++i) seed[i] = kHostPose[i];
    l5_ik_lm(seed, at_zero, b_out);
    // However little behind the zero pose.
    for (double x : {-0.05, -1e-9}) {
        double clamped[6] = {x, 0.03, 0.28, 0.5, -0.1, -0.1};
        l5_ik_lm(seed, clamped, a_out);
        EXPECT_EQ(clamped[0], 0.0) << x;
        for (int i = 0; i < 6; ++i) EXPECT_EQ(a_out[i], b_out[i]) << x;
    }
}

// A target that is not a number ends the solve at its seed, which makes the
// seed preparation (caps and sign rule) visible.
TEST(InverseKinematics, SeedCapsAndSignRule) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    double target[6] = {0.1, 0.0, 0.2, nan, 0.0, 0.0};
    double joints[6];

    const double folded[6] = {0.1, 0.4, 3.0, 1.5, -0.2, 0.3};
    l5_ik_lm(folded, target, joints);
    const double capped[6] = {0.1f, 0.4f, 2.7f, 1.1f, -0.2f, 0.3f};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(joints[i], capped[i]) << i;

    const double within[6] = {-0.1, -0.4, 2.7, 1.1, 0.2, -0.3};
    l5_ik_lm(within, target, joints);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(joints[i], static_cast<double>(static_cast<float>(within[i])));

    const double low[6] = {0, 0, -3.0, -3.0, 0, 0};
    l5_ik_lm(low, target, joints);
    EXPECT_EQ(joints[2], -3.0);
    EXPECT_EQ(joints[3], -3.0);
}

TEST(InverseKinematics, UnreachableTargetStillGivesFiniteAngles) {
    double target[6] = {2.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    double joints[6];
    CaptureStdout();
    l5_ik_lm(kHostPose, target, joints);
    const std::string out = GetCapturedStdout();
    EXPECT_TRUE(out.empty() || out.rfind("out of ilimit!", 0) == 0) << out;
    for (double v : joints) EXPECT_TRUE(std::isfinite(v));
}

float to_pose(const double* q, float* pose) {
    double p[6];
    l5_fk(q, p);
    for (int i = 0; i < 6; ++i) pose[i] = static_cast<float>(p[i]);
    return pose[0];
}

TEST(JointLimitGuard, AcceptsReachableTargetAndFlagsEachViolation) {
    float seed[6], pose[6], joints[6];
    for (int i = 0; i < 6; ++i) seed[i] = static_cast<float>(kHostPose[i]);
    to_pose(kHostPose, pose);
    CaptureStdout();
    EXPECT_FALSE(is_joint_lmt(seed, pose, joints));
    EXPECT_EQ(GetCapturedStdout(), "");
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(joints[i], kHostPose[i], 1e-3);

    // Host joint 2 of -0.2 is model joint 2 of 0.2, above its 0.1 bound.
    const double lifted[6] = {0.2, -0.2, 1.0, 0.3, 0.4, 0.5};
    for (int i = 0; i < 6; ++i) seed[i] = static_cast<float>(lifted[i]);
    to_pose(lifted, pose);
    float given[6] = {9, 9, 9, 9, 9, 9};
    CaptureStdout();
    EXPECT_TRUE(is_joint_lmt(seed, pose, given));
    EXPECT_EQ(GetCapturedStdout(), "jont 2 too much!!\n继续运行将超出关节2限位，请返回！\n");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(given[i], 9.0f);
    EXPECT_NEAR(given[5], 0.5f, 1e-3);

    // Elbow bent backwards past -0.1: the caller's joint 3 is moved onto the
    // bound.
    const double folded[6] = {0.0, 1.2, -0.3, 0.2, 0.3, 0.0};
    for (int i = 0; i < 6; ++i) seed[i] = static_cast<float>(folded[i]);
    to_pose(folded, pose);
    float out[6] = {9, 9, 9, 9, 9, 9};
    CaptureStdout();
    EXPECT_TRUE(is_joint_lmt(seed, pose, out));
    EXPECT_EQ(GetCapturedStdout(), "继续运行将超出关节3限位，请返回！\n");
    EXPECT_EQ(out[2], -0.1f);
    EXPECT_EQ(out[0], 9.0f);

    // Input that is not a number is refused without touching the output.
    float bad[6] = {0.1f, 0.0f, 0.2f, std::nanf(""), 0.0f, 0.0f};
    float untouched[6] = {1, 2, 3, 4, 5, 6};
    CaptureStdout();
    EXPECT_TRUE(is_joint_lmt(seed, bad, untouched));
    EXPECT_EQ(GetCapturedStdout(), "");
    for (int i = 0; i < 6; ++i) EXPECT_EQ(untouched[i], i + 1.0f);
}

TEST(WorkspaceGuard, ReachAroundTheShoulder) {
    const float zeros[6] = {0, 0, 0, 0, 0, 0};
    float init[4][4], out[6], j4[3];
    fk(zeros, init);
    l5_get_jonit4_pos(d[5], zeros, j4);
    EXPECT_NEAR(j4[0], 0.03875, 1e-6);
    EXPECT_NEAR(j4[1], 0.0, 1e-7);
    EXPECT_NEAR(j4[2], 0.0, 1e-7);

    CaptureStdout();
    EXPECT_TRUE(is_out_spherical_wan(init, zeros, 0.13f, out));
    EXPECT_EQ(GetCapturedStdout(), "继续运行将超出机械臂工作空间，请返回！\n");
    for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i], zeros[i]);
    CaptureStdout();
    EXPECT_FALSE(is_out_spherical_wan(init, zeros, 0.2f, out));
    EXPECT_EQ(GetCapturedStdout(), "");

    const float nan_pose[6] = {std::nanf(""), 0, 0, 0, 0, 0};
    CaptureStdout();
    EXPECT_TRUE(is_out_spherical_wan(init, nan_pose, 0.2f, out));
    EXPECT_THAT(GetCapturedStdout(), HasSubstr("继续运行将超出机械臂工作空间"));
}

TEST(WorkspaceGuard, BoxAndOrientationWarnings) {
    const float zeros[6] = {0, 0, 0, 0, 0, 0};
    float init[4][4], out[6];
    fk(zeros, init);
    struct Case {
        int index;
        float value;
        const char* expected;
    };
    const Case cases[] = {
        {0, -0.001f, "处于机械臂工作空间边界！\n"},
        {0, 0.0f, ""},
        {4, 1.5708f, "到PTICH最大值！\n"},
        {4, -1.35f, "到PTICH最大值！\n"},
        {3, -1.35f, "到达ROLL最大值！\n"},
        {5, 1.35f, "到YAW最大值！\n"},
        {5, 1.3f, ""},
    };
    for (const Case& c : cases) {
        float pose[6] = {0, 0, 0, 0, 0, 0};
        pose[c.index] = c.value;
        CaptureStdout();
        is_out_spherical_wan(init, pose, 10.0f, out);
        EXPECT_EQ(GetCapturedStdout(), c.expected) << c.index << " = " << c.value;
    }
}

}  // namespace
}  // namespace qel::solve
