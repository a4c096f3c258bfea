#pragma once

#include <memory>
#include <string>

#include <kdl/jntarray.hpp>

#include "qel/typedef/StandaloneAbi.hpp"

namespace qel {
QEL_STANDALONE_ABI_BEGIN

// The arm's robot description (URDF text), compiled in so that kinematics
// work without the description file.
extern std::string urdf_xml_g;

// Seed of every KinematicSolver IK call: six joint angles (rad), zeroed by
// each KinematicSolver constructor, replaced by each successful IK result.
// Shared by all KinematicSolver objects and not synchronised.
extern KDL::JntArray last_joint_angle_g;

// Kinematics of the arm over the compiled-in description, with plain arrays.
// Poses are x, y, z (m, relative to the end-effector position at all-zero
// joint angles), roll, pitch, yaw (rad; rotation Rz(yaw)·Ry(pitch)·Rx(roll)).
// Not safe to use from several threads at once, even on separate objects.
class KinematicSolver {
public:
    // Builds the solver and zeroes last_joint_angle_g. Throws
    // std::runtime_error if the compiled-in description cannot be used.
    KinematicSolver();
    ~KinematicSolver();
    KinematicSolver(const KinematicSolver&) = delete;
    KinematicSolver& operator=(const KinematicSolver&) = delete;

    // Reads six joint angles (rad) and writes the six-value pose. Throws
    // SolverInputError (a std::runtime_error) for a null pointer or a
    // non-finite angle.
    void computeForwardKinematics(double* joint_angles, double* end_effector_pose);

    // Reads a six-value pose and writes six joint angles (rad), searching from
    // last_joint_angle_g. Throws std::runtime_error when no solution is found
    // and SolverInputError for a null pointer or a non-finite value; on
    // any failure neither `joint_angles` nor last_joint_angle_g changes.
    void computeInverseKinematics(double* target_pose, double* joint_angles);

private:
    class impl;
    std::unique_ptr<impl> pimpl;
};

QEL_STANDALONE_ABI_END
}  // namespace qel
