#include "bridge/ArmPort.hpp"

#include <stdexcept>

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
m4::MotionStatus InterfacesArm::motionStatus() { return arm_.motionStatus(); }

namespace {

// Why the arm refused the motion just requested; never "", which would read
// as taken.
std::string refusal(m4::InterfacesThread& arm, const char* what) {
    std::string reason = arm.motionStatus().reason;
    return reason.empty() ? std::string(what) + " refused by the arm" : reason;
}

}  // namespace

// The bridge checks what it hands over, so the motion operations throw only if
// the two checks ever disagree; that stays a refusal at the network edge.
std::string InterfacesArm::stream(const std::vector<double>& q, double time) {
    try {
        if (arm_.servoJ(q, time)) return "";
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return refusal(arm_, "servoJ");
}

// Asynchronous: the call returns once the control thread has taken the
// trajectory (a cycle or two), so the command thread never waits for the
// motion itself.
std::string InterfacesArm::follow(const std::vector<m4::TrajectoryPoint>& points) {
    try {
        if (arm_.followJointTrajectory(points, true)) return "";
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return refusal(arm_, "followJointTrajectory");
}

}  // namespace qel::ros2
