#include "qel/motion/MotionControl.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace qel::m4::motion {
namespace {

// How long the control thread may take to pick up a motion, and how long it
// may stand still, before the host stops waiting for it.
constexpr auto kTakeOverTimeout = std::chrono::seconds(2);
constexpr auto kStalledControl = std::chrono::seconds(2);
// A running motion brought to rest for a new move takes speed / deceleration;
// far less than this.
constexpr auto kSettleRunningTimeout = std::chrono::seconds(10);
constexpr auto kPoll = std::chrono::milliseconds(1);
// Outcomes kept for status and waits; only the newest few are ever asked for.
constexpr std::size_t kEndedKept = 256;

const char* kindName(MotionKind kind) {
    switch (kind) {
        case MotionKind::kJoint:
            return "moveJ";
        case MotionKind::kLine:
            return "moveL";
        case MotionKind::kTrajectory:
            return "followJointTrajectory";
        case MotionKind::kServo:
            return "servoJ";
        default:
            return "motion";
    }
}

double fastestArmJoint(const Joints& velocity) {
    double fastest = 0.0;
    for (std::size_t i = 0; i < kArmJoints; ++i) fastest = std::max(fastest, std::fabs(velocity[i]));
    return fastest;
}

std::string number(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

}  // namespace

MotionControl::MotionControl(std::unique_ptr<MotionPlanner> planner, MotionExecutor& executor,
                             ControllerView view)
    : planner_(std::move(planner)), executor_(executor), view_(std::move(view)) {}

std::string MotionControl::describe(Cause cause, int value) {
    const std::string n = std::to_string(value);
    switch (cause) {
        case Cause::kNone:
            return {};
        case Cause::kStopMotion:
            return "stopped by stopMotion";
        case Cause::kReplaced:
            return "replaced by a newer motion command";
        case Cause::kStateChanged:
            return "the host set the control state to " + n;
        case Cause::kFault:
            return "a fault was latched (code " + n +
                   "); a motion never resumes after a fault: call setArmStatus, then command it again";
        case Cause::kPassiveState:
            return "the arm is in state " + n +
                   "; motions start only in go home (1), pose control (4) or position control (5)";
        case Cause::kSetPointMoving:
            return "the set-point was moving when the move was to start; moveJ and moveL start from rest";
        case Cause::kLeadInRange:
            return "the way from the set-point to the first point would take joint " + n +
                   " out of its range";
        case Cause::kLeadInSpeed:
            return "the way from the set-point to the first point would move joint " + n +
                   " faster than its speed limit";
        case Cause::kNotSent:
            return "the controller stopped sending the motion's set-points (an arm motor is offline)";
        case Cause::kNotSettled:
            return "the arm did not arrive within " + number("%.0f s", kSettleSeconds) + ": joint " + n +
                   " stayed more than " + number("%.3g rad", kArrivalTolerance) +
                   " from its goal or kept moving";
        case Cause::kTooFastToJoin:
            return "the state's set-point moves joint " + n + " faster than a motion may start from";
    }
    return {};
}

void MotionControl::refresh() {
    Report report;
    if (executor_.takeReport(&report)) {
        if (!have_report_ || report.cycle != report_.cycle) report_time_ = Clock::now();
        report_ = report;
        have_report_ = true;
    }
    Outcome outcomes[16];
    for (std::size_t n; (n = executor_.takeOutcomes(outcomes, 16)) > 0;) {
        for (std::size_t k = 0; k < n; ++k) ended_[outcomes[k].sequence] = Ended{outcomes[k], {}};
    }
    while (ended_.size() > kEndedKept) ended_.erase(ended_.begin());
    // The control thread takes commands in order and never goes back: a plan
    // older than the newest command it dealt with is only in use if it is
    // the one it samples.
    plans_.erase(std::remove_if(plans_.begin(), plans_.end(),
                                [&](const auto& entry) {
                                    return have_report_ && entry.first <= report_.taken &&
                                           entry.first != report_.plan_in_use;
                                }),
                 plans_.end());
}

bool MotionControl::endedAs(uint64_t sequence, Ended* out) {
    const auto found = ended_.find(sequence);
    if (found != ended_.end()) {
        *out = found->second;
        return true;
    }
    if (have_report_ && report_.taken >= sequence && report_.sequence != sequence) {
        // Dealt with, not running and without an outcome: a newer command
        // replaced it before it started (or a stream went on with a newer
        // target).
        *out = Ended{Outcome{sequence, last_kind_, MotionState::kAborted, Cause::kReplaced, 0, 0.0}, {}};
        return true;
    }
    return false;
}

bool MotionControl::waitUntil(const std::function<bool()>& done, Clock::time_point deadline) {
    while (true) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            refresh();
            if (done()) return true;
            if (have_report_ && Clock::now() - report_time_ > kStalledControl) return false;
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPoll);
    }
}

