#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#ifndef QEL_STANDALONE_SOLVER
#include <mutex>

#include "qel/realtime/PiMutex.hpp"
#endif

#include <kdl/chain.hpp>
#include <kdl/frames.hpp>
#include <kdl/jntarray.hpp>
#include <kdl/rigidbodyinertia.hpp>
#include <kdl/tree.hpp>

#include "qel/typedef/StandaloneAbi.hpp"

namespace KDL {
class ChainFkSolverPos_recursive;
class ChainIkSolverPos_LMA;
class ChainDynParam;
}  // namespace KDL

namespace qel {
QEL_STANDALONE_ABI_BEGIN

// Input the solvers refuse: a non-finite number, a negative mass, a missing
// array. A std::runtime_error like every other solver failure, so a host that
// catches runtime errors catches all of them.
class SolverInputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Forward and inverse kinematics and gravity torques of a serial chain taken
// from a robot description. Units are metres, radians and newton-metres.
//
// Positions are relative to the end-effector position at all-zero joint
// angles (the zero pose), except for a standalone build's file-constructed
// solver, whose positions are absolute in the base frame.
//
// Every failure writes one line to standard error and throws a
// std::runtime_error: for what the model or the solvers reject (unparsable
// description, missing link, wrong joint count, no IK solution), and as the
// derived SolverInputError for non-finite numbers or a negative mass.
class KinematicDynamicSolver {
public:
    // Parses the description file at `urdf_path` and takes the chain from
    // `base_link` to `end_effector_link`. Throws std::runtime_error if the
    // file cannot be read or parsed (the message starts "URDF parsing failed"
    // and goes on with the path and the reason), if either link is missing or they are not
    // connected, and (except in the standalone build) if the chain does not
    // have exactly six joints.
    KinematicDynamicSolver(const std::string& urdf_path, const std::string& base_link,
                           const std::string& end_effector_link);

    // Parses description text and takes the chain "base_link" to "link6",
    // which must have six joints. Throws std::runtime_error as above.
    explicit KinematicDynamicSolver(const std::string& urdf_xml);

    ~KinematicDynamicSolver();
    KinematicDynamicSolver(const KinematicDynamicSolver&) = delete;
    KinematicDynamicSolver& operator=(const KinematicDynamicSolver&) = delete;

    // End-effector frame for `joint_angles` (rad), position relative to the
    // zero pose. Throws std::runtime_error if the array size is not the
    // chain's joint count, SolverInputError if an angle is not finite.
    // Not safe to call concurrently with the IK on the same object.
    KDL::Frame computeForwardKinematics(const KDL::JntArray& joint_angles);

    // Joint angles (rad) reaching `target_pose`, given in the same relative
    // form as forward kinematics returns, searched from `initial_guess`. The
    // zero-pose position is added to `target_pose` in place, and it stays
    // added even when the solve fails. Angles are returned as solved, without
    // wrapping or joint limits. Throws std::runtime_error when no solution is
    // found within 500 iterations or the seed has the wrong size, and
    // SolverInputError (leaving `target_pose` untouched) for non-finite
    // input.
    KDL::JntArray computeInverseKinematics(KDL::Frame& target_pose,
                                           const KDL::JntArray& initial_guess);

    // The same solve for a control loop: never throws, writes nothing and
    // allocates nothing once `result` has the chain's size. `target_pose`
    // (relative, as above) is left as it is. True with the joint angles in
    // `result`; false, with `result` unchanged, when there is no solution
    // within 500 iterations, the seed has the wrong size or an input is not
    // finite.
    bool solveInverseKinematics(const KDL::Frame& target_pose, const KDL::JntArray& initial_guess,
                                KDL::JntArray& result);

#ifndef QEL_STANDALONE_SOLVER
    // Sets a point payload of `mass` kg at the end-effector frame origin. The
    // last call alone decides the payload; 0 restores the bare model. Throws
    // SolverInputError for a negative or non-finite mass, keeping the
    // previous payload. Safe against a concurrent gravity computation, which
    // it holds up only for the swap of two pointers: the new dynamics model
    // is built (and the old one freed) outside the lock they share.
    void setEndEffectorMass(double mass);
#endif

    // Joint torques (N·m) that hold the chain against gravity at
    // `joint_angles`, scaled by the arm's torque factor 1.32. Throws
    // std::runtime_error if the array size is not the chain's joint count,
    // SolverInputError if an angle is not finite.
    KDL::JntArray computeGravityCompensationTorque(const KDL::JntArray& joint_angles);
    // The same into `torques`, which is resized only if its size differs, so
    // a control loop that keeps the array allocates nothing here.
    void computeGravityCompensationTorque(const KDL::JntArray& joint_angles, KDL::JntArray& torques);

private:
    void buildSolvers(const std::string& base_link, const std::string& end_effector_link,
                      bool measure_zero_pose);

    KDL::Frame init_frame_;
    KDL::Tree tree_;
    KDL::Chain chain_;
    std::unique_ptr<KDL::ChainFkSolverPos_recursive> fk_solver_;
    std::unique_ptr<KDL::ChainIkSolverPos_LMA> ik_solver_;
    // The gravity model with the chain (and payload) it was built for.
    struct Dynamics;
    std::unique_ptr<Dynamics> dynamics_;
#ifndef QEL_STANDALONE_SOLVER
    KDL::RigidBodyInertia inertia_;
    // Guards dynamics_ between the gravity computation (the control thread)
    // and the payload setter's swap.
    realtime::PiMutex mutex_;
    // Keeps payload changes in call order; only setters take it.
    std::mutex payload_mutex_;
#endif
    KDL::Vector gravity_;
    // The solver's working result, so that a failed solve leaves the
    // caller's array as it was.
    KDL::JntArray ik_scratch_;
};

QEL_STANDALONE_ABI_END
}  // namespace qel
