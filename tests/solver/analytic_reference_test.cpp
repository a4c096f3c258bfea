// Reference values of the analytic kinematics, guards and torque model at
// poses away from zero. The numbers were computed once, in single precision,
// by tests/solver/reference/analytic.py from the arm's published DH table,
// offsets, limits and torque parameters, without using this library.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qel/solver/Exercise.hpp"
#include "qel/solver/Interpolation.hpp"
#include "support/CapturedOutput.hpp"

namespace qel::solve {
namespace {

using qel::test::CaptureStdout;
using qel::test::GetCapturedStdout;

int countLines(const std::string& text, const std::string& prefix) {
    int n = 0;
    for (size_t at = 0; at < text.size();) {
        if (text.compare(at, prefix.size(), prefix) == 0) ++n;
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return n;
}

void expectNear(const double* actual, const double* expected, int n, double tolerance,
                const char* what) {
    for (int i = 0; i < n; ++i) EXPECT_NEAR(actual[i], expected[i], tolerance) << what << " entry " << i;
}

TEST(AnalyticReference, DhTableAsPublished) {
    const float a_ref[6] = {0.02f, -0.264f, 0.252f, 0.06775f, 0.0f, 0.0f};
    const float alpha_ref[6] = {1.5707963705062866f, 0.0f, 0.0f, -1.5707963705062866f,
                                1.5707963705062866f, 0.0f};
    const float d_ref[6] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.029f};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(a[i], a_ref[i]) << "a of joint " << i + 1;
        EXPECT_EQ(alpha[i], alpha_ref[i]) << "alpha of joint " << i + 1;
        EXPECT_EQ(d[i], d_ref[i]) << "d of joint " << i + 1;
        EXPECT_EQ(q0_test1[i], 0.0f);
    }
}

// Flange transforms of the model at three postures (rows 0 to 2).
TEST(AnalyticReference, ForwardKinematicsAtThreePostures) {
    struct Case {
        float q[6];
        float T[3][4];
    };
    const Case cases[] = {
        {{0.40f, -0.50f, -0.15f, 0.29f, -0.62f, 0.30f},
         {{0.271595299f, 0.255621195f, 0.92784369f, 0.103207834f},
          {0.958993912f, -0.153056055f, -0.238546431f, 0.0253414437f},
          {0.0810345411f, 0.954584479f, -0.286708444f, -0.00606233254f}}},
        {{-1.10f, -1.90f, 2.20f, -0.90f, 1.30f, -2.50f},
         {{-0.055277124f, -0.278399259f, 0.958873451f, 0.198997885f},
          {-0.363851696f, 0.899924219f, 0.240308672f, -0.32937941f},
          {-0.929815173f, -0.335604131f, -0.151041269f, 0.336750805f}}},
        {{2.00f, 0.30f, 0.60f, 1.20f, -0.20f, 1.00f},
         {{-0.156676143f, 0.908861995f, 0.386551857f, 0.0782838687f},
          {-0.930121243f, -0.00415325165f, -0.367229134f, -0.157208681f},
          {-0.332155108f, -0.417076111f, 0.846002638f, 0.233974829f}}},
    };
    for (const Case& c : cases) {
        float T[4][4];
        fk(c.q, T);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 4; ++j) EXPECT_NEAR(T[i][j], c.T[i][j], 1e-6) << i << "," << j;
        EXPECT_EQ(T[3][0], 0.0f);
        EXPECT_EQ(T[3][3], 1.0f);
    }

