#include "qel/solver/Exercise.hpp"
#include "qel/output/Output.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <Eigen/Dense>

namespace qel::solve {

namespace {

constexpr float kHalfPi = 1.5707963705062866f;  // pi/2 as the nearest float

// Offsets that bring the motor zero of joints 3, 4 and 5 onto the DH zero.
// They are added in double and the sum rounded once, so that the model's
// angles do not depend on how the caller's float happens to round 0.24.
struct JointOffset {
    int joint;
    double offset;  // rad
};
constexpr JointOffset kJointOffsets[] = {
    {2, 0.24},
    {3, -0.24},
    {4, 1.5707963267948966},
};

// Joints 2 and 5 turn the other way on the host side than in the DH model.
constexpr int kMirroredJoints[] = {1, 4};

// The host tool frame is the DH flange rotated by these angles; 1.5708 is the
// value the arm was calibrated with, not pi/2, and is kept as such so host
// poses match those recorded on the arm.
constexpr float kToolTurn = 1.5708f;

// Seed caps: starting the solver with the elbow or forearm folded further than
// this sends it into a far branch of the solution set.
constexpr double kSeedCapJoint3 = 2.7;  // rad, model convention
constexpr double kSeedCapJoint4 = 1.1;  // rad, model convention

constexpr int kIterationLimit = 500;
constexpr int kRejectionLimit = 100;
constexpr float kTolerance = 1e-4f;
constexpr float kInitialDamping = 0.1f;

void apply_joint_offsets(const float* q, float* joint) {
    for (int i = 0; i < 6; ++i) joint[i] = q[i];
    for (const JointOffset& o : kJointOffsets) {
        joint[o.joint] = static_cast<float>(static_cast<double>(joint[o.joint]) + o.offset);
    }
}

// Host <-> model joint vectors. The sign is flipped after rounding to float,
// so both directions are exact inverses of each other.
template <typename In>
void host_to_model(const In* host, float* model) {
    for (int i = 0; i < 6; ++i) model[i] = static_cast<float>(host[i]);
    for (int j : kMirroredJoints) model[j] = -model[j];
}

template <typename Out>
void model_to_host(const float* model, Out* host) {
    for (int i = 0; i < 6; ++i) host[i] = static_cast<Out>(model[i]);
    for (int j : kMirroredJoints) host[j] = -host[j];
}

void cap_seed(float* q) {
    if (static_cast<double>(q[2]) > kSeedCapJoint3) q[2] = static_cast<float>(kSeedCapJoint3);
    if (static_cast<double>(q[3]) > kSeedCapJoint4) q[3] = static_cast<float>(kSeedCapJoint4);
}

// The helpers work on local copies: the compiler may then keep everything in
// registers and vectorise across columns (the summation order per entry is
// unchanged), and an output that aliases an input is harmless.
template <int N>
void mat_mul(const float A[N][N], const float B[N][N], float C[N][N]) {
    float a[N][N], b[N][N], c[N][N];
    std::memcpy(a, A, sizeof a);
    std::memcpy(b, B, sizeof b);
    for (int i = 0; i < N; ++i) {
        for (int j = 0; j < N; ++j) {
            float sum = 0.0f;
            for (int k = 0; k < N; ++k) sum += a[i][k] * b[k][j];
            c[i][j] = sum;
        }
    }
    std::memcpy(C, c, sizeof c);
}

template <int N>
void mat_trans(const float A[N][N], float At[N][N]) {
    float a[N][N];
    std::memcpy(a, A, sizeof a);
    for (int i = 0; i < N; ++i)
        for (int j = 0; j < N; ++j) At[i][j] = a[j][i];
}

template <int N>
void mat_vec(const float A[N][N], const float* P, float* out) {
    float p[N], r[N];
    std::memcpy(p, P, sizeof p);
    for (int i = 0; i < N; ++i) {
        float sum = A[i][0] * p[0];
        for (int k = 1; k < N; ++k) sum += A[i][k] * p[k];
        r[i] = sum;
    }
    std::memcpy(out, r, sizeof r);
}

template <int N>
float norm(const float* v) {
    float sum = 0.0f;
    for (int i = 0; i < N; ++i) sum += v[i] * v[i];
    return std::sqrt(sum);
}

template <int N>
bool all_finite(const float* v) {
    for (int i = 0; i < N; ++i)
        if (!std::isfinite(v[i])) return false;
    return true;
}

// Host rotation of the flange and the host position (relative to the zero
// pose) for host-convention joints; shared by both host forward forms.
void host_pose(const double* q, float R_send[3][3], float P[3]) {
    const float zeros[6] = {0, 0, 0, 0, 0, 0};
    float T_init[4][4];
    fk(zeros, T_init);

    float m_joint[6];
    host_to_model(q, m_joint);
    float T_fk[4][4];
    fk(m_joint, T_fk);

    float R_fk[3][3], Rx[3][3], Ry[3][3], Rz[3][3], R_01[3][3];
    T_2_R(T_fk, R_fk);
    R_rot_xyz(0.0f, -kToolTurn, -kToolTurn, Rx, Ry, Rz);
    R_dot_R(R_fk, Rz, R_01);
    R_dot_R(R_01, Ry, R_send);
    for (int i = 0; i < 3; ++i) P[i] = T_fk[i][3] - T_init[i][3];
}

// Inverse of the tool turn of host_pose: a host rotation times this is the DH
// flange rotation.
void tool_correction(float Rzxy[3][3]) {
    float Rx[3][3], Ry[3][3], Rz[3][3], Rxyz_[3][3];
    R_rot_xyz(kToolTurn, kToolTurn, 0.0f, Rx, Ry, Rz);
    R_dot_R(Rx, Ry, Rxyz_);
    R_dot_R(Rxyz_, Rz, Rzxy);
}

void rotation_from_rpy(float roll, float pitch, float yaw, float Rzyx[3][3]) {
    float Rx[3][3], Ry[3][3], Rz[3][3], Rxyz_[3][3];
    R_rot_xyz(roll, pitch, yaw, Rx, Ry, Rz);
    R_dot_R(Ry, Rx, Rxyz_);
    R_dot_R(Rz, Rxyz_, Rzyx);
}

// DH target for a host rotation: rotation block from Rzyx, translation left at
// the zero-pose reference for the caller to offset.
void dh_target(const float Rzyx[3][3], float T_desir[4][4]) {
    float Rzxy[3][3], R_desri[3][3];
    tool_correction(Rzxy);
    R_dot_R(Rzyx, Rzxy, R_desri);
    fk(q0_test1, T_desir);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) T_desir[i][j] = R_desri[i][j];
}

// Seed from the host, the solve, and the result back in host terms.
void solve_host(const double* q0, const float T_desir[4][4], double* jointstate) {
    float q_init[6], q_ik[6];
    host_to_model(q0, q_init);
    cap_seed(q_init);
    ik_LM(T_desir, q_init, q_ik);
    model_to_host(q_ik, jointstate);
}

// Joint limits in the model convention, checked on the solver's result.
struct JointLimit {
    double lower;  // rad
    double upper;  // rad
    bool announce_joint;  // the elbow-lift joint also names itself first
    bool clamp_output;    // the caller's entry is moved onto the crossed bound
};
constexpr JointLimit kJointLimits[6] = {
    {-3.14, 2.618, false, false},
    {-3.6, 0.1, true, false},
    {-0.1, 3.14, false, true},
    {-1.4, 1.4, false, false},
    {-1.571, 1.571, false, false},
    {-2.0933333333333333, 2.0933333333333333, false, false},
};

// Box and orientation warnings of the workspace guard, on the host pose
// vector. The lower bound of x is strict because x = 0 is the zero pose itself.
struct WorkspaceBound {
    int index;
    float lower;
    bool lower_inclusive;
    float upper;
    const char* message;
};
constexpr const char* kBoxWarning = "处于机械臂工作空间边界！";
constexpr WorkspaceBound kWorkspaceBounds[] = {
    {0, 0.0f, false, 0.53f, kBoxWarning},
    {1, -0.53f, true, 0.53f, kBoxWarning},
    {2, -0.53f, true, 0.53f, kBoxWarning},
    {3, -1.35f, true, 1.35f, "到达ROLL最大值！"},
    {4, -1.35f, true, 1.570796f, "到PTICH最大值！"},
    {5, -1.35f, true, 1.35f, "到YAW最大值！"},
};
constexpr const char* kReachWarning = "继续运行将超出机械臂工作空间，请返回！";

constexpr float kShoulderOffset = 0.02f;   // m from the base axis
constexpr float kShoulderHeight = -0.059f;  // m below the zero-pose reference
constexpr float kWristToJoint4 = 0.06775f;  // m

}  // namespace

