#include "qel/interfaces/InterfacesPy.hpp"

#include <cmath>
#include <stdexcept>

#include "qel/controller/ControllerThread.hpp"
#include "qel/interfaces/PoseVector.hpp"
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

void InterfacesPy::damp_now() { pimpl->dampNow(); }
bool InterfacesPy::fault_latched() { return pimpl->faultLatched(); }
int InterfacesPy::latched_fault_code() { return pimpl->latchedFaultCode(); }
std::string InterfacesPy::latched_fault_message() { return pimpl->latchedFaultMessage(); }
std::vector<int> InterfacesPy::get_error_code() { return pimpl->getErrorCode(); }

bool InterfacesPy::set_ee_pose(std::vector<double> pose) {
    Eigen::Isometry3d target;
    if (!quaternionPoseToIsometry(pose, &target)) return false;
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
