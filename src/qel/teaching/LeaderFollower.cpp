#include "qel/teaching/LeaderFollower.hpp"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "qel/controller/ControlLaw.hpp"
#include "qel/realtime/CycleClock.hpp"
#include "qel/realtime/ThreadSettings.hpp"

namespace qel::m4 {
namespace {

constexpr int kGravityCompensation = 3;
constexpr double kCycleSeconds = 0.005;
// A target that is the follower's set-point in the very cycle that takes it.
constexpr double kServoTime = kCycleSeconds;
// Leader cycles a step may make up for when the streaming thread woke late.
constexpr uint64_t kMostCyclesPerStep = 4;
constexpr std::size_t kAxes = control::kMotors;

double cpuSeconds(clockid_t clock) {
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0) return 0.0;
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

// The leader's measurement as a target the follower may take: within the
// follower's own range (a leader pressed against its end stop reads a hair
// beyond it; the gripper pressed shut a hair below zero).
void withinLimits(const JointSample& lead, std::vector<double>* target) {
    for (std::size_t i = 0; i < kAxes; ++i) {
        const control::MotorSlot& slot = control::kMotorLayout[i];
        (*target)[i] = std::clamp(lead.positions[i], slot.lower, slot.upper);
    }
}

// Holds the arm joints' step from `sent` to the catch-up speed over `cycles`
// cycles, the whole step scaled alike so that the follower stays on the line
// towards the leader. True if it did.
bool limitStep(const std::vector<double>& sent, uint64_t cycles, std::vector<double>* target) {
    const double most = kTeleopCatchUpSpeed * kCycleSeconds * static_cast<double>(cycles);
    double largest = 0.0;
    for (std::size_t i = 0; i < control::kArmJoints; ++i) largest = std::max(largest, std::fabs((*target)[i] - sent[i]));
    if (largest <= most) return false;
    const double scale = most / largest;
    for (std::size_t i = 0; i < control::kArmJoints; ++i) (*target)[i] = sent[i] + ((*target)[i] - sent[i]) * scale;
    return true;
}

}  // namespace

LeaderFollower::LeaderFollower(InterfacesThread& leader, InterfacesThread& follower,
                               const LeaderFollowerOptions& options)
    : leader_(leader), follower_(follower), options_(options) {
    // Switching the leader to gravity compensation would clear its latch:
    // a fault is the host's to look at first.
    for (InterfacesThread* arm : {&leader_, &follower_}) {
        if (!arm->faultLatched()) continue;
        throw TeleopRefused(std::string(arm == &leader_ ? "the leader" : "the follower") + " holds a latched fault: " +
                            arm->latchedFaultMessage() + " (code " + std::to_string(arm->latchedFaultCode()) + ")");
    }
    if (!options.episode_path.empty()) {
        recording::EpisodeLayout layout;
        layout.library_version = QEL_LIBRARY_VERSION;
        layout.robot_variant = options.robot_variant;
        layout.leader_interface = options.leader_interface;
        layout.follower_interface = options.follower_interface;
        episode_ = std::make_unique<recording::EpisodeRecorder>(options.episode_path, layout);
    }
    withinLimits(leader_.getJointSample(), &aligned_);
    if (!follower_.moveJ(aligned_, kTeleopAlignSpeed, kTeleopAlignAcceleration)) {
        if (episode_) episode_->finish();
        throw TeleopRefused("the follower could not get to the leader's posture: " +
                            follower_.motionStatus().reason);
    }
    leader_.setCatchTorque(0.0);
    leader_.setArmStatus(kGravityCompensation);
    started_ns_ = realtime::monotonicNanos();
    thread_ = std::thread([this] { run(); });
    native_ = thread_.native_handle();
}

LeaderFollower::~LeaderFollower() { stop(); }

void LeaderFollower::run() {
    realtime::applyToCurrentThread(realtime::ThreadSettings{}, "qel-teleop");
    std::vector<double> target(kAxes);
    std::vector<double> sent = aligned_;  // the follower's set-point to begin with
    uint64_t last = leader_.getJointSample().cycle;
    bool first = true;
    while (!quit_) {
        const JointSample lead = leader_.waitJointSample(last, kTeleopLeaderSilence);
        if (quit_) break;
        if (leader_.faultLatched()) {
            follower_.dampNow();
            return end(TeleopEnd::kLeaderFault, &leader_);
        }
        if (follower_.faultLatched()) {
            leader_.dampNow();
            return end(TeleopEnd::kFollowerFault, &follower_);
        }
        if (lead.cycle <= last) {
            leader_.dampNow();
            follower_.dampNow();
            return end(TeleopEnd::kLeaderSilent, nullptr);
        }
        const uint64_t cycles = first ? 1 : lead.cycle - last;
        if (cycles > 1) missed_.fetch_add(cycles - 1, std::memory_order_relaxed);
        last = lead.cycle;
        first = false;

        withinLimits(lead, &target);
        if (limitStep(sent, std::min(cycles, kMostCyclesPerStep), &target)) {
            caught_up_.fetch_add(1, std::memory_order_relaxed);
        }
        const JointSample observed = follower_.getJointSample();
        const bool taken = follower_.servoJ(target, kServoTime);
        const int64_t handed_over = realtime::systemNanos();
        steps_.fetch_add(1, std::memory_order_relaxed);
        if (taken) {
            sent = target;
        } else if (refused_.fetch_add(1, std::memory_order_relaxed) == 0) {
            const std::string reason = follower_.motionStatus().reason;
            std::lock_guard<std::mutex> lock(mutex_);
            ended_.first_refusal = reason;
        }

        recording::EpisodeStep step;
        step.leader_cycle = lead.cycle;
        step.follower_cycle = observed.cycle;
        step.leader_ns = lead.time_ns;
        step.follower_ns = observed.time_ns;
        step.command_ns = handed_over;
        for (std::size_t i = 0; i < kAxes; ++i) {
            step.action[i] = target[i];
            step.qpos[i] = observed.positions[i];
            step.qvel[i] = observed.velocities[i];
            step.effort[i] = observed.currents[i];
        }
        if (episode_) episode_->push(step);
        if (options_.on_step) options_.on_step(step);
    }
    end(TeleopEnd::kStopped, nullptr);
}

void LeaderFollower::end(TeleopEnd why, InterfacesThread* faulted) {
    const int code = faulted != nullptr ? faulted->latchedFaultCode() : 0;
    const std::string message = faulted != nullptr ? faulted->latchedFaultMessage() : std::string();
    const double cpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    std::lock_guard<std::mutex> lock(mutex_);
    ended_.end = why;
    ended_.fault_code = code;
    ended_.fault_message = message;
    ended_.cpu_seconds = cpu;
    ended_.wall_seconds = (realtime::monotonicNanos() - started_ns_) * 1e-9;
}

TeleopStatus LeaderFollower::stop() {
    quit_ = true;
    if (thread_.joinable()) {
        thread_.join();
        // What streamed last brakes to rest along the stream and holds.
        if (!follower_.faultLatched()) follower_.stopMotion();
    }
    RecordingStatus episode;
    if (episode_) episode = episode_->finish();
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    ended_.episode = episode;
    TeleopStatus out = ended_;
    out.steps = steps_;
    out.refused = refused_;
    out.caught_up = caught_up_;
    out.missed_cycles = missed_;
    return out;
}

TeleopStatus LeaderFollower::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    TeleopStatus out = ended_;
    out.steps = steps_;
    out.refused = refused_;
    out.caught_up = caught_up_;
    out.missed_cycles = missed_;
    // Until it ends (which it notes before it exits), the thread is there to
    // be asked for its CPU time.
    if (out.end == TeleopEnd::kRunning) {
        clockid_t clock;
        if (pthread_getcpuclockid(native_, &clock) == 0) out.cpu_seconds = cpuSeconds(clock);
        out.wall_seconds = (realtime::monotonicNanos() - started_ns_) * 1e-9;
    }
    if (episode_ && !stopped_) out.episode = episode_->status();
    return out;
}

}  // namespace qel::m4
