#include "qel/motion/MotionExecutor.hpp"

#include <algorithm>
#include <cmath>

namespace qel::m4::motion {
namespace {

constexpr int kSettleCycles = static_cast<int>(kSettleSeconds / kCycleSeconds);
// Below this the set-point counts as standing still when a stop begins.
constexpr double kStandstill = 1e-9;

double fastestArmJoint(const Joints& velocity) {
    double fastest = 0.0;
    for (std::size_t i = 0; i < kArmJoints; ++i) fastest = std::max(fastest, std::fabs(velocity[i]));
    return fastest;
}

MotionKind kindOf(const Command& command) {
    return command.type == Command::Type::kServo ? MotionKind::kServo : command.plan->kind();
}

bool motionState(int state) {
    return state == MotionExecutor::kGoHome || state == MotionExecutor::kEndControl ||
           state == MotionExecutor::kPositionControl;
}

}  // namespace

void MotionExecutor::requestStop(uint64_t sequence, double deceleration, Cause cause) {
    stop_deceleration_.store(deceleration);
    stop_cause_.store(cause);
    // Last: the control thread reads the sequence first.
    stop_sequence_.store(sequence);
}

const PathCommand* MotionExecutor::beginCycle(const CycleInput& input) {
    measured_ = input.measured;
    path_out_ = false;
    takeCommands(input);
    if (active_.running) advance(input);
    return path_out_ ? &path_ : nullptr;
}

void MotionExecutor::cycleDamped(const CycleInput& input, int code) {
    measured_ = input.measured;
    path_out_ = false;
    stops_seen_ = std::max(stops_seen_, stop_sequence_.load());
    if (active_.running) finish(MotionState::kAborted, Cause::kFault, code);
    takePending();
    if (has_pending_) {
        outcome(pending_.sequence, kindOf(pending_), MotionState::kRefused, Cause::kFault, code, 0.0);
        taken_ = std::max(taken_, pending_.sequence);
        has_pending_ = false;
    }
}

void MotionExecutor::takePending() {
    Command command;
    if (!commands_.take(&command)) return;
    if (has_pending_) {
        // Waited for its state switch and was overtaken meanwhile.
        outcome(pending_.sequence, kindOf(pending_), MotionState::kAborted, Cause::kReplaced, 0, 0.0);
    }
    pending_ = command;
    has_pending_ = true;
}

void MotionExecutor::takeCommands(const CycleInput& input) {
    const uint64_t changed = state_change_.load();
    const int state = input.state->load();
    if (active_.running && changed > active_.sequence) {
        finish(MotionState::kAborted, Cause::kStateChanged, state_change_value_.load());
    }
    const uint64_t stop = stop_sequence_.load();
    if (stop > stops_seen_) {
        stops_seen_ = stop;
        const double deceleration = stop_deceleration_.load();
        const Cause cause = stop_cause_.load();
        if (active_.running && stop > active_.sequence) beginStop(deceleration, cause);
    }

    takePending();
    // Nothing starts before the state's set-point is known: one cycle after
    // construction.
    if (!has_pending_ || !state_set_point_known_) return;
    const MotionKind kind = kindOf(pending_);
    if (changed > pending_.sequence) {
        outcome(pending_.sequence, kind, MotionState::kAborted, Cause::kStateChanged,
                state_change_value_.load(), 0.0);
    } else if (stops_seen_ > pending_.sequence) {
        outcome(pending_.sequence, kind, MotionState::kStopped, Cause::kStopMotion, 0, 0.0);
    } else {
        start(pending_, input, state);
        if (has_pending_) return;  // waits for its state switch
    }
    taken_ = std::max(taken_, pending_.sequence);
    has_pending_ = false;
}

Sample MotionExecutor::currentSetPoint() const {
    if (active_.running) return path_.set_point;
    return state_set_point_;
}

void MotionExecutor::start(const Command& command, const CycleInput& input, int state) {
    const bool servo = command.type == Command::Type::kServo;
    const MotionKind kind = kindOf(command);
    auto refuse = [&](Cause cause, int value) {
        outcome(command.sequence, kind, MotionState::kRefused, cause, value, 0.0);
        has_pending_ = false;
    };
    if (!motionState(state)) return refuse(Cause::kPassiveState, state);
    const Sample from = currentSetPoint();
    const double speed = fastestArmJoint(from.velocity);
    for (std::size_t i = 0; i < kArmJoints; ++i) {
        if (std::fabs(from.velocity[i]) > kJointMotionLimits[i].max_speed) {
            return refuse(Cause::kTooFastToJoin, static_cast<int>(i) + 1);
        }
    }

    Active next;
    next.sequence = command.sequence;
    next.kind = kind;
    next.servo = servo;
    next.arm_writes = input.arm_writes;
    next.gripper_writes = input.gripper_writes;
    if (servo) {
        next.has_gripper = command.has_gripper;
        Sample to{command.target, command.target_velocity};
        if (!command.has_gripper) {
            to.position[kGripper] = from.position[kGripper];
            to.velocity[kGripper] = 0.0;
        }
        // A target the cubic could only reach faster than a joint may move
        // is reached later instead (the host refuses the ones that need it).
        // A one-cycle target is met in the one sample the cycle takes: there
        // what counts is the step to it.
        double duration = command.cycles * kCycleSeconds;
        for (int attempt = 0; attempt < 4; ++attempt) {
            next.cubic.set(from, to, duration);
            double worst = 1.0;
            for (std::size_t i = 0; i < kArmJoints; ++i) {
                double lowest = 0.0;
                double highest = 0.0;
                double fastest = 0.0;
                next.cubic.extremes(i, &lowest, &highest, &fastest);
                if (duration <= kCycleSeconds) {
                    fastest = std::max(std::fabs(to.velocity[i]), std::fabs(to.position[i] - from.position[i]) / duration);
                }
                worst = std::max(worst, fastest / kJointMotionLimits[i].max_speed);
            }
            if (worst <= 1.0) break;
            duration *= worst * 1.01;
        }
        next.coast = to.velocity;
    } else {
        const MotionPlan& plan = *command.plan;
        next.plan = &plan;
        next.has_gripper = plan.hasGripper();
        if (plan.join() == MotionPlan::Join::kFromRest) {
            if (speed > kRestSpeed) return refuse(Cause::kSetPointMoving, 0);
            for (std::size_t i = 0; i < kAxes; ++i) {
                next.drift[i] = from.position[i] - plan.start()[i];
                if (i < kArmJoints && std::fabs(next.drift[i]) > kStartDrift) {
                    return refuse(Cause::kSetPointMoving, static_cast<int>(i) + 1);
                }
            }
            if (!next.has_gripper) next.drift[kGripper] = 0.0;
        } else {
            Sample lead_from = from;
            if (!next.has_gripper) lead_from.velocity[kGripper] = 0.0;
            next.cubic.set(lead_from, plan.anchor(), plan.anchorTime());
            next.lead_in = true;
            for (std::size_t i = 0; i < (next.has_gripper ? kAxes : kArmJoints); ++i) {
                double lowest = 0.0;
                double highest = 0.0;
                double fastest = 0.0;
                next.cubic.extremes(i, &lowest, &highest, &fastest);
                const control::MotorSlot& slot = control::kMotorLayout[i];
                if (lowest < slot.lower || highest > slot.upper) {
                    return refuse(Cause::kLeadInRange, static_cast<int>(i) + 1);
                }
                if (i < kArmJoints && fastest > kJointMotionLimits[i].max_speed) {
                    return refuse(Cause::kLeadInSpeed, static_cast<int>(i) + 1);
                }
            }
        }
    }

    if (state != kPositionControl) {
        // From homing or pose control: the motion runs in position control,
        // which then holds where it ended. If the host changed the state in
        // between, its choice stands and decides next cycle.
        int expected = state;
        if (!input.state->compare_exchange_strong(expected, kPositionControl)) return;
    }
    // A stream's next target continues it; anything else ends what runs.
    const bool continues = servo && active_.running && active_.servo &&
                           !(active_.phase == Phase::kStopping && active_.stop_cause == Cause::kStopMotion);
    if (active_.running && !continues) {
        outcome(active_.sequence, active_.kind, MotionState::kAborted, Cause::kReplaced, 0, progress());
    }
    if (continues) {
        // The stream keeps the target writes it started with.
        next.arm_writes = active_.arm_writes;
        next.gripper_writes = active_.gripper_writes;
        next.has_gripper = next.has_gripper || active_.has_gripper;
    }
    next.running = true;
    active_ = next;
    has_pending_ = false;
}

void MotionExecutor::beginStop(double deceleration, Cause cause) {
    Active& a = active_;
    if (a.phase == Phase::kSettling) {
        // Already standing at its goal.
        if (cause != Cause::kNone) {
            finish(cause == Cause::kStopMotion ? MotionState::kStopped : MotionState::kAborted, cause, 0);
        }
        return;
    }
    const bool tool = a.plan != nullptr && a.plan->stopUnit() == MotionPlan::StopUnit::kTool;
    const double speed = tool ? a.plan->toolSpeed(a.tau) * a.rate : fastestArmJoint(path_.set_point.velocity);
    if (!(deceleration > 0.0)) {
        deceleration = a.plan != nullptr ? a.plan->defaultDeceleration() : servoStopDeceleration(speed);
        if (cause == Cause::kReplaced) {
            deceleration = std::max(deceleration, tool ? kReplaceToolDeceleration : kReplaceJointDeceleration);
        }
    }
    // Slowing the motion's clock at a constant rate slows the set-point at
    // `deceleration` along its own path (exactly so where the path's speed is
    // constant) and brings it to rest after speed / deceleration.
    a.rate_slope = speed > kStandstill ? -deceleration * a.rate / speed : -a.rate / kCycleSeconds;
    a.phase = Phase::kStopping;
    a.stop_cause = cause;
}

void MotionExecutor::pathAt(double tau, Sample* out) const {
    const Active& a = active_;
    if (a.servo) {
        const double end = a.cubic.duration();
        a.cubic.sample(tau, out);
        if (tau > end) {
            for (std::size_t i = 0; i < kAxes; ++i) {
                out->position[i] += a.coast[i] * (tau - end);
                out->velocity[i] = a.coast[i];
            }
        }
        return;
    }
    if (a.lead_in && tau < a.plan->anchorTime()) {
        a.cubic.sample(tau, out);
        return;
    }
    a.plan->sample(tau, out);
    if (a.plan->join() == MotionPlan::Join::kFromRest) {
        double share = 0.0;
        double rate = 0.0;
        a.plan->progress(tau, &share, &rate);
        for (std::size_t i = 0; i < kAxes; ++i) {
            out->position[i] += a.drift[i] * (1.0 - share);
            out->velocity[i] -= a.drift[i] * rate;
        }
    }
}

void MotionExecutor::advance(const CycleInput& input) {
    Active& a = active_;
    path_.gripper = a.has_gripper;
    path_out_ = true;
    if (a.phase == Phase::kSettling) {
        path_.set_point.position = a.hold;
        path_.set_point.velocity = Joints{};
        bool arrived = true;
        double worst = 0.0;
        int worst_joint = 1;
        for (std::size_t i = 0; i < kArmJoints; ++i) {
            const double off = std::fabs(input.measured[i] - a.hold[i]);
            if (off >= kArrivalTolerance || std::fabs(input.measured_velocity[i]) >= kRestVelocity) {
                arrived = false;
            }
            if (off > worst) {
                worst = off;
                worst_joint = static_cast<int>(i) + 1;
            }
        }
        if (arrived) {
            finish(MotionState::kDone, Cause::kNone, 0);
        } else if (++a.settle_cycles > kSettleCycles) {
            finish(MotionState::kAborted, Cause::kNotSettled, worst_joint);
        }
        return;
    }

    double next_rate = a.rate;
    if (a.phase == Phase::kStopping) next_rate = std::max(0.0, a.rate + a.rate_slope * kCycleSeconds);
    a.tau += kCycleSeconds * 0.5 * (a.rate + next_rate);
    a.rate = next_rate;
    pathAt(a.tau, &path_.set_point);
    for (double& v : path_.set_point.velocity) v *= a.rate;

    if (a.phase == Phase::kStopping && a.rate <= 0.0) {
        a.hold = path_.set_point.position;
        if (a.stop_cause == Cause::kNone) {
            // A stream that ran out of targets: it ends where it came to
            // rest, once the arm is there.
            a.phase = Phase::kSettling;
            a.settle_cycles = 0;
        } else {
            finish(a.stop_cause == Cause::kStopMotion ? MotionState::kStopped : MotionState::kAborted,
                   a.stop_cause, 0);
        }
        return;
    }
    if (a.phase != Phase::kMoving) return;
    if (a.plan != nullptr && a.tau >= a.plan->duration()) {
        a.hold = path_.set_point.position;
        a.phase = Phase::kSettling;
        a.settle_cycles = 0;
    } else if (a.servo && a.tau >= a.cubic.duration() + kServoGraceCycles * kCycleSeconds - 1e-12) {
        beginStop(0.0, Cause::kNone);
    }
}

double MotionExecutor::progress() const {
    const Active& a = active_;
    if (a.plan == nullptr) return 0.0;
    const double duration = a.plan->duration();
    return duration > 0.0 ? std::clamp(a.tau / duration, 0.0, 1.0) : 1.0;
}

void MotionExecutor::finish(MotionState state, Cause cause, int value) {
    Active& a = active_;
    outcome(a.sequence, a.kind, state, cause, value, state == MotionState::kDone ? 1.0 : progress());
    hold_.position = path_.set_point.position;
    hold_.gripper = a.has_gripper;
    hold_.arm_writes = a.arm_writes;
    hold_.gripper_writes = a.gripper_writes;
    hold_ready_ = true;
    a.running = false;
}

void MotionExecutor::outcome(uint64_t sequence, MotionKind kind, MotionState state, Cause cause,
                             int value, double progress) {
    outcomes_.push(Outcome{sequence, kind, state, cause, value, progress});
}

bool MotionExecutor::takeHold(Hold* out) {
    if (!hold_ready_) return false;
    *out = hold_;
    hold_ready_ = false;
    return true;
}

void MotionExecutor::endCycle(const Joints& set_point, bool sent) {
    if (path_out_ && !sent && active_.running) {
        // The controller ran something else this cycle: the host changed
        // the state just now, or a motor went offline and the arm is damped.
        if (state_change_.load() > active_.sequence) {
            finish(MotionState::kAborted, Cause::kStateChanged, state_change_value_.load());
        } else {
            finish(MotionState::kAborted, Cause::kNotSent, 0);
        }
    }
    Sample now;
    now.position = set_point;
    if (state_set_point_known_) {
        for (std::size_t i = 0; i < kAxes; ++i) {
            now.velocity[i] = (set_point[i] - state_set_point_.position[i]) / kCycleSeconds;
        }
    }
    // The motion's own velocity where it has one: the difference would
    // trail it by half a cycle.
    if (path_out_) now.velocity = path_.set_point.velocity;
    state_set_point_ = now;
    state_set_point_known_ = true;
    ++cycles_;

    Report& report = reports_.writeSlot();
    report.cycle = cycles_;
    report.taken = taken_;
    report.plan_in_use = active_.running && active_.plan != nullptr ? active_.sequence : 0;
    report.sequence = active_.running ? active_.sequence : 0;
    report.kind = active_.running ? active_.kind : MotionKind::kNone;
    report.progress = active_.running ? progress() : 0.0;
    report.set_point = now;
    report.measured = measured_;
    reports_.publish();
}

}  // namespace qel::m4::motion
