#include "qel/solver/kinematic_dynamic_solver.hpp"
#include "qel/output/Output.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include <kdl/chaindynparam.hpp>
#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl/chainiksolverpos_lma.hpp>
#include <kdl_parser/kdl_parser.hpp>

namespace qel {
QEL_STANDALONE_ABI_BEGIN
namespace {

constexpr double kIkTolerance = 1e-6;          // task-space error at convergence
constexpr int kIkMaxIterations = 500;          // bounds the cost of an unreachable target
constexpr double kIkIncrementTolerance = 1e-15;  // rad; smaller steps count as stalled
constexpr double kGravity = -9.81;             // m/s², along the base z axis
// The motors need more torque than the model predicts to hold the arm.
constexpr double kTorqueFactor = 1.32;
constexpr unsigned int kArmJoints = 6;

[[noreturn]] void fail(const char* line, const char* message) {
    output::write(output::Level::kError, output::Stream::kStderr, line);
    throw std::runtime_error(message);
}

[[noreturn]] void reject(const char* message) {
    output::writef(output::Level::kError, output::Stream::kStderr, "%s.", message);
    throw SolverInputError(message);
}

void requireFinite(const KDL::JntArray& joints, const char* message) {
    if (!joints.data.allFinite()) {
        reject(message);
    }
}

bool isFinite(const KDL::Frame& frame) {
    for (int i = 0; i < 3; ++i) {
        if (!std::isfinite(frame.p(i))) {
            return false;
        }
        for (int j = 0; j < 3; ++j) {
            if (!std::isfinite(frame.M(i, j))) {
                return false;
            }
        }
    }
    return true;
}

// The parser's own file reader dereferences a null model when the file is
// missing or not a valid description, so the file is read here and parsed as
// text, which the parser checks properly. On failure `reason` says why, in
// the system's words where the system refused.
bool parseFile(const std::string& path, KDL::Tree& tree, std::string& reason) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                               &std::fclose);
    if (!file) {
        reason = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::string text;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) text.append(chunk, got);
    if (std::ferror(file.get())) {
        reason = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    if (!kdl_parser::treeFromString(text, tree)) {
        reason = "'" + path + "' is not a usable robot description";
        return false;
    }
    return true;
}

}  // namespace

// The gravity solver keeps a reference to its chain, so the two live and are
// replaced together.
struct KinematicDynamicSolver::Dynamics {
    Dynamics(KDL::Chain model, const KDL::Vector& gravity) : chain(std::move(model)), solver(chain, gravity) {}
    KDL::Chain chain;
    KDL::ChainDynParam solver;
};

KinematicDynamicSolver::KinematicDynamicSolver(const std::string& urdf_path,
                                               const std::string& base_link,
                                               const std::string& end_effector_link)
    : tree_("root") {
    std::string reason;
    if (!parseFile(urdf_path, tree_, reason)) {
        // The first line and the first words of the message are the ones
        // hosts know; the path and the reason follow so that a host can act.
        output::write(output::Level::kError, output::Stream::kStderr, "Failed to parse URDF file.");
        output::write(output::Level::kError, output::Stream::kStderr, reason.c_str());
        throw std::runtime_error("URDF parsing failed: " + reason);
    }
#ifdef QEL_STANDALONE_SOLVER
    // Standalone hosts load arbitrary arms through this constructor and work
    // in absolute base-frame coordinates.
    buildSolvers(base_link, end_effector_link, false);
#else
    buildSolvers(base_link, end_effector_link, true);
#endif
}

KinematicDynamicSolver::KinematicDynamicSolver(const std::string& urdf_xml) : tree_("root") {
    if (!kdl_parser::treeFromString(urdf_xml, tree_)) {
        fail("Failed to URDF XML.", "URDF parsing failed");
    }
    buildSolvers("base_link", "link6", true);
}

KinematicDynamicSolver::~KinematicDynamicSolver() = default;

void KinematicDynamicSolver::buildSolvers(const std::string& base_link,
                                          const std::string& end_effector_link,
                                          bool measure_zero_pose) {
    if (!tree_.getChain(base_link, end_effector_link, chain_)) {
        output::writef(output::Level::kError, output::Stream::kStderr,
                       "Failed to get chain from %s to %s.",
                       base_link.c_str(), end_effector_link.c_str());
        throw std::runtime_error("Chain extraction failed");
    }
#ifndef QEL_STANDALONE_SOLVER
    // A chain from a link to itself has no segment; it is refused below by
    // the six-joint check, so there is no inertia to keep.
    if (chain_.getNrOfSegments() > 0) {
        inertia_ = chain_.segments.back().getInertia();
    }
#endif
    fk_solver_ = std::make_unique<KDL::ChainFkSolverPos_recursive>(chain_);
    ik_solver_ = std::make_unique<KDL::ChainIkSolverPos_LMA>(chain_, kIkTolerance,
                                                             kIkMaxIterations,
                                                             kIkIncrementTolerance);
    gravity_ = KDL::Vector(0.0, 0.0, kGravity);
    dynamics_ = std::make_unique<Dynamics>(chain_, gravity_);
    ik_scratch_.resize(chain_.getNrOfJoints());

    if (measure_zero_pose) {
        // init_frame_ is still the identity here, so this is the absolute
        // zero pose; a six-entry array also refuses chains of another size.
        init_frame_ = computeForwardKinematics(KDL::JntArray(kArmJoints));
    }
}