float a[6] = {0.02f, -0.264f, 0.252f, 0.06775f, 0.0f, 0.0f};
float alpha[6] = {kHalfPi, 0.0f, 0.0f, -kHalfPi, kHalfPi, 0.0f};
float d[6] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.029f};
float q0_test1[6] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};

void get_dh_T(float a, float alpha, float d, float q, float R[4][4]) {
    const float cq = std::cos(q), sq = std::sin(q);
    // Half the links have no twist; their exact 1 and 0 spare two library
    // calls on the forward-kinematics path without changing any result.
    const bool untwisted = alpha == 0.0f;
    const float ca = untwisted ? 1.0f : std::cos(alpha);
    const float sa = untwisted ? alpha : std::sin(alpha);
    R[0][0] = cq;
    R[0][1] = -sq * ca;
    R[0][2] = sq * sa;
    R[0][3] = a * cq;
    R[1][0] = sq;
    R[1][1] = cq * ca;
    R[1][2] = -cq * sa;
    R[1][3] = a * sq;
    R[2][0] = 0.0f;
    R[2][1] = sa;
    R[2][2] = ca;
    R[2][3] = d;
    R[3][0] = 0.0f;
    R[3][1] = 0.0f;
    R[3][2] = 0.0f;
    R[3][3] = 1.0f;
}