    // End-effector-frame Jacobian at the first posture.
    const float J_ref[6][6] = {
        {0.0920930728f, 0.0106626954f, 0.108365662f, 0.0269964989f, 0.0277047567f, 0},
        {-0.0222743936f, 0.0821380466f, 0.325553685f, 0.087272346f, -0.00857008621f, 0},
        {-0.0481327549f, -0.0197321847f, 0.010250587f, 0, 0, 0},
        {0.0810345635f, -0.77752775f, -0.77752775f, -0.77752775f, 0.295520216f, 0},
        {0.954584599f, 0.240517512f, 0.240517512f, 0.240517512f, 0.955336511f, 0},
        {-0.286708444f, 0.581035197f, 0.581035197f, 0.581035197f, 0, 1}};
    float J[6][6];
    my_get_jacobe(cases[0].q, J);
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j) EXPECT_NEAR(J[i][j], J_ref[i][j], 1e-6) << i << "," << j;
}

// The joint offsets are added in double and rounded once. These angles are
// ones where adding the float offset instead rounds to a neighbouring float,
// so the flange must be exactly the DH product of the table at the angles the
// test computes itself.
TEST(AnalyticReference, JointOffsetsAreAddedInDouble) {
    const float q[6] = {0.4f, -0.5f, -0.15f, 0.29f, -0.62f, 0.3f};
    const float joint[6] = {
        q[0], q[1], static_cast<float>(static_cast<double>(q[2]) + 0.24),
        static_cast<float>(static_cast<double>(q[3]) - 0.24),
        static_cast<float>(static_cast<double>(q[4]) + 1.5707963267948966), q[5]};
    ASSERT_NE(joint[2], q[2] + 0.24f);
    ASSERT_NE(joint[3], q[3] - 0.24f);
    ASSERT_NE(joint[4], q[4] + 1.5707963705062866f);

    float T[4][4], link[4][4], acc[4][4], expected[4][4];
    get_dh_T(0.02f, 1.5707963705062866f, 0.0f, joint[0], expected);
    const float table[6][3] = {{0.02f, 1.5707963705062866f, 0.0f}, {-0.264f, 0.0f, 0.0f},
                               {0.252f, 0.0f, 0.0f},  {0.06775f, -1.5707963705062866f, 0.0f},
                               {0.0f, 1.5707963705062866f, 0.0f}, {0.0f, 0.0f, 0.029f}};
    for (int i = 1; i < 6; ++i) {
        get_dh_T(table[i][0], table[i][1], table[i][2], joint[i], link);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) acc[r][c] = expected[r][c];
        T_dot_T(acc, link, expected);
    }
    fk(q, T);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(T[r][c], expected[r][c]) << r << "," << c;
}

// Host poses, including the tool turn of 1.5708 (not pi/2): the angles are
// checked well below the 3.7e-6 rad that separate the two.
TEST(AnalyticReference, HostPoseAtThreePostures) {
    struct Case {
        double q[6];
        double pose[6];
    };
    const Case cases[] = {
        {{0.30, 0.80, 1.20, -0.30, 0.40, 0.50},
         {0.032092683, 0.0282750037, 0.289404571, 0.539048851, -0.0920858085, -0.101801448}},
        {{-0.70, 1.60, 0.40, 0.90, -1.10, 2.00},
         {0.109971054, -0.140982047, -0.0263587795, 2.26899695, 0.134453923, 0.418217927}},
        {{1.20, 0.20, 2.30, -1.20, 0.60, -0.80},
         {-0.21163699, -0.338696957, 0.245419919, -0.181575865, -0.70300132, 0.366753519}},
    };
    for (const Case& c : cases) {
        double pose[6];
        l5_fk(c.q, pose);
        expectNear(pose, c.pose, 3, 1e-7, "position");
        expectNear(pose + 3, c.pose + 3, 3, 5e-7, "angle");
    }
    const double zero[6] = {};
    double pose[6];
    l5_fk(zero, pose);
    EXPECT_NEAR(pose[3], -3.6199901e-06, 2e-7);
    EXPECT_NEAR(pose[4], -3.5762787e-06, 2e-7);
    EXPECT_NEAR(pose[5], 4.3724494e-08, 2e-7);
}

