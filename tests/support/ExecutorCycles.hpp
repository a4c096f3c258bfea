#pragma once

// The control thread's side of motions without a controller or a bus: the
// test plays the control thread for a MotionExecutor, with an arm that is, at
// the start of each cycle, where the previous cycle sent it. Every
// expectation is then about set-points per cycle.

#include <atomic>
#include <cstdint>
#include <vector>

#include "qel/motion/MotionExecutor.hpp"
#include "support/ArmStates.hpp"
#include "support/MotionReference.hpp"

namespace qel::test {

class ExecutorCycles {
    using Cause = m4::motion::Cause;
    using Command = m4::motion::Command;
    using CycleInput = m4::motion::CycleInput;
    using Hold = m4::motion::Hold;
    using Joints = m4::motion::Joints;
    using MotionExecutor = m4::motion::MotionExecutor;
    using MotionPlan = m4::motion::MotionPlan;
    using Outcome = m4::motion::Outcome;
    using PathCommand = m4::motion::PathCommand;
    using Report = m4::motion::Report;
    using Sample = m4::motion::Sample;

public:
    struct Cycle {
        bool path = false;  // the motion sent the set-point
        Sample set_point;
    };

    // Runs one cycle, as the controller has before a host can plan.
    explicit ExecutorCycles(const Joints& at, int state = states::kPositionControl) : state(state), set_point_(at), measured_(at) {
        run();
    }

    MotionExecutor executor;
    std::atomic<int> state;
    bool damped = false;
    int fault_code = 0;
    std::atomic<uint64_t> arm_writes{0};
    Joints targets{};  // position control's joint targets

    Cycle run() {
        CycleInput input;
        input.state = &state;
        input.measured = measured_;
        input.measured_velocity = measured_velocity_;
        input.arm_writes = arm_writes.load();
        Cycle cycle;
        if (damped) {
            executor.cycleDamped(input, fault_code);
            set_point_ = measured_;
        } else {
            const PathCommand* path = executor.beginCycle(input);
            Hold hold;
            if (executor.takeHold(&hold) && hold.arm_writes == arm_writes.load()) targets = hold.position;
            const int now = state.load();
            if (path != nullptr && now == states::kPositionControl) {
                cycle.path = true;
                cycle.set_point = path->set_point;
                set_point_ = path->set_point.position;
            } else if (now != states::kPositionControl && now != states::kGoHome && now != states::kEndControl) {
                set_point_ = measured_;  // a passive state follows the arm
            }
        }
        executor.endCycle(set_point_, cycle.path);
        for (int i = 0; i < 7; ++i) measured_velocity_[i] = (set_point_[i] - measured_[i]) / kCycle;
        measured_ = set_point_;
        if (!cycle.path) cycle.set_point.position = set_point_;
        return cycle;
    }
    std::vector<Cycle> run(int n) {
        std::vector<Cycle> out;
        for (int k = 0; k < n; ++k) out.push_back(run());
        return out;
    }
    // Runs until no motion sends any more (at most `limit` cycles).
    std::vector<Cycle> runOut(int limit = 4000) {
        std::vector<Cycle> out;
        for (int k = 0; k < limit; ++k) {
            out.push_back(run());
            if (!out.back().path) break;
        }
        return out;
    }

    uint64_t post(const MotionPlan& plan) {
        Command command;
        command.sequence = executor.nextSequence();
        command.type = Command::Type::kPlan;
        command.plan = &plan;
        executor.post(command);
        return command.sequence;
    }
    uint64_t servo(const Joints& target, const Joints& velocity, int cycles) {
        Command command;
        command.sequence = executor.nextSequence();
        command.type = Command::Type::kServo;
        command.target = target;
        command.target_velocity = velocity;
        command.cycles = cycles;
        executor.post(command);
        return command.sequence;
    }
    void stop(double deceleration) { executor.requestStop(executor.nextSequence(), deceleration, Cause::kStopMotion); }
    std::vector<Outcome> outcomes() {
        std::vector<Outcome> out(64);
        out.resize(executor.takeOutcomes(out.data(), out.size()));
        return out;
    }
    Report report() {
        Report r;
        executor.takeReport(&r);
        return r;
    }
    const Joints& at() const { return set_point_; }

private:
    Joints set_point_;
    Joints measured_;
    Joints measured_velocity_{};
};

}  // namespace qel::test