void fk(const float* q, float T[4][4]) {
    float joint[6];
    apply_joint_offsets(q, joint);
    float link[4][4], acc[4][4];
    get_dh_T(a[0], alpha[0], d[0], joint[0], T);
    for (int i = 1; i < 6; ++i) {
        get_dh_T(a[i], alpha[i], d[i], joint[i], link);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) acc[r][c] = T[r][c];
        T_dot_T(acc, link, T);
    }
}

void T_dot_T(const float matrixA[4][4], const float matrixB[4][4], float result[4][4]) {
    mat_mul<4>(matrixA, matrixB, result);
}

void R_dot_R(const float matrixA[3][3], const float matrixB[3][3], float result[3][3]) {
    mat_mul<3>(matrixA, matrixB, result);
}

void T_2_R(const float T[4][4], float R[3][3]) {
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) R[i][j] = T[i][j];
}

void T_2_P(const float T[4][4], float* P) {
    for (int i = 0; i < 3; ++i) P[i] = T[i][3];
}

void R_trans(const float R[3][3], float Rt[3][3]) { mat_trans<3>(R, Rt); }

void R_dot_P(const float R[3][3], const float* P, float* relt) { mat_vec<3>(R, P, relt); }

void my_invT(const float T[4][4], float Tinv[4][4]) {
    float R[3][3], Rt[3][3], P[3], p1[3];
    T_2_R(T, R);
    T_2_P(T, P);
    R_trans(R, Rt);
    R_dot_P(Rt, P, p1);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) Tinv[i][j] = Rt[i][j];
        Tinv[i][3] = -p1[i];
    }
    Tinv[3][0] = 0.0f;
    Tinv[3][1] = 0.0f;
    Tinv[3][2] = 0.0f;
    Tinv[3][3] = 1.0f;
}

void R_rot_xyz(float roll, float M_PItch, float yaw, float Rx[3][3], float Ry[3][3],
               float Rz[3][3]) {
    const float cr = std::cos(roll), sr = std::sin(roll);
    const float cp = std::cos(M_PItch), sp = std::sin(M_PItch);
    const float cy = std::cos(yaw), sy = std::sin(yaw);
    const float x[3][3] = {{1, 0, 0}, {0, cr, -sr}, {0, sr, cr}};
    const float y[3][3] = {{cp, 0, sp}, {0, 1, 0}, {-sp, 0, cp}};
    const float z[3][3] = {{cy, -sy, 0}, {sy, cy, 0}, {0, 0, 1}};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            Rx[i][j] = x[i][j];
            Ry[i][j] = y[i][j];
            Rz[i][j] = z[i][j];
        }
    }
}