// Just short of vertical the regular branch still applies: only an exactly
// vertical approach axis folds roll into yaw.
TEST(AnalyticReference, AngleExtractionCloseToVertical) {
    const double roll = 0.3, pitch = M_PI / 2 - 5e-4, yaw = 0.2;
    const Eigen::Matrix3d Rd = (Eigen::AngleAxisd(yaw, Eigen::Vector3d::UnitZ()) *
                                Eigen::AngleAxisd(pitch, Eigen::Vector3d::UnitY()) *
                                Eigen::AngleAxisd(roll, Eigen::Vector3d::UnitX()))
                                   .toRotationMatrix();
    float R[3][3], rpy[3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) R[i][j] = static_cast<float>(Rd(i, j));
    my_GetRPY(R, rpy);
    EXPECT_NEAR(rpy[0], roll, 2e-3);
    EXPECT_NEAR(rpy[1], pitch, 1e-5);
    EXPECT_NEAR(rpy[2], yaw, 2e-3);
}

// How each solve ends, by its messages, and where.
TEST(AnalyticReference, DampedLeastSquaresOutcomes) {
    struct Case {
        double seed[6];
        double target[6];
        int iteration_limit_lines;
        double last_norm;  // printed with the iteration-limit message
        double joints[6];
        double tolerance;
    };
    const Case cases[] = {
        // Reachable targets: converged, silent.
        {{0.0, 0.8, -0.3, 0.8, -0.15, -1.0},
         {0.015, 0.025, 0.3329, 0.4295, -0.9883, -0.4073},
         0, 0,
         {0.309525, 0.849763, 1.059752, 0.899863, 0.369786, -0.199606},
         2e-4},
        {{0.65, 1.55, 1.17, 0.67, 0.94, 0.26},
         {0.0215, -0.0441, 0.4284, -1.1488, -0.169, -0.2684},
         0, 0,
         {-0.379596, 1.190278, 2.070416, -0.710112, -0.109605, -1.130019},
         2e-4},
        // Out of reach, ended after 161 iterations by 101 rejections: silent.
        // Where such a solve stalls moves by up to 6e-4 when the seed moves
        // by 1e-6 (as rounding in another maths library would move it).
        {{0.3, 0.8, 1.2, -0.3, 0.4, 0.5},
         {0.8, 0.5, 0.6, 0.2, 0.1, 0.0},
         0, 0,
         {0.520146, 2.512052, 2.901564, -0.456160, 0.511035, 0.233286},
         2e-3},
        {{0, 0, 0, 0, 0, 0}, {2.0, 0, 0, 0, 0, 0}, 0, 0, {0.0, 3.111525, 2.901581, 0.213707, 0.0, 0.0}, 5e-4},
        // Out of reach, still improving after 500 iterations: one message,
        // with the norm of the 500th trial step (the 499th would print
        // 1.21827).
        {{0.3, 0.8, 1.2, -0.3, 0.4, 0.5},
         {1.0, 1.0, 1.0, 0, 0, 0},
         1, 1.21892786,
         {0.757990, 2.452430, 2.906973, -0.340056, 0.740091, -0.076854},
         5e-4},
        // Runs of up to 41 rejections on the way; the 500 iterations end it,
        // with the same sensitivity as the stalled solve above.
        {{1.3, 0.9, 0.8, -0.8, 0.1, -0.7},
         {0.3, -1.0, -0.2, -0.7, -0.9, -0.2},
         1, 0.56378233,
         {1.969603, -0.207735, 2.901485, -1.050196, 0.537011, -3.022128},
         2e-3},
    };
    for (const Case& c : cases) {
        double target[6], joints[6];
        for (int i = 0; i < 6; ++i) target[i] = c.target[i];
        CaptureStdout();
        l5_ik_lm(c.seed, target, joints);
        const std::string out = GetCapturedStdout();
        EXPECT_EQ(countLines(out, "out of ilimit! "), c.iteration_limit_lines) << out;
        EXPECT_EQ(countLines(out, ""), c.iteration_limit_lines) << "nothing else is printed: " << out;
        if (c.iteration_limit_lines > 0) {
            const std::string prefix = "out of ilimit! ";
            ASSERT_EQ(out.compare(0, prefix.size(), prefix), 0) << out;
            EXPECT_NEAR(std::stod(out.substr(prefix.size())), c.last_norm, 1e-4) << out;
        }
        expectNear(joints, c.joints, 6, c.tolerance, "joint");
    }

    // The matrix form solves the same first target.
    double M[4][4] = {};
    const Eigen::Isometry3d pose = Xyzrpy2Isometry(cases[0].target);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) M[i][j] = pose.linear()(i, j);
        M[i][3] = pose.translation()(i);
    }
    double joints[6];
    CaptureStdout();
    l5_ik_lm_matrix(cases[0].seed, M, joints);
    EXPECT_EQ(GetCapturedStdout(), "");
    expectNear(joints, cases[0].joints, 6, 2e-4, "matrix-form joint");
}

