#include "bridge/ArmPort.hpp"

#include "qel/interfaces/InterfacesThread.hpp"

namespace qel::ros2 {

m4::JointSample InterfacesArm::sample() { return arm_.getJointSample(); }
void InterfacesArm::setState(int state) { arm_.setArmStatus(state); }
void InterfacesArm::damp() { arm_.dampNow(); }
bool InterfacesArm::faultLatched() { return arm_.faultLatched(); }
int InterfacesArm::latchedFaultCode() { return arm_.latchedFaultCode(); }
std::string InterfacesArm::latchedFaultMessage() { return arm_.latchedFaultMessage(); }
std::vector<int> InterfacesArm::takeErrorCodes() { return arm_.getErrorCode(); }
void InterfacesArm::setGripper(double position) { arm_.setCatch(position); }

// MOTION SEAM (1 of 2): once InterfacesThread has servoJ, this becomes
//     if (arm_.servoJ(q, time)) return "";
//     return arm_.motionStatus().reason;
// (servoJ throws std::invalid_argument only for input the bridge has already
// refused; catch it here all the same and return its what()).
std::string InterfacesArm::stream(const std::vector<double>& /*q*/, double /*time*/) { return kNoMotion; }

// MOTION SEAM (2 of 2): once InterfacesThread has followJointTrajectory,
// this becomes
//     if (arm_.followJointTrajectory(points, true)) return "";
//     return arm_.motionStatus().reason;
// (asynchronous: the bridge's command thread must not wait for the motion).
std::string InterfacesArm::follow(const std::vector<m4::TrajectoryPoint>& /*points*/) { return kNoMotion; }

}  // namespace qel::ros2