void my_GetRPY(const float R[3][3], float* rpy) {
    constexpr double kEpsilon = 1e-12;
    const float pitch = std::atan2(-R[2][0], std::sqrt(R[0][0] * R[0][0] + R[1][0] * R[1][0]));
    float roll, yaw;
    // Only an exactly vertical approach axis lands here; roll and yaw are then
    // the same rotation and all of it is reported as yaw.
    if (std::fabs(static_cast<double>(pitch)) > static_cast<double>(kHalfPi) - kEpsilon) {
        roll = 0.0f;
        yaw = std::atan2(-R[0][1], R[1][1]);
    } else {
        roll = std::atan2(R[2][1], R[2][2]);
        yaw = std::atan2(R[1][0], R[0][0]);
    }
    rpy[0] = roll;
    rpy[1] = pitch;
    rpy[2] = yaw;
}

void l5_fk(const double* q, double* send_end) {
    float R_send[3][3], P[3], rpy[3];
    host_pose(q, R_send, P);
    my_GetRPY(R_send, rpy);
    for (int i = 0; i < 3; ++i) {
        send_end[i] = static_cast<double>(P[i]);
        send_end[3 + i] = static_cast<double>(rpy[i]);
    }
}

void l5_fk_matrix(const double* q, double T_desir[4][4]) {
    float R_send[3][3], P[3];
    host_pose(q, R_send, P);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) T_desir[i][j] = static_cast<double>(R_send[i][j]);
        T_desir[i][3] = static_cast<double>(P[i]);
    }
}

Eigen::Isometry3d Xyzrpy2Isometry(const double* input) {
    Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
    pose.translation() = Eigen::Vector3d(input[0], input[1], input[2]);
    const Eigen::Quaterniond rotation =
        (Eigen::AngleAxisd(input[5], Eigen::Vector3d::UnitZ()) *
         Eigen::AngleAxisd(input[4], Eigen::Vector3d::UnitY())) *
        Eigen::AngleAxisd(input[3], Eigen::Vector3d::UnitX());
    pose.rotate(rotation.toRotationMatrix());
    return pose;
}

std::vector<double> Isometry2Xyzrpy(Eigen::Isometry3d pose) {
    std::vector<double> out(6);
    Isometry2Xyzrpy(pose, out.data());
    return out;
}

void Isometry2Xyzrpy(const Eigen::Isometry3d& pose, double* out) {
    const Eigen::Vector3d p = pose.translation();
    const Eigen::Matrix3d R = pose.linear();
    out[0] = p.x();
    out[1] = p.y();
    out[2] = p.z();
    out[3] = std::atan2(R(2, 1), R(2, 2));
    // Rounding can push |R(2,0)| just past 1 at pitch = ±pi/2; asin would then
    // give NaN for a perfectly valid pose.
    out[4] = std::asin(std::clamp(-R(2, 0), -1.0, 1.0));
    out[5] = std::atan2(R(1, 0), R(0, 0));
}

void my_tr2dlta(const float A[4][4], const float B[4][4], float* dlt) {
    float Ainv[4][4], S[4][4];
    my_invT(A, Ainv);
    T_dot_T(Ainv, B, S);
    dlt[0] = S[0][3];
    dlt[1] = S[1][3];
    dlt[2] = S[2][3];
    dlt[3] = 0.5f * (S[2][1] - S[1][2]);
    dlt[4] = 0.5f * (S[0][2] - S[2][0]);
    dlt[5] = 0.5f * (S[1][0] - S[0][1]);
}

void my_get_jacobe(const float* q_, float jc[6][6]) {
    float joint[6];
    apply_joint_offsets(q_, joint);
    float link[6][4][4];
    for (int i = 0; i < 6; ++i) get_dh_T(a[i], alpha[i], d[i], joint[i], link[i]);

    // U runs from joint frame j-1 to frame 6, built from the wrist inward.
    float U[4][4], next[4][4];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) U[r][c] = link[5][r][c];
    for (int j = 6; j >= 1; --j) {
        if (j < 6) {
            T_dot_T(link[j - 1], U, next);
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 4; ++c) U[r][c] = next[r][c];
        }
        const int col = j - 1;
        jc[0][col] = -U[0][0] * U[1][3] + U[1][0] * U[0][3];
        jc[1][col] = -U[0][1] * U[1][3] + U[1][1] * U[0][3];
        jc[2][col] = -U[0][2] * U[1][3] + U[1][2] * U[0][3];
        jc[3][col] = U[2][0];
        jc[4][col] = U[2][1];
        jc[5][col] = U[2][2];
    }
}

void jcb_trans(const float J[6][6], float Jt[6][6]) { mat_trans<6>(J, Jt); }