// Each joint just beyond and just within each of its bounds (model
// convention, 3 mrad either side), reached from a seed at the posture itself.
TEST(AnalyticReference, JointLimitsEntryByEntry) {
    const double base[6] = {0.3, -0.8, 1.2, -0.3, -0.4, 0.5};  // model convention
    struct Bound {
        int joint;  // 1 to 6
        double value;
        double outward;  // direction that leaves the range
        double margin;   // rad either side
    };
    const Bound bounds[] = {
        {1, -3.14, -1, 0.003}, {1, 2.618, 1, 0.003}, {2, -3.6, -1, 0.003}, {2, 0.1, 1, 0.003},
        {3, -0.1, -1, 0.003},  {4, -1.4, -1, 0.003}, {4, 1.4, 1, 0.003},   {5, -1.571, -1, 0.003},
        {5, 1.571, 1, 0.003},  {6, -2.0933333333333333, -1, 0.003}, {6, 2.0933333333333333, 1, 0.003},
        // Closer, where a rounder number lies near: -pi for joint 1, 2pi/3
        // (2.0944) for joint 6.
        {1, -3.14, -1, 0.0005}, {6, -2.0933333333333333, -1, 0.0005}, {6, 2.0933333333333333, 1, 0.0005},
    };
    for (const Bound& b : bounds) {
        for (bool beyond : {true, false}) {
            double model[6];
            for (int i = 0; i < 6; ++i) model[i] = base[i];
            model[b.joint - 1] = b.value + b.outward * (beyond ? b.margin : -b.margin);
            double host[6];
            for (int i = 0; i < 6; ++i) host[i] = model[i];
            host[1] = -host[1];
            host[4] = -host[4];
            double pose_d[6];
            l5_fk(host, pose_d);
            float seed[6], pose[6], joints[6];
            for (int i = 0; i < 6; ++i) {
                seed[i] = static_cast<float>(host[i]);
                pose[i] = static_cast<float>(pose_d[i]);
                joints[i] = 9.0f;
            }
            CaptureStdout();
            const bool flagged = is_joint_lmt(seed, pose, joints);
            const std::string out = GetCapturedStdout();
            const std::string what = "joint " + std::to_string(b.joint) + " at " +
                                     std::to_string(model[b.joint - 1]);
            EXPECT_EQ(flagged, beyond) << what;
            if (!beyond) {
                EXPECT_EQ(out, "") << what;
                for (int i = 0; i < 6; ++i) EXPECT_NEAR(joints[i], host[i], 5e-3) << what;
                continue;
            }
            std::string expected = "继续运行将超出关节" + std::to_string(b.joint) + "限位，请返回！\n";
            if (b.joint == 2) expected = "jont 2 too much!!\n" + expected;
            EXPECT_EQ(out, expected) << what;
            for (int i = 0; i < 5; ++i) {
                const float kept = (b.joint == 3 && i == 2) ? static_cast<float>(b.value) : 9.0f;
                EXPECT_EQ(joints[i], kept) << what << " entry " << i;
            }
            EXPECT_NEAR(joints[5], model[5], 5e-3) << what;
        }
    }

    // Joint 3's upper bound is out of the loop's reach: from a seed at the
    // posture itself (capped at 2.7) the solver folds back onto the elbow's
    // other branch. These seeds from a neighbouring posture converge just
    // either side of 3.14 (host convention below).
    struct NearUpper3 {
        float seed[6];
        float pose[6];
        bool beyond;
        double joints[6];
    };
    const NearUpper3 near_upper3[] = {
        {{1.281f, 2.605f, 2.766f, -0.639f, -0.561f, 1.430f},
         {0.144000f, 0.422561f, 0.299956f, 1.326895f, -0.114997f, 1.744602f},
         false,
         {1.011937, 2.513596, 3.133921, -0.466177, -0.726739, 1.429775}},
        {{-0.539f, 2.177f, 2.867f, -0.697f, 0.139f, -0.266f},
         {0.151695f, -0.236569f, 0.440648f, -0.311763f, -0.512995f, -0.673646f},
         false,
         {-0.766150, 2.172893, 3.138605, -0.450885, -0.080573, -0.266261}},
        {{0.528f, 1.825f, 2.983f, -0.767f, -0.501f, 0.465f},
         {0.055626f, 0.091293f, 0.512807f, 0.235818f, -0.772587f, 0.823069f},
         true,
         {0.500623, 1.869910, 3.147350, -0.478399, -0.228923, 0.464930}},
        {{-0.832f, 2.669f, 3.222f, -0.372f, -0.557f, 0.332f},
         {0.215044f, -0.438231f, 0.251709f, 0.223415f, -0.318118f, -0.632343f},
         true,
         {-0.968089, 2.687233, 3.157775, -0.134957, -0.318293, 0.332136}},
    };
    for (const NearUpper3& c : near_upper3) {
        const std::string what = "joint 3 at " + std::to_string(c.joints[2]);
        float joints[6] = {9.0f, 9.0f, 9.0f, 9.0f, 9.0f, 9.0f};
        CaptureStdout();
        const bool flagged = is_joint_lmt(c.seed, c.pose, joints);
        const std::string out = GetCapturedStdout();
        EXPECT_EQ(flagged, c.beyond) << what;
        if (!c.beyond) {
            EXPECT_EQ(out, "") << what;
            for (int i = 0; i < 6; ++i) EXPECT_NEAR(joints[i], c.joints[i], 5e-4) << what << " entry " << i;
            continue;
        }
        EXPECT_EQ(out, "继续运行将超出关节3限位，请返回！\n") << what;
        for (int i = 0; i < 5; ++i) EXPECT_EQ(joints[i], i == 2 ? 3.14f : 9.0f) << what << " entry " << i;
        EXPECT_NEAR(joints[5], c.joints[5], 5e-4) << what;
    }
}

