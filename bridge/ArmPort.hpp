#pragma once

// What the bridge needs of an arm: the one seam between the network side and
// the library's public interface. The bridge runs on InterfacesArm; its tests
// put a fake arm here to see exactly what reaches the arm.

#include <string>
#include <vector>

#include "qel/motion/MotionTypes.hpp"
#include "qel/typedef/JointSample.hpp"

namespace qel::m4 {
class InterfacesThread;
}

namespace qel::ros2 {

// Every call comes from one of the bridge's own threads, never from the
// control thread. The commands come already checked (finite, within the
// limits, in joint order).
class ArmPort {
public:
    virtual ~ArmPort() = default;

    // The newest measurements with their cycle's number and time.
    virtual m4::JointSample sample() = 0;
    // The control state (0 soft ... 5 joint position control); also resumes
    // after a latched fault or damp().
    virtual void setState(int state) = 0;
    // Damps the arm and holds it damped until setState.
    virtual void damp() = 0;
    virtual bool faultLatched() = 0;
    virtual int latchedFaultCode() = 0;
    virtual std::string latchedFaultMessage() = 0;
    // The error codes recorded since the last call, oldest first.
    virtual std::vector<int> takeErrorCodes() = 0;
    // Gripper position target (from its calibrated zero).
    virtual void setGripper(double position) = 0;

    // Streams one target: `q` holds joints 1 to 6 (rad) and, as a seventh
    // entry when given, the gripper; it is to be reached `time` seconds from
    // now. Never waits for the motion. Returns "" when the arm took it,
    // otherwise why it refused.
    virtual std::string stream(const std::vector<double>& q, double time) = 0;
    // Starts a timed trajectory (points as checked: positions of joints 1 to
    // 6 and optionally the gripper, strictly increasing times), replacing a
    // running motion; returns once the arm has started it, without waiting
    // for it to end. "" when the arm took it, otherwise why it refused.
    virtual std::string follow(const std::vector<m4::TrajectoryPoint>& points) = 0;
    // The last motion request (moving, done, refused, ...), why and how far.
    virtual m4::MotionStatus motionStatus() = 0;
};

// The arm behind the library's public threaded interface.
class InterfacesArm : public ArmPort {
public:
    explicit InterfacesArm(m4::InterfacesThread& arm) : arm_(arm) {}

    m4::JointSample sample() override;
    void setState(int state) override;
    void damp() override;
    bool faultLatched() override;
    int latchedFaultCode() override;
    std::string latchedFaultMessage() override;
    std::vector<int> takeErrorCodes() override;
    void setGripper(double position) override;
    std::string stream(const std::vector<double>& q, double time) override;
    std::string follow(const std::vector<m4::TrajectoryPoint>& points) override;
    m4::MotionStatus motionStatus() override;

private:
    m4::InterfacesThread& arm_;
};

}  // namespace qel::ros2