void J_dot_J(const float matrixA[6][6], const float matrixB[6][6], float result[6][6]) {
    mat_mul<6>(matrixA, matrixB, result);
}

void J_dot_P(const float R[6][6], const float* P, float* relt) { mat_vec<6>(R, P, relt); }

void ik_LM(const float T_desir[4][4], const float* q0, float* q_ik) {
    float q[6];
    for (int i = 0; i < 6; ++i) q[i] = q0[i];

    // A non-finite target or seed can never produce an accepted step; skip the
    // hundred futile iterations that would end with the seed anyway.
    bool finite = all_finite<6>(q0);
    for (int i = 0; i < 4 && finite; ++i) finite = all_finite<4>(T_desir[i]);
    if (!finite) {
        for (int i = 0; i < 6; ++i) q_ik[i] = q[i];
        return;
    }

    int iterations = 0;
    int rejections = 0;
    float lambda = kInitialDamping;
    float norme_new = 0.0f;
    float T[4][4], e[6];
    float J[6][6], JT[6][6], JTJ[6][6], Je[6];

    while (true) {
        if (++iterations > kIterationLimit) {
            output::writef(output::Level::kWarning, output::Stream::kStdout, "out of ilimit! %8.8f",
                            static_cast<double>(norme_new));
            break;
        }
        fk(q, T);
        my_tr2dlta(T, T_desir, e);
        const float norme = norm<6>(e);
        if (norme < kTolerance) break;

        my_get_jacobe(q, J);
        jcb_trans(J, JT);
        J_dot_J(JT, J, JTJ);
        for (int i = 0; i < 6; ++i) JTJ[i][i] += lambda;
        J_dot_P(JT, e, Je);

        Eigen::Matrix<double, 6, 6> A;
        Eigen::Matrix<double, 6, 1> b;
        for (int i = 0; i < 6; ++i) {
            b(i) = Je[i];
            for (int j = 0; j < 6; ++j) A(i, j) = JTJ[i][j];
        }
        const Eigen::PartialPivLU<Eigen::Matrix<double, 6, 6>> lu(A);
        Eigen::Matrix<double, 6, 1> dq = Eigen::Matrix<double, 6, 1>::Zero();
        if (lu.determinant() != 0.0) {
            dq = lu.inverse() * b;
        } else {
            // A zero step is rejected below, which doubles the damping and so
            // makes the next matrix regular again.
            output::writef(output::Level::kWarning, output::Stream::kStdout,
                           "J is signatur ! %d,%8.4f",
                            iterations, static_cast<double>(norme_new));
        }

        float q_new[6];
        for (int i = 0; i < 6; ++i) q_new[i] = static_cast<float>(static_cast<double>(q[i]) + dq(i));
        fk(q_new, T);
        my_tr2dlta(T, T_desir, e);
        norme_new = norm<6>(e);

        if (norme_new < norme) {
            for (int i = 0; i < 6; ++i) q[i] = q_new[i];
            lambda /= 2.0f;
            rejections = 0;
        } else {
            lambda *= 2.0f;
            if (++rejections > kRejectionLimit) break;
        }
    }
    for (int i = 0; i < 6; ++i) q_ik[i] = q[i];
}

void l5_ik_lm(const double* q0, double* endstate_, double* jointstate) {
    // The arm cannot reach behind its zero pose; the caller sees the target it
    // actually gets.
    if (endstate_[0] < 0.0) endstate_[0] = 0.0;

    float Rzyx[3][3], T_desir[4][4];
    rotation_from_rpy(static_cast<float>(endstate_[3]), static_cast<float>(endstate_[4]),
                      static_cast<float>(endstate_[5]), Rzyx);
    dh_target(Rzyx, T_desir);
    for (int i = 0; i < 3; ++i)
        T_desir[i][3] = static_cast<float>(endstate_[i] + static_cast<double>(T_desir[i][3]));
    solve_host(q0, T_desir, jointstate);
}

void l5_ik_lm_matrix(const double* q0, const double Tdesir[4][4], double* jointstate) {
    float Rzyx[3][3], T_desir[4][4];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) Rzyx[i][j] = static_cast<float>(Tdesir[i][j]);
    dh_target(Rzyx, T_desir);
    for (int i = 0; i < 3; ++i)
        T_desir[i][3] = static_cast<float>(Tdesir[i][3] + static_cast<double>(T_desir[i][3]));
    solve_host(q0, T_desir, jointstate);
}