// The joint-4 point and the reach test around the shoulder: the distance is
// bracketed 20 micrometres either side.
TEST(AnalyticReference, WorkspaceReachAtThreePoses) {
    struct Case {
        float pose[6];
        float joint4[3];
        float distance;
    };
    const Case cases[] = {
        {{0.10f, 0.05f, -0.02f, 0.20f, -0.30f, 0.40f}, {0.0190508142f, 0.0103590041f, -0.054656323f}, 0.099106051f},
        {{0.25f, -0.15f, 0.10f, -0.50f, 0.60f, -0.20f}, {0.17435725f, -0.10563378f, 0.140769631f}, 0.337485731f},
        {{0.05f, 0.20f, -0.10f, 1.00f, 0.20f, 0.90f}, {0.023957897f, 0.136868685f, -0.164412469f}, 0.196908176f},
    };
    const float zeros[6] = {};
    float init[4][4];
    fk(zeros, init);
    for (const Case& c : cases) {
        float j4[3], out[6];
        l5_get_jonit4_pos(0.029f, c.pose, j4);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(j4[i], c.joint4[i], 1e-6) << i;
        CaptureStdout();
        EXPECT_TRUE(is_out_spherical_wan(init, c.pose, c.distance - 2e-5f, out));
        EXPECT_FALSE(is_out_spherical_wan(init, c.pose, c.distance + 2e-5f, out));
        GetCapturedStdout();
        for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i], c.pose[i]);
    }
}