bool MotionControl::startState(StartState* out) {
    const bool ready = waitUntil([&] { return have_report_; }, Clock::now() + kTakeOverTimeout);
    if (!ready) return false;
    std::lock_guard<std::mutex> guard(mutex_);
    out->position = report_.set_point.position;
    out->velocity = report_.set_point.velocity;
    out->measured = report_.measured;
    return true;
}

std::string MotionControl::startBlocker(const char* what) {
    const int code = view_.latched_code();
    if (code != 0) {
        return std::string(what) + ": a fault is latched (code " + std::to_string(code) + ": " +
               view_.latched_message() +
               "); a motion never resumes after a fault: call setArmStatus first";
    }
    const int state = view_.state();
    if (state != MotionExecutor::kGoHome && state != MotionExecutor::kEndControl &&
        state != MotionExecutor::kPositionControl) {
        return std::string(what) + ": " + describe(Cause::kPassiveState, state);
    }
    return {};
}

bool MotionControl::refuse(MotionKind kind, const std::string& reason) {
    std::lock_guard<std::mutex> guard(mutex_);
    return refuseLocked(kind, reason);
}

bool MotionControl::refuseLocked(MotionKind kind, const std::string& reason) {
    const uint64_t sequence = executor_.nextSequence();
    ended_[sequence] = Ended{Outcome{sequence, kind, MotionState::kRefused, Cause::kNone, 0, 0.0}, reason};
    last_issued_ = sequence;
    last_kind_ = kind;
    return false;
}

uint64_t MotionControl::post(Command command, MotionKind kind, std::unique_ptr<MotionPlan> plan) {
    // Numbered and handed over in one step, so that the control thread sees
    // commands in the order of their numbers.
    command.sequence = executor_.nextSequence();
    command.plan = plan.get();
    if (plan) plans_.emplace_back(command.sequence, std::move(plan));
    executor_.post(command);
    last_issued_ = command.sequence;
    last_kind_ = kind;
    return command.sequence;
}

bool MotionControl::settleRunning(const char* what) {
    uint64_t running = 0;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        refresh();
        running = report_.sequence;
        streaming_ = false;
    }
    if (running != 0) executor_.requestStop(executor_.nextSequence(), 0.0, Cause::kReplaced);
    // Then at rest: the stopped motion, or position control arriving at its
    // targets on its own.
    const bool rested = waitUntil(
        [&] {
            return report_.sequence == 0 && fastestArmJoint(report_.set_point.velocity) <= kRestSpeed;
        },
        Clock::now() + kSettleRunningTimeout);
    if (!rested) refuse(MotionKind::kNone, std::string(what) + ": the set-point did not come to rest");
    return rested;
}

