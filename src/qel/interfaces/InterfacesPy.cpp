#include "qel/interfaces/InterfacesPy.hpp"

#include <cmath>
#include <stdexcept>

#include "qel/controller/ControllerThread.hpp"
#include "qel/solver/Exercise.hpp"

namespace qel::m4 {

class InterfacesPy::impl : public ControllerThread {
public:
    using ControllerThread::ControllerThread;
};

InterfacesPy::InterfacesPy(const std::string& urdf_path, const std::string& can_name, int type)
    : pimpl(std::make_unique<impl>(urdf_path, can_name, type)) {}

InterfacesPy::InterfacesPy(const std::string& urdf_path, const std::string& can_name, int type,
                         const ControllerOptions& options)
    : pimpl(std::make_unique<impl>(urdf_path, can_name, type, options)) {}

InterfacesPy::~InterfacesPy() = default;

std::vector<double> InterfacesPy::get_joint_positions() { return pimpl->getJointPositons(); }
std::vector<double> InterfacesPy::get_joint_velocities() { return pimpl->getJointVelocities(); }
std::vector<double> InterfacesPy::get_joint_currents() { return pimpl->getJointCurrent(); }

std::vector<double> InterfacesPy::get_ee_pose() {
    const Eigen::Isometry3d pose = pimpl->getEndPose();
    const Eigen::Vector3d p = pose.translation();
    const Eigen::Quaterniond q(Eigen::Matrix3d(pose.linear()));
    return {p.x(), p.y(), p.z(), q.w(), q.x(), q.y(), q.z()};
}

std::vector<double> InterfacesPy::get_ee_pose_xyzrpy() {
    return solve::Isometry2Xyzrpy(pimpl->getEndPose());
}

bool InterfacesPy::set_arm_status(int state) {
    pimpl->setArmStatus(state);
    return true;
}

bool InterfacesPy::set_ee_pose(std::vector<double> pose) {
    if (pose.size() < 7) return false;
    for (size_t i = 0; i < 7; ++i) {
        if (!std::isfinite(pose[i])) return false;
    }
    Eigen::Quaterniond q(pose[3], pose[4], pose[5], pose[6]);
    const double norm = q.norm();
    // A quaternion this short has no usable direction; normalising it would
    // turn rounding noise into a rotation.
    if (!(norm > 1e-9)) return false;
    q.coeffs() /= norm;
    Eigen::Isometry3d target = Eigen::Isometry3d::Identity();
    target.rotate(q);
    target.pretranslate(Eigen::Vector3d(pose[0], pose[1], pose[2]));
    pimpl->setEndPose(target);
    return true;
}

bool InterfacesPy::set_joint_positions(std::vector<double> positions) {
    try {
        pimpl->setJointPositions(std::move(positions));
    } catch (const std::invalid_argument&) {
        return false;
    }
    return true;
}

bool InterfacesPy::set_catch(double position) {
    try {
        pimpl->setCatch(position);
    } catch (const std::invalid_argument&) {
        return false;
    }
    return true;
}

void InterfacesPy::qel_x(double qel1, double qel2, double /*qel3*/) {
    pimpl->setInterpolationParam(qel1 / 1000, qel2 / 1000);
}

}  // namespace qel::m4