// Every box and orientation bound: just past it warns, just inside does not.
TEST(AnalyticReference, WorkspaceBoundsEntryByEntry) {
    const float zeros[6] = {};
    float init[4][4], out[6];
    fk(zeros, init);
    const std::string box = "处于机械臂工作空间边界！\n";
    struct Case {
        int index;
        float warns;
        float quiet;
        std::string message;
    };
    const Case cases[] = {
        {0, -1e-6f, 0.0f, box},          {0, 0.53f, 0.5299f, box},
        {1, -0.53f, -0.5299f, box},      {1, 0.53f, 0.5299f, box},
        {2, -0.53f, -0.5299f, box},      {2, 0.53f, 0.5299f, box},
        {3, -1.35f, -1.3499f, "到达ROLL最大值！\n"}, {3, 1.35f, 1.3499f, "到达ROLL最大值！\n"},
        {4, -1.35f, -1.3499f, "到PTICH最大值！\n"}, {4, 1.570796f, 1.5707f, "到PTICH最大值！\n"},
        {5, -1.35f, -1.3499f, "到YAW最大值！\n"},  {5, 1.35f, 1.3499f, "到YAW最大值！\n"},
    };
    for (const Case& c : cases) {
        for (bool warn : {true, false}) {
            float pose[6] = {0.1f, 0, 0, 0, 0, 0};
            pose[c.index] = warn ? c.warns : c.quiet;
            CaptureStdout();
            is_out_spherical_wan(init, pose, 10.0f, out);
            EXPECT_EQ(GetCapturedStdout(), warn ? c.message : "") << c.index << " = " << pose[c.index];
        }
    }
}

// Closed-form gravity torques for both last-link masses.
TEST(AnalyticReference, ClosedFormTorquesAtThreePostures) {
    struct Case {
        double q[6];
        double type0[6];
        double type1[6];
    };
    const Case cases[] = {
        {{0.50, 0.80, 1.20, -0.30, 0.40, 0.50},
         {0, -0.0185897829, 6.52948798, 1.58773227, -0.0245685281, 0},
         {0, -0.319412558, 7.16592375, 1.85538036, -0.0307106879, 0}},
        {{-1.00, 1.70, 0.40, 0.90, -1.10, 2.00},
         {0, -5.53076432, 4.32675718, 1.31402773, -0.219054043, 0},
         {0, -5.99746779, 4.73139833, 1.4938382, -0.273817516, 0}},
        {{0.00, 0.30, 2.30, -1.20, 0.60, -0.80},
         {0, 11.8370703, -2.90925904, 0.913590267, -0.255744474, 0},
         {0, 12.4056882, -3.01768052, 1.09045625, -0.319680555, 0}},
    };
    for (const Case& c : cases) {
        const std::vector<double> t0 = l5_get_Tau(c.q, 0);
        const std::vector<double> t1 = l5_get_Tau(c.q, 1);
        ASSERT_EQ(t0.size(), 6u);
        ASSERT_EQ(t1.size(), 6u);
        expectNear(t0.data(), c.type0, 6, 2e-5, "type 0");
        expectNear(t1.data(), c.type1, 6, 2e-5, "type 1");
    }
    const double zero[6] = {};
    const double zero0[6] = {0, 1.690692266, 7.654486181, 1.669722146, 0, 0};
    const double zero1[6] = {0, 1.444324428, 8.382564724, 1.951175981, 0, 0};
    expectNear(l5_get_Tau(zero, 0).data(), zero0, 6, 2e-5, "zero pose, type 0");
    expectNear(l5_get_Tau(zero, 1).data(), zero1, 6, 2e-5, "zero pose, type 1");
}