bool MotionControl::runPlanned(MotionKind kind, const Planner& plan, bool asynchronous) {
    std::lock_guard<std::mutex> planning(plan_mutex_);
    const char* what = kindName(kind);
    const std::string blocker = startBlocker(what);
    if (!blocker.empty()) return refuse(kind, blocker);
    StartState start;
    if (!startState(&start)) return refuse(kind, std::string(what) + ": the control thread does not run");
    // Checked (and thrown for bad input) before anything running is touched.
    PlanResult result = plan(start);
    if (!result.plan) return refuse(kind, result.refusal);

    bool moving = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        refresh();
        moving = report_.sequence != 0 || fastestArmJoint(report_.set_point.velocity) > kRestSpeed;
    }
    if (moving && result.plan->join() == MotionPlan::Join::kFromRest) {
        // A move starts from rest: a running motion is brought to rest along
        // its path first (position control arrives on its own), and the move
        // is planned again from there.
        if (!settleRunning(what)) return false;
        if (!startState(&start)) return refuse(kind, std::string(what) + ": the control thread does not run");
        result = plan(start);
        if (!result.plan) return refuse(kind, result.refusal);
    }

    uint64_t sequence = 0;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        Command command;
        command.type = Command::Type::kPlan;
        sequence = post(command, kind, std::move(result.plan));
    }
    Ended ended;
    const bool taken = waitUntil([&] { return report_.taken >= sequence; }, Clock::now() + kTakeOverTimeout);
    if (!taken) {
        // Whenever the control thread gets to it, it must not start what
        // this call reports as not done.
        executor_.requestStop(executor_.nextSequence(), 0.0, Cause::kStopMotion);
        return refuse(kind, std::string(what) + ": the control thread did not take the motion in time");
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (endedAs(sequence, &ended) && ended.outcome.state != MotionState::kDone) return false;
    }
    if (asynchronous) return true;
    if (!waitUntil([&] { return endedAs(sequence, &ended); }, Clock::time_point::max())) return false;
    return ended.outcome.state == MotionState::kDone;
}

bool MotionControl::moveJ(const std::vector<double>& q, double speed, double acceleration,
                          bool asynchronous) {
    // Input errors are thrown before anything is looked at.
    bool has_gripper = false;
    jointVector(q, "moveJ", &has_gripper);
    requirePositive(speed, "moveJ: the speed");
    requirePositive(acceleration, "moveJ: the acceleration");
    return runPlanned(
        MotionKind::kJoint,
        [&](const StartState& start) { return planner_->planJoint(q, speed, acceleration, start); },
        asynchronous);
}

bool MotionControl::moveL(const Eigen::Isometry3d& pose, double speed, double acceleration,
                          bool asynchronous) {
    checkPose(pose, "moveL");
    requirePositive(speed, "moveL: the speed");
    requirePositive(acceleration, "moveL: the acceleration");
    return runPlanned(
        MotionKind::kLine,
        [&](const StartState& start) { return planner_->planLine(pose, speed, acceleration, start); },
        asynchronous);
}

bool MotionControl::followJointTrajectory(const std::vector<TrajectoryPoint>& points, bool asynchronous) {
    const TrajectoryInput input = parseTrajectory(points);
    return runPlanned(
        MotionKind::kTrajectory,
        [&](const StartState& start) { return planner_->planTrajectory(input, start); }, asynchronous);
}

