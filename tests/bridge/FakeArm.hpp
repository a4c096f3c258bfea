#pragma once

// An arm behind the bridge's seam that records what reaches it, for tests of
// what the bridge lets through.

#include <string>
#include <vector>

#include "bridge/ArmPort.hpp"

namespace qel::test {

class FakeArm : public ros2::ArmPort {
public:
    struct Stream {
        std::vector<double> q;
        double time;
    };

    m4::JointSample sample() override { return next_sample; }
    void setState(int state) override {
        states.push_back(state);
        latched = false;
    }
    void damp() override { ++damps; }
    bool faultLatched() override { return latched; }
    int latchedFaultCode() override { return latched ? 5 : 0; }
    std::string latchedFaultMessage() override { return latched ? "damped on request" : ""; }
    std::vector<int> takeErrorCodes() override { return std::move(codes); }
    void setGripper(double position) override { grippers.push_back(position); }
    std::string stream(const std::vector<double>& q, double time) override {
        streams.push_back({q, time});
        return refusal;
    }
    std::string follow(const std::vector<m4::TrajectoryPoint>& points) override {
        trajectories.push_back(points);
        return refusal;
    }
    m4::MotionStatus motionStatus() override { return motion; }

    // Nothing at all reached the arm.
    bool untouched() const {
        return states.empty() && damps == 0 && grippers.empty() && streams.empty() && trajectories.empty();
    }

    m4::JointSample next_sample;
    bool latched = false;
    std::vector<int> codes;
    std::string refusal;  // what stream and follow answer
    m4::MotionStatus motion;
    std::vector<int> states;
    int damps = 0;
    std::vector<double> grippers;
    std::vector<Stream> streams;
    std::vector<std::vector<m4::TrajectoryPoint>> trajectories;
};

}  // namespace qel::test