// The first six steps of moves in each part of the speed profile, and the
// state reached after longer runs.
TEST(AnalyticReference, InterpolationSequences) {
    struct Case {
        double target, max_acc, max_vel;
        double steps[6][2];  // position, speed
    };
    const Case cases[] = {
        {0.5, 0.08, 0.4,
         {{0.00848528091, 0.282842696}, {0.0168982539, 0.280432433}, {0.0252389163, 0.278022081},
          {0.0335072652, 0.275611639}, {0.0417032987, 0.273201078}, {0.0498270132, 0.270790458}}},
        {1.5, 0.08, 0.4,
         {{0.0084852837, 0.282842785}, {0.0170422643, 0.285232663}, {0.0256709438, 0.28762266},
          {0.0343713239, 0.290012717}, {0.0431434102, 0.292402893}, {0.051987201, 0.294793099}}},
        {2.0, 0.08, 0.4,
         {{5.17900435e-06, 0.000172633489}, {3.28273236e-05, 0.000921610626}, {0.0001017295, 0.00229673926},
          {0.000222856237, 0.00403755764}, {0.000402075239, 0.00597396679}, {0.000642773637, 0.00802327972}}},
        {-0.7, 0.08, 0.2,
         {{-0.00600000005, -0.200000003}, {-0.0120000001, -0.200000003}, {-0.0179999992, -0.200000003},
          {-0.0240000002, -0.200000003}, {-0.0300000012, -0.200000003}, {-0.0360000022, -0.200000003}}},
        {1.2, 0.5, 1.0,
         {{0.0268328153, 0.89442718}, {0.0541119166, 0.909303427}, {0.081837371, 0.924181759},
          {0.110009231, 0.93906194}, {0.138627544, 0.953943968}, {0.167692378, 0.968827903}}},
    };
    for (const Case& c : cases) {
        double position = 0.0, speed = 0.0;
        for (int i = 0; i < 6; ++i) {
            Interpolation(&c.target, &position, &speed, c.max_acc, c.max_vel, 200);
            EXPECT_NEAR(position, c.steps[i][0], 1e-8) << c.target << " step " << i;
            EXPECT_NEAR(speed, c.steps[i][1], 1e-7) << c.target << " step " << i;
        }
    }

    struct Checkpoint {
        int step;
        double position, speed;
    };
    struct Run {
        double target, max_acc, max_vel;
        Checkpoint at[4];
    };
    const Run runs[] = {
        {1.5, 0.08, 0.4,
         {{50, 0.512133002, 0.399973214}, {100, 1.01998341, 0.279543281},
          {150, 1.34702754, 0.158865198}, {300, 1.499964, -0.00240004016}}},
        {-2.5, 0.08, 0.2,
         {{50, -0.300000042, -0.200000003}, {100, -0.600000143, -0.200000003},
          {150, -0.899999261, -0.200000003}, {300, -1.8000046, -0.200000003}}},
        {1.2, 0.5, 1.0,
         {{50, 1.07853115, 0.36384654}, {100, 1.200225, 0.0149982646},
          {150, 1.200225, 0.0149982646}, {300, 1.200225, 0.0149982646}}},
    };
    for (const Run& r : runs) {
        double position = 0.0, speed = 0.0;
        int step = 0;
        for (const Checkpoint& c : r.at) {
            while (step < c.step) {
                Interpolation(&r.target, &position, &speed, r.max_acc, r.max_vel, 200);
                ++step;
            }
            EXPECT_NEAR(position, c.position, 2e-6) << r.target << " step " << step;
            EXPECT_NEAR(speed, c.speed, 2e-6) << r.target << " step " << step;
        }
    }
}

}  // namespace
}  // namespace qel::solve
