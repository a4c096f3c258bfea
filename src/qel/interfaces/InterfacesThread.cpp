#include "qel/interfaces/InterfacesThread.hpp"

#include "qel/controller/ControllerThread.hpp"

namespace qel::m4 {

class InterfacesThread::impl : public ControllerThread {
public:
    using ControllerThread::ControllerThread;
};

InterfacesThread::InterfacesThread(const std::string& urdf_path, const std::string& can_name, int type)
    : pimpl(std::make_unique<impl>(urdf_path, can_name, type)) {}

InterfacesThread::InterfacesThread(const std::string& urdf_path, const std::string& can_name, int type,
                                   const ControllerOptions& options)
    : pimpl(std::make_unique<impl>(urdf_path, can_name, type, options)) {}

InterfacesThread::~InterfacesThread() = default;

std::vector<HybridJointStatus> InterfacesThread::getJointStatus() { return pimpl->getJointStatus(); }
std::vector<double> InterfacesThread::getJointPositons() { return pimpl->getJointPositons(); }
std::vector<double> InterfacesThread::getJointVelocities() { return pimpl->getJointVelocities(); }
std::vector<double> InterfacesThread::getJointCurrent() { return pimpl->getJointCurrent(); }
JointSample InterfacesThread::getJointSample() { return pimpl->getJointSample(); }
JointSample InterfacesThread::waitJointSample(uint64_t after_cycle, double timeout_s) {
    return pimpl->waitJointSample(after_cycle, timeout_s);
}
Eigen::Isometry3d InterfacesThread::getEndPose() { return pimpl->getEndPose(); }
void InterfacesThread::setArmStatus(int state) { pimpl->setArmStatus(state); }
void InterfacesThread::dampNow() { pimpl->dampNow(); }
bool InterfacesThread::faultLatched() { return pimpl->faultLatched(); }
int InterfacesThread::latchedFaultCode() { return pimpl->latchedFaultCode(); }
std::string InterfacesThread::latchedFaultMessage() { return pimpl->latchedFaultMessage(); }
void InterfacesThread::setEndPose(Eigen::Isometry3d input) { pimpl->setEndPose(input); }
void InterfacesThread::setJointPositions(std::vector<double> positions) {
    pimpl->setJointPositions(std::move(positions));
}
void InterfacesThread::setCatch(double position) { pimpl->setCatch(position); }
void InterfacesThread::setCatchTorque(double torque) { pimpl->setCatchTorque(torque); }
void InterfacesThread::setCatchActionFast() { pimpl->setCatchActionFast(); }
void InterfacesThread::setCatchActionSlow() { pimpl->setCatchActionSlow(); }
void InterfacesThread::qel_x(double qel1, double qel2, double /*qel3*/) {
    pimpl->setInterpolationParam(qel1 / 1000, qel2 / 1000);
}
void InterfacesThread::setEndEffectorMass(double mass) { pimpl->setEndEffectorMass(mass); }
std::vector<int> InterfacesThread::getErrorCode() { return pimpl->getErrorCode(); }
void InterfacesThread::startRecording(const std::string& path, RecordingFormat format) {
    pimpl->startRecording(path, format);
}
RecordingStatus InterfacesThread::stopRecording() { return pimpl->stopRecording(); }
RecordingStatus InterfacesThread::recordingStatus() { return pimpl->recordingStatus(); }
void InterfacesThread::setFaultDumpFolder(const std::string& folder) { pimpl->setFaultDumpFolder(folder); }
std::string InterfacesThread::lastFaultDump() { return pimpl->lastFaultDump(); }
bool InterfacesThread::moveJ(const std::vector<double>& q, double speed, double acceleration,
                             bool asynchronous) {
    return pimpl->moveJ(q, speed, acceleration, asynchronous);
}
bool InterfacesThread::moveL(const Eigen::Isometry3d& pose, double speed, double acceleration,
                             bool asynchronous) {
    return pimpl->moveL(pose, speed, acceleration, asynchronous);
}
bool InterfacesThread::followJointTrajectory(const std::vector<TrajectoryPoint>& points, bool asynchronous) {
    return pimpl->followJointTrajectory(points, asynchronous);
}
bool InterfacesThread::servoJ(const std::vector<double>& q, double time) { return pimpl->servoJ(q, time); }
void InterfacesThread::stopMotion(double deceleration) { pimpl->stopMotion(deceleration); }
void InterfacesThread::stopMotion() { pimpl->stopMotion(); }
MotionStatus InterfacesThread::motionStatus() { return pimpl->motionStatus(); }
bool InterfacesThread::waitMotion(double timeout_s) { return pimpl->waitMotion(timeout_s); }

}  // namespace qel::m4
