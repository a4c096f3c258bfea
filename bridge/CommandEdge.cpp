#include "bridge/CommandEdge.hpp"

#include <algorithm>

#include "bridge/CommandCheck.hpp"

namespace qel::ros2 {
namespace {

// Where the arm runs a motion, whichever active state it started in.
constexpr int kJointPositionControl = 5;

}  // namespace

std::optional<double> CommandEdge::streamInterval(Clock::time_point arrival) const {
    if (!last_stream_) return std::nullopt;
    const double interval = std::chrono::duration<double>(arrival - *last_stream_).count();
    if (interval > kStreamGap) return std::nullopt;
    return interval;
}

double CommandEdge::streamLead(std::optional<double> interval) const {
    if (!interval) return std::clamp(kAssumedStreamPeriod + kStreamMargin, kMinStreamLead, kMaxStreamLead);
    double longest = *interval;
    const std::size_t kept = std::min(interval_count_, kStreamHistory - 1);
    for (std::size_t k = 0; k < kept; ++k) {
        longest = std::max(longest, intervals_[(interval_count_ - 1 - k) % kStreamHistory]);
    }
    return std::clamp(longest + kStreamMargin, kMinStreamLead, kMaxStreamLead);
}

void CommandEdge::jointCommand(const sensor_msgs_msg_dds__JointState_& command, Clock::time_point arrival) {
    std::vector<double> q;
    const std::string reason = checkJointCommand(command, &q);
    if (!reason.empty()) return refuse(topic::kJointCommand, reason);
    const std::optional<double> interval = streamInterval(arrival);
    const std::string refused = arm_.stream(q, streamLead(interval));
    if (!refused.empty()) return refuse(topic::kJointCommand, refused);
    if (interval) {
        intervals_[interval_count_ % kStreamHistory] = *interval;
        ++interval_count_;
    } else {
        interval_count_ = 0;
    }
    last_stream_ = arrival;
    acceptMotion();
}

void CommandEdge::jointTrajectory(const trajectory_msgs_msg_dds__JointTrajectory_& trajectory) {
    std::vector<m4::TrajectoryPoint> points;
    const std::string reason = checkTrajectory(trajectory, &points);
    if (!reason.empty()) return refuse(topic::kJointTrajectory, reason);
    const std::string refused = arm_.follow(points);
    if (!refused.empty()) return refuse(topic::kJointTrajectory, refused);
    // The trajectory ended the stream; the next command starts a new one.
    last_stream_.reset();
    acceptMotion();
}

void CommandEdge::armState(const std_msgs_msg_dds__Int32_& state) {
    const std::string reason = checkState(state.data);
    if (!reason.empty()) return refuse(topic::kArmState, reason);
    if (arm_.faultLatched()) {
        return refuse(topic::kArmState, "a fault is latched (code " + std::to_string(arm_.latchedFaultCode()) +
                                            "); leave it with resume");
    }
    arm_.setState(state.data);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        tally_.state = state.data;
    }
    accept();
}

void CommandEdge::damp(const std_msgs_msg_dds__Bool_& damp) {
    if (!damp.data) return refuse(topic::kDamp, "damp takes true; resume leaves the damping");
    arm_.damp();
    accept();
}

void CommandEdge::resume(const std_msgs_msg_dds__Int32_& state) {
    const std::string reason = checkState(state.data);
    if (!reason.empty()) return refuse(topic::kResume, reason);
    if (!arm_.faultLatched()) return refuse(topic::kResume, "nothing to resume from: no fault is latched");
    arm_.setState(state.data);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        tally_.state = state.data;
    }
    accept();
}

void CommandEdge::gripperCommand(const control_msgs_msg_dds__GripperCommand_& command) {
    double position = 0.0;
    const std::string reason = checkGripper(command, &position);
    if (!reason.empty()) return refuse(topic::kGripperCommand, reason);
    arm_.setGripper(position);
    accept();
}

CommandTally CommandEdge::tally() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return tally_;
}

void CommandEdge::accept() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++tally_.accepted;
}

void CommandEdge::acceptMotion() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++tally_.accepted;
    tally_.state = kJointPositionControl;
}

void CommandEdge::refuse(const char* topic, const std::string& reason) {
    std::lock_guard<std::mutex> guard(mutex_);
    ++tally_.refused;
    tally_.last_refusal = std::string(topic) + ": " + reason;
}

}  // namespace qel::ros2
