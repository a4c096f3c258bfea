#include "qel/interfaces/InterfacesPy.hpp"

#include <cmath>
#include <stdexcept>

#include "qel/controller/ControllerThread.hpp"
#include "qel/interfaces/PoseVector.hpp"
#include "qel/solver/Exercise.hpp"

namespace qel::m4 {
namespace {

// The controller refuses bad host input with std::invalid_argument, changing
// nothing; this interface reports the refusal as false.
template <typename Call>
bool acceptedBy(Call&& call) {
    try {
        call();
    } catch (const std::invalid_argument&) {
        return false;
    }
    return true;
}

}  // namespace

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
    return acceptedBy([&] { pimpl->setJointPositions(std::move(positions)); });
}

bool InterfacesPy::set_catch(double position) {
    return acceptedBy([&] { pimpl->setCatch(position); });
}

void InterfacesPy::qel_x(double qel1, double qel2, double /*qel3*/) {
    pimpl->setInterpolationParam(qel1 / 1000, qel2 / 1000);
}

std::vector<hw_interface::HybridJointStatus> InterfacesPy::get_joint_status() {
    return pimpl->getJointStatus();
}

std::vector<double> InterfacesPy::get_ee_pose_matrix() {
    const Eigen::Matrix4d m = pimpl->getEndPose().matrix();
    std::vector<double> rows(16);
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) rows[static_cast<std::size_t>(4 * r + c)] = m(r, c);
    }
    return rows;
}

bool InterfacesPy::set_catch_torque(double torque) {
    return acceptedBy([&] { pimpl->setCatchTorque(torque); });
}

void InterfacesPy::set_catch_action_fast() { pimpl->setCatchActionFast(); }
void InterfacesPy::set_catch_action_slow() { pimpl->setCatchActionSlow(); }

bool InterfacesPy::set_end_effector_mass(double mass) {
    return acceptedBy([&] { pimpl->setEndEffectorMass(mass); });
}

void InterfacesPy::start_recording(const std::string& path, const std::string& format) {
    RecordingFormat parsed;
    if (format == "hdf5") {
        parsed = RecordingFormat::kHdf5;
    } else if (format == "csv") {
        parsed = RecordingFormat::kCsv;
    } else {
        throw std::invalid_argument("start_recording: format must be 'hdf5' or 'csv', not '" + format + "'");
    }
    pimpl->startRecording(path, parsed);
}

recording::RecordingStatus InterfacesPy::stop_recording() { return pimpl->stopRecording(); }
recording::RecordingStatus InterfacesPy::recording_status() { return pimpl->recordingStatus(); }
void InterfacesPy::set_fault_dump_folder(const std::string& folder) { pimpl->setFaultDumpFolder(folder); }
std::string InterfacesPy::last_fault_dump() { return pimpl->lastFaultDump(); }
bool InterfacesPy::move_j(const std::vector<double>& q, double speed, double acceleration, bool asynchronous) {
    return pimpl->moveJ(q, speed, acceleration, asynchronous);
}

bool InterfacesPy::move_l(const std::vector<double>& pose, double speed, double acceleration,
                          bool asynchronous) {
    Eigen::Isometry3d target;
    if (pose.size() != 7 || !quaternionPoseToIsometry(pose, &target)) {
        throw std::invalid_argument(
            "move_l: expected seven finite values [x, y, z, qw, qx, qy, qz] with a non-zero quaternion");
    }
    return pimpl->moveL(target, speed, acceleration, asynchronous);
}

bool InterfacesPy::follow_joint_trajectory(const std::vector<TrajectoryPoint>& points, bool asynchronous) {
    return pimpl->followJointTrajectory(points, asynchronous);
}

bool InterfacesPy::servo_j(const std::vector<double>& q, double time) { return pimpl->servoJ(q, time); }
void InterfacesPy::stop_motion(double deceleration) { pimpl->stopMotion(deceleration); }
void InterfacesPy::stop_motion() { pimpl->stopMotion(); }
MotionStatus InterfacesPy::motion_status() { return pimpl->motionStatus(); }
bool InterfacesPy::wait_motion(double timeout_s) { return pimpl->waitMotion(timeout_s); }

}  // namespace qel::m4
