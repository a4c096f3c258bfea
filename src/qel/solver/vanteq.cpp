#include "qel/solver/vanteq.hpp"

#include <stdexcept>

#include <kdl/frames.hpp>

#include "qel/solver/kinematic_dynamic_solver.hpp"

namespace qel {
QEL_STANDALONE_ABI_BEGIN

// Generated at configure time from urdf/Zq4mina00.urdf, the file hosts pass
// to the controller, so the two cannot drift apart.
std::string urdf_xml_g =
#include "qel/solver/Zq4mina00_urdf.inc"
    ;

KDL::JntArray last_joint_angle_g(6);

namespace {

constexpr unsigned int kArmJoints = 6;

void requireArray(const double* values, const char* message) {
    if (values == nullptr) {
        throw SolverInputError(message);
    }
}

}  // namespace

class KinematicSolver::impl : public KinematicDynamicSolver {
public:
    explicit impl(const std::string& urdf_xml) : KinematicDynamicSolver(urdf_xml) {}
    ~impl() = default;
};

KinematicSolver::KinematicSolver() : pimpl(std::make_unique<impl>(urdf_xml_g)) {
    // resize() as well, in case a host replaced the shared seed with one of
    // another size: every later IK call would fail on it.
    last_joint_angle_g.resize(kArmJoints);
    KDL::SetToZero(last_joint_angle_g);
}

KinematicSolver::~KinematicSolver() = default;

void KinematicSolver::computeForwardKinematics(double* joint_angles, double* end_effector_pose) {
    requireArray(joint_angles, "joint_angles must point to six values");
    requireArray(end_effector_pose, "end_effector_pose must point to six values");
    KDL::JntArray joints(kArmJoints);
    for (unsigned int i = 0; i < kArmJoints; ++i) {
        joints(i) = joint_angles[i];
    }
    const KDL::Frame frame = pimpl->computeForwardKinematics(joints);
    for (int i = 0; i < 3; ++i) {
        end_effector_pose[i] = frame.p(i);
    }
    frame.M.GetRPY(end_effector_pose[3], end_effector_pose[4], end_effector_pose[5]);
}

void KinematicSolver::computeInverseKinematics(double* target_pose, double* joint_angles) {
    requireArray(target_pose, "target_pose must point to six values");
    requireArray(joint_angles, "joint_angles must point to six values");
    KDL::Frame target(KDL::Rotation::RPY(target_pose[3], target_pose[4], target_pose[5]),
                      KDL::Vector(target_pose[0], target_pose[1], target_pose[2]));
    const KDL::JntArray result = pimpl->computeInverseKinematics(target, last_joint_angle_g);
    last_joint_angle_g = result;
    for (unsigned int i = 0; i < kArmJoints; ++i) {
        joint_angles[i] = result(i);
    }
}

QEL_STANDALONE_ABI_END
}  // namespace qel