bool MotionControl::servoJ(const std::vector<double>& values, double time) {
    bool has_gripper = false;
    const Joints q = jointVector(values, "servoJ", &has_gripper);
    requirePositive(time, "servoJ: the time");

    std::lock_guard<std::mutex> guard(mutex_);
    refresh();
    auto refuseStream = [&](const std::string& why) { return refuseLocked(MotionKind::kServo, why); };
    std::string reason = startBlocker("servoJ");
    if (reason.empty()) reason = limitViolation(q, has_gripper, "servoJ: the target");
    if (reason.empty() && time > kServoMaxSeconds) {
        reason = "servoJ: a target " + number("%.3g s", time) + " ahead is more than " +
                 number("%.3g s", kServoMaxSeconds);
    }
    if (reason.empty() && !have_report_) reason = "servoJ: the control thread does not run";
    if (!reason.empty()) return refuseStream(reason);

    const Clock::time_point now = Clock::now();
    const bool continuing = streaming_ && now - stream_last_ <= std::chrono::duration<double>(kServoStreamGapSeconds);
    Command command;
    command.type = Command::Type::kServo;
    command.target = q;
    command.has_gripper = has_gripper;
    command.cycles = std::max(1, static_cast<int>(std::lround(time / kCycleSeconds)));
    if (continuing) {
        // The target's own velocity, from the stream's pace: the set-point
        // arrives at each target moving on towards the next.
        const double interval = std::chrono::duration<double>(now - stream_last_).count();
        stream_interval_ = stream_interval_ > 0.0 ? 0.7 * stream_interval_ + 0.3 * interval : interval;
        for (std::size_t i = 0; i < kAxes; ++i) {
            if (i == kGripper && !has_gripper) continue;
            const double velocity = (q[i] - stream_target_[i]) / std::max(stream_interval_, kCycleSeconds);
            if (i < kArmJoints && std::fabs(velocity) > kJointMotionLimits[i].max_speed) {
                return refuseStream("servoJ: the stream moves joint " + std::to_string(i + 1) + " at" +
                                    number(" %.3g rad/s", velocity) + ", above its limit of" +
                                    number(" %.3g rad/s", kJointMotionLimits[i].max_speed));
            }
            command.target_velocity[i] = velocity;
        }
    } else {
        stream_interval_ = 0.0;
        const double span = command.cycles * kCycleSeconds;
        for (std::size_t i = 0; i < kArmJoints; ++i) {
            const double needed = std::fabs(q[i] - report_.set_point.position[i]) / span;
            if (needed > kJointMotionLimits[i].max_speed) {
                return refuseStream("servoJ: reaching the target in" + number(" %.3g s", time) +
                                    " needs joint " + std::to_string(i + 1) + " at" + number(" %.3g rad/s", needed) +
                                    ", above its limit of" + number(" %.3g rad/s", kJointMotionLimits[i].max_speed));
            }
        }
    }
    post(command, MotionKind::kServo, nullptr);
    streaming_ = true;
    stream_last_ = now;
    for (std::size_t i = 0; i < kAxes; ++i) {
        if (i != kGripper || has_gripper) stream_target_[i] = q[i];
    }
    return true;
}

void MotionControl::stopMotion(double deceleration) {
    executor_.requestStop(executor_.nextSequence(), deceleration, Cause::kStopMotion);
    std::lock_guard<std::mutex> guard(mutex_);
    streaming_ = false;
}

void MotionControl::noteStateChange(int state) {
    executor_.noteStateChange(executor_.nextSequence(), state);
    std::lock_guard<std::mutex> guard(mutex_);
    streaming_ = false;
}

MotionStatus MotionControl::motionStatus() {
    std::lock_guard<std::mutex> guard(mutex_);
    refresh();
    MotionStatus status;
    if (last_issued_ == 0) return status;
    Ended ended;
    if (endedAs(last_issued_, &ended)) {
        status.state = ended.outcome.state;
        status.kind = ended.outcome.kind != MotionKind::kNone ? ended.outcome.kind : last_kind_;
        status.reason = !ended.reason.empty() ? ended.reason : describe(ended.outcome.cause, ended.outcome.value);
        status.progress = ended.outcome.progress;
    } else {
        status.state = MotionState::kMoving;
        status.kind = last_kind_;
        status.progress = report_.sequence == last_issued_ ? report_.progress : 0.0;
    }
    return status;
}

bool MotionControl::waitMotion(double timeout_s) {
    if (std::isnan(timeout_s) || timeout_s < 0.0) {
        throw std::invalid_argument("waitMotion: the time-out must be a number of seconds, not negative");
    }
    const Clock::time_point deadline =
        std::isinf(timeout_s) || timeout_s > 1e9
            ? Clock::time_point::max()
            : Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_s));
    Ended ended;
    uint64_t target = 0;
    const bool over = waitUntil(
        [&] {
            target = last_issued_;
            return target == 0 || endedAs(target, &ended);
        },
        deadline);
    return over && target != 0 && ended.outcome.state == MotionState::kDone;
}

}  // namespace qel::m4::motion