KDL::Frame KinematicDynamicSolver::computeForwardKinematics(const KDL::JntArray& joint_angles) {
    requireFinite(joint_angles, "Joint angles must be finite");
    KDL::Frame frame;
    if (fk_solver_->JntToCart(joint_angles, frame, -1) < 0) {
        fail("Forward kinematics computation failed.", "Forward kinematics computation failed");
    }
    frame.p -= init_frame_.p;
    return frame;
}

KDL::JntArray KinematicDynamicSolver::computeInverseKinematics(KDL::Frame& target_pose,
                                                               const KDL::JntArray& initial_guess) {
    // A NaN target or seed does not always end in a failed status, and a NaN
    // result would poison every later seed taken from it.
    if (!isFinite(target_pose)) {
        reject("Target pose must be finite");
    }
    requireFinite(initial_guess, "Initial guess must be finite");

    KDL::JntArray result(chain_.getNrOfJoints());
    target_pose.p += init_frame_.p;
    // The solver cannot handle a chain without joints (only a standalone
    // file-constructed solver can have one); nothing can be solved for there.
    if (chain_.getNrOfJoints() == 0 || ik_solver_->CartToJnt(initial_guess, target_pose, result) < 0) {
        fail("Inverse kinematics computation failed.", "Inverse kinematics computation failed");
    }
    return result;
}

bool KinematicDynamicSolver::solveInverseKinematics(const KDL::Frame& target_pose,
                                                    const KDL::JntArray& initial_guess,
                                                    KDL::JntArray& result) {
    const unsigned int joints = chain_.getNrOfJoints();
    if (joints == 0 || !isFinite(target_pose) || !initial_guess.data.allFinite()) return false;
    if (ik_scratch_.rows() != joints) ik_scratch_.resize(joints);
    KDL::Frame absolute = target_pose;
    absolute.p += init_frame_.p;
    if (ik_solver_->CartToJnt(initial_guess, absolute, ik_scratch_) < 0) return false;
    if (result.rows() != joints) result.resize(joints);
    result.data = ik_scratch_.data;
    return true;
}

#ifndef QEL_STANDALONE_SOLVER
void KinematicDynamicSolver::setEndEffectorMass(double mass) {
    if (!std::isfinite(mass) || mass < 0.0) {
        reject("End-effector mass must be finite and not negative");
    }
    std::lock_guard<std::mutex> in_order(payload_mutex_);
    // Added to the bare inertia rather than the current one so that payloads
    // replace each other instead of piling up.
    KDL::Chain loaded = chain_;
    loaded.segments.back().setInertia(
        inertia_ + KDL::RigidBodyInertia(mass, KDL::Vector::Zero(), KDL::RotationalInertia::Zero()));
    auto fresh = std::make_unique<Dynamics>(std::move(loaded), gravity_);
    {
        std::lock_guard<realtime::PiMutex> swap(mutex_);
        dynamics_.swap(fresh);
    }
    // The previous model is freed here, after the lock.
}
#endif

KDL::JntArray KinematicDynamicSolver::computeGravityCompensationTorque(
    const KDL::JntArray& joint_angles) {
    KDL::JntArray torques(chain_.getNrOfJoints());
    computeGravityCompensationTorque(joint_angles, torques);
    return torques;
}

void KinematicDynamicSolver::computeGravityCompensationTorque(const KDL::JntArray& joint_angles,
                                                              KDL::JntArray& torques) {
    requireFinite(joint_angles, "Joint angles must be finite");
    if (torques.rows() != chain_.getNrOfJoints()) torques.resize(chain_.getNrOfJoints());
#ifndef QEL_STANDALONE_SOLVER
    std::lock_guard<realtime::PiMutex> lock(mutex_);
#endif
    if (dynamics_->solver.JntToGravity(joint_angles, torques) < 0) {
        fail("Dynamics computation failed.", "Dynamics computation failed");
    }
    // A standalone chain may be shorter than the arm; only existing joints
    // are scaled.
    const unsigned int scaled = std::min(torques.rows(), kArmJoints);
    for (unsigned int i = 0; i < scaled; ++i) {
        torques(i) *= kTorqueFactor;
    }
}

QEL_STANDALONE_ABI_END

}  // namespace qel
