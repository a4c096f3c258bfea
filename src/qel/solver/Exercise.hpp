#pragma once

#include <vector>

#include <Eigen/Geometry>

// Analytic kinematics of the arm: a single-precision Denavit–Hartenberg model,
// damped least-squares inverse kinematics on it, and the operator guards that
// check a Cartesian target before the arm is sent there.
//
// Matrices are caller-owned row-major float arrays: a transform is 4x4
// (rotation in rows/columns 0-2, translation in column 3, metres), a rotation
// 3x3, a Jacobian 6x6. Angles are radians. Pose vectors are x, y, z, roll,
// pitch, yaw with R = Rz(yaw)·Ry(pitch)·Rx(roll) about fixed base axes.
//
// Two joint conventions exist: the model convention taken by `fk`, and the
// host convention of the `l5_*` functions and the guards, in which joints 2
// and 5 have the opposite sign. Host positions are relative to the flange
// position at all-zero joints.
//
// Pointer arguments must point to as many entries as documented; none of these
// functions throws, and non-finite inputs give non-finite outputs unless stated
// otherwise. Any output array may be the same storage as an input.
namespace qel::solve {

// DH table, index 0 = joint 1: link length a (m), twist alpha (rad), offset d
// (m). Public and writable; the library only reads it.
extern float a[6];
extern float alpha[6];
extern float d[6];

// Model joint vector whose flange position is the zero-pose reference that
// host target positions are added to. All zeros; the library only reads it.
extern float q0_test1[6];

// Standard DH link transform Rz(q)·Tz(d)·Tx(a)·Rx(alpha) into R.
void get_dh_T(float a, float alpha, float d, float q, float R[4][4]);

// Transform of DH frame 6 in the base frame for six model-convention angles.
void fk(const float* q, float T[4][4]);

// result = matrixA·matrixB for transforms (4x4) and rotations (3x3).
void T_dot_T(const float matrixA[4][4], const float matrixB[4][4], float result[4][4]);
void R_dot_R(const float matrixA[3][3], const float matrixB[3][3], float result[3][3]);

// Rotation block, translation column (P[0..2]) and transpose of a rotation.
void T_2_R(const float T[4][4], float R[3][3]);
void T_2_P(const float T[4][4], float* P);
void R_trans(const float R[3][3], float Rt[3][3]);

// relt[0..2] = R·P.
void R_dot_P(const float R[3][3], const float* P, float* relt);

// Rigid inverse of a transform with an orthonormal rotation block.
void my_invT(const float T[4][4], float Tinv[4][4]);

// The three elementary rotations about x (roll), y (M_PItch) and z (yaw),
// written separately; callers form the product they need.
void R_rot_xyz(float roll, float M_PItch, float yaw, float Rx[3][3], float Ry[3][3],
               float Rz[3][3]);

// Roll, pitch, yaw of R = Rz(yaw)·Ry(pitch)·Rx(roll) into rpy[0..2], pitch in
// [-pi/2, pi/2]; at pitch = ±pi/2 roll is reported as 0.
void my_GetRPY(const float R[3][3], float* rpy);

// Host pose vector (send_end[0..5]) for six host-convention joint angles.
void l5_fk(const double* q, double* send_end);

// Host pose as a matrix: rotation block and translation column of T_desir for
// six host-convention joint angles. Row 3 is left untouched.
void l5_fk_matrix(const double* q, double T_desir[4][4]);

// Rigid transform of a pose vector input[0..5], in double precision.
Eigen::Isometry3d Xyzrpy2Isometry(const double* input);

// Pose vector of a rigid transform; no special case at pitch = ±pi/2.
std::vector<double> Isometry2Xyzrpy(Eigen::Isometry3d pose);
// The same into out[0..5], for callers that must not allocate.
void Isometry2Xyzrpy(const Eigen::Isometry3d& pose, double* out);

// Six-entry error of target B seen from current transform A, in A's frame:
// translation (m) then small-angle rotation (rad).
void my_tr2dlta(const float A[4][4], const float B[4][4], float* dlt);

// Jacobian of the six model-convention joints expressed in DH frame 6: rows
// 0-2 linear, 3-5 angular velocity; column j is joint j+1.
void my_get_jacobe(const float* q_, float jc[6][6]);

// Jt = transpose of J; result = matrixA·matrixB; relt[0..5] = R·P (6x6).
void jcb_trans(const float J[6][6], float Jt[6][6]);
void J_dot_J(const float matrixA[6][6], const float matrixB[6][6], float result[6][6]);
void J_dot_P(const float R[6][6], const float* P, float* relt);

// Damped least-squares inverse kinematics: six model-convention angles in q_ik
// that bring DH frame 6 onto T_desir, starting from q0. Returns the last
// accepted iterate whether or not it converged (error norm below 1e-4); prints
// a message on standard output when it runs out of iterations. A non-finite
// target or seed returns the seed.
void ik_LM(const float T_desir[4][4], const float* q0, float* q_ik);

// Host-convention inverse kinematics of a host pose vector. A negative x is
// solved as 0 and written back as 0 into endstate_[0]. Seed joints 3 and 4
// (model convention) are capped at 2.7 and 1.1 rad before the solve.
void l5_ik_lm(const double* q0, double* endstate_, double* jointstate);

// As l5_ik_lm, with the target as rotation block and translation column of a
// 4x4 matrix (row 3 ignored); never alters its input.
void l5_ik_lm_matrix(const double* q0, const double Tdesir[4][4], double* jointstate);

// Solves a host pose vector target from host seed q0 and checks each joint of
// the solution against its limits, printing an operator warning per violated
// joint. Returns true when any joint is out of range: jointstate[0..4] are then
// left as given (joint 3 is set to the bound it crossed); otherwise they
// receive the solution. jointstate[5] always receives the solved joint 6.
// A non-finite seed or target returns true and leaves jointstate untouched.
bool is_joint_lmt(const float* q0, const float* endstate_, float* jointstate);

// Workspace guard for a host pose vector: warns when it touches the Cartesian
// box or the orientation limits, copies in_frame to out_frame, and returns true
// (with a warning) when the joint-4 point is farther than r metres from the
// shoulder, or when that distance cannot be computed (non-finite input).
// init_frame is fk of six zeros; only its [0][3] entry is read.
bool is_out_spherical_wan(const float init_frame[4][4], const float* in_frame, float r,
                          float* out_frame);

// Position of joint 4 (joint4_pos[0..2], m) for a pose vector end_state whose
// flange is end2wan metres beyond the wrist.
void l5_get_jonit4_pos(float end2wan, const float* end_state, float* joint4_pos);

}  // namespace qel::solve