bool is_joint_lmt(const float* q0, const float* endstate_, float* jointstate) {
    if (!all_finite<6>(q0) || !all_finite<6>(endstate_)) return true;

    float Rzyx[3][3], T_desir[4][4];
    rotation_from_rpy(endstate_[3], endstate_[4], endstate_[5], Rzyx);
    dh_target(Rzyx, T_desir);
    for (int i = 0; i < 3; ++i) T_desir[i][3] = endstate_[i] + T_desir[i][3];

    float q_init[6], q_ik[6];
    host_to_model(q0, q_init);
    cap_seed(q_init);
    ik_LM(T_desir, q_init, q_ik);

    bool violated = false;
    for (int i = 0; i < 6; ++i) {
        const JointLimit& limit = kJointLimits[i];
        const double q = q_ik[i];
        if (!(q > limit.upper || q < limit.lower)) continue;
        violated = true;
        if (limit.announce_joint) {
            output::writef(output::Level::kWarning, output::Stream::kStdout,
                           "jont %d too much!!", i + 1);
        }
        if (limit.clamp_output)
            jointstate[i] = static_cast<float>(q > limit.upper ? limit.upper : limit.lower);
        output::writef(output::Level::kWarning, output::Stream::kStdout,
                       "继续运行将超出关节%d限位，请返回！", i + 1);
    }
    if (!violated) {
        float host[6];
        model_to_host(q_ik, host);
        for (int i = 0; i < 5; ++i) jointstate[i] = host[i];
    }
    jointstate[5] = q_ik[5];
    return violated;
}

void l5_get_jonit4_pos(float end2wan, const float* end_state, float* joint4_pos) {
    const float x = end_state[0], y = end_state[1], z = end_state[2];
    const float r = end_state[3], p = end_state[4], w = end_state[5];
    // First column of Rx(r)·Ry(p)·Rz(w): the flange approach axis.
    const float r11 = std::cos(p) * std::cos(w);
    const float r21 = std::cos(r) * std::sin(w) + std::sin(r) * std::sin(p) * std::cos(w);
    const float r31 = std::sin(r) * std::sin(w) - std::cos(r) * std::cos(w) * std::sin(p);

    const float rot_z = std::asin(r21);
    const float rot_y = std::atan2(-r31 / std::cos(rot_z), r11 / std::cos(rot_z));

    const float wan[3] = {x - end2wan * r11, y - end2wan * r21, z - end2wan * r31};
    const float q1 = std::atan2(wan[1], wan[0]);
    const float q4 = rot_y;
    const float u[3] = {std::cos(q1) * std::cos(q4), std::sin(q1) * std::cos(q4), -std::sin(q4)};
    for (int i = 0; i < 3; ++i) joint4_pos[i] = wan[i] - kWristToJoint4 * u[i];
}

bool is_out_spherical_wan(const float init_frame[4][4], const float* in_frame, float r,
                          float* out_frame) {
    for (const WorkspaceBound& b : kWorkspaceBounds) {
        const float v = in_frame[b.index];
        const bool below = b.lower_inclusive ? v <= b.lower : v < b.lower;
        if (below) output::write(output::Level::kWarning, output::Stream::kStdout, b.message);
        if (v >= b.upper) output::write(output::Level::kWarning, output::Stream::kStdout,
            b.message);
    }

    float joint4[3];
    l5_get_jonit4_pos(d[5], in_frame, joint4);
    for (int i = 0; i < 6; ++i) out_frame[i] = in_frame[i];

    const float q2 = std::atan2(joint4[1], joint4[0]);
    const float shoulder[3] = {kShoulderOffset * std::cos(q2) - init_frame[0][3],
                               kShoulderOffset * std::sin(q2), kShoulderHeight};
    const float dx = joint4[0] - shoulder[0];
    const float dy = joint4[1] - shoulder[1];
    const float dz = joint4[2] - shoulder[2];
    const float in_r = std::sqrt((dx * dx + dy * dy) + dz * dz);
    // Written so that a distance that is not a number counts as out of reach.
    if (!(in_r <= r)) {
        output::write(output::Level::kWarning, output::Stream::kStdout, kReachWarning);
        return true;
    }
    return false;
}

}  // namespace qel::solve
