// The control thread's side of motions, cycle by cycle and without a bus: the
// test plays the control thread (an arm that is where it was last sent), so
// every expectation is about set-points per cycle. The host side is then run
// against the same stand-in on a thread of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qel/motion/MotionControl.hpp"
#include "qel/motion/MotionExecutor.hpp"
#include "qel/motion/MotionPlanner.hpp"
#include "support/ArmStates.hpp"
#include "support/ExecutorCycles.hpp"
#include "support/MotionReference.hpp"

namespace qel::m4::motion {
namespace {

using namespace test::states;
using test::kCycle;
using Cycles = test::ExecutorCycles;

Joints joints(std::initializer_list<double> values) {
    Joints q{};
    std::size_t i = 0;
    for (double v : values) q[i++] = v;
    return q;
}

double fastest(const Joints& v) {
    double out = 0.0;
    for (int i = 0; i < 6; ++i) out = std::max(out, std::fabs(v[i]));
    return out;
}

MotionPlanner& planner() {
    static MotionPlanner instance(QEL_TEST_URDF);
    return instance;
}

std::unique_ptr<MotionPlan> jointMove(const Joints& from, const Joints& to, double speed, double acceleration) {
    StartState start;
    start.position = from;
    start.measured = from;
    PlanResult result = planner().planJoint(std::vector<double>(to.begin(), to.begin() + 6), speed, acceleration, start);
    EXPECT_TRUE(result.plan) << result.refusal;
    return std::move(result.plan);
}

TEST(MotionExecutor, AMoveSendsOneStepAPerCycleFromTheCycleThatTakesItAndEndsOnceTheArmIsThere) {
    const Joints home{};
    const Joints goal = joints({0.4, 0.9, 0.7, -0.2, 0.3, 0.1});
    for (int start_state : {kGoHome, kEndControl, kPositionControl}) {
        SCOPED_TRACE("from state " + std::to_string(start_state));
        Cycles cycles(home, start_state);
        cycles.run(3);
        const auto plan = jointMove(home, goal, 1.5, 4.0);
        const uint64_t id = cycles.post(*plan);
        const std::vector<Cycles::Cycle> sent = cycles.runOut();
        EXPECT_EQ(cycles.state.load(), kPositionControl) << "a motion runs in position control";

        const test::JointMoveReference reference({0, 0, 0, 0, 0, 0}, {0.4, 0.9, 0.7, -0.2, 0.3, 0.1}, 1.5, 4.0);
        const int moving = static_cast<int>(std::ceil(reference.profile.duration() / kCycle));
        ASSERT_GE(static_cast<int>(sent.size()), moving + 1);
        for (int k = 0; k < moving; ++k) {
            const double t = (k + 1) * kCycle;  // the first cycle is one step in
            for (int i = 0; i < 6; ++i) {
                ASSERT_NEAR(sent[k].set_point.position[i], reference.position(i, t), 1e-9) << "cycle " << k;
                ASSERT_NEAR(sent[k].set_point.velocity[i], reference.velocity(i, t), 1e-9) << "cycle " << k;
            }
        }
        // The arm here is where it was sent, so it has arrived in the cycle
        // after the last step; the motion holds the goal until it sees that.
        EXPECT_EQ(static_cast<int>(sent.size()), moving + 2);
        EXPECT_TRUE(sent[moving].path);
        EXPECT_FALSE(sent.back().path);
        for (int i = 0; i < 6; ++i) EXPECT_EQ(cycles.targets[i], goal[i]) << "position control holds the goal";
        const std::vector<Outcome> outcomes = cycles.outcomes();
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_EQ(outcomes[0].sequence, id);
        EXPECT_EQ(outcomes[0].state, MotionState::kDone);
        EXPECT_EQ(outcomes[0].progress, 1.0);
    }
}

TEST(MotionExecutor, AStopDeceleratesAlongThePathWithoutAVelocityStep) {
    const Joints from{};
    const Joints to = joints({1.5, 1.2, 0.4, 0.0, -0.6, 0.9});
    for (double deceleration : {2.0, 7.5, 0.0}) {
        SCOPED_TRACE("deceleration " + std::to_string(deceleration));
        Cycles cycles(from);
        const auto plan = jointMove(from, to, 1.0, 3.0);
        cycles.post(*plan);
        const std::vector<Cycles::Cycle> before = cycles.run(80);  // cruising at 1 rad/s after 67 cycles
        const double v0 = fastest(before.back().set_point.velocity);
        ASSERT_NEAR(v0, 1.0, 1e-9);
        cycles.stop(deceleration);
        const double d = deceleration > 0.0 ? deceleration : 3.0;  // a move's own by default
        const std::vector<Cycles::Cycle> after = cycles.runOut();
        const int implied = static_cast<int>(std::ceil(v0 / (d * kCycle)));
        ASSERT_LE(static_cast<int>(after.size()), implied + 2) << "at rest within the implied time + 2 cycles";
        Sample previous = before.back().set_point;
        for (std::size_t k = 0; k + 1 < after.size(); ++k) {
            const Sample& s = after[k].set_point;
            EXPECT_LE(fastest(previous.velocity) - fastest(s.velocity), d * kCycle * (1 + 1e-9)) << "cycle " << k;
            EXPECT_LE(fastest(s.velocity), fastest(previous.velocity) + 1e-12) << "cycle " << k;
            // Still on the move's line.
            const double share = s.position[0] / to[0];
            for (int i = 1; i < 6; ++i) EXPECT_NEAR(s.position[i], to[i] * share, 1e-9) << "cycle " << k;
            previous = s;
        }
        EXPECT_EQ(fastest(previous.velocity), 0.0);
        const double travelled = previous.position[0] - before.back().set_point.position[0];
        EXPECT_NEAR(travelled, v0 * v0 / (2 * d), v0 * kCycle) << "a constant deceleration's way";
        const std::vector<Outcome> outcomes = cycles.outcomes();
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_EQ(outcomes[0].state, MotionState::kStopped);
        EXPECT_EQ(outcomes[0].cause, Cause::kStopMotion);
        for (int i = 0; i < 6; ++i) EXPECT_EQ(cycles.targets[i], previous.position[i]) << "holds where it stopped";
        const Joints rest = cycles.at();
        cycles.run(10);
        EXPECT_EQ(cycles.at(), rest);
    }
}

TEST(MotionExecutor, ALineStopsAtItsDecelerationAlongThePathInMetres) {
    const Joints q0 = joints({0.2, 0.9, 0.7, 0.1, 0.4, -0.2});
    Eigen::Isometry3d goal = planner().forwardKinematics(q0);
    goal.translation() += Eigen::Vector3d(0.0, 0.15, 0.0);
    StartState start;
    start.position = q0;
    start.measured = q0;
    PlanResult line = planner().planLine(goal, 0.2, 1.0, start);
    ASSERT_TRUE(line.plan) << line.refusal;
    Cycles cycles(q0);
    cycles.post(*line.plan);
    cycles.run(60);  // cruising at 0.2 m/s
    auto toolAt = [&](const Joints& q) -> Eigen::Vector3d { return planner().forwardKinematics(q).translation(); };
    Eigen::Vector3d last = toolAt(cycles.at());
    cycles.stop(0.8);
    std::vector<double> speeds;
    for (const Cycles::Cycle& c : cycles.runOut()) {
        const Eigen::Vector3d now = toolAt(c.set_point.position);
        speeds.push_back((now - last).norm() / kCycle);
        last = now;
    }
    // 0.2 m/s at 0.8 m/s²: 0.25 s, 50 cycles, the speed falling 4 mm/s a cycle.
    ASSERT_LE(speeds.size(), 52u);
    ASSERT_GE(speeds.size(), 49u);
    for (std::size_t k = 1; k + 1 < speeds.size(); ++k) {
        EXPECT_NEAR(speeds[k - 1] - speeds[k], 0.8 * kCycle, 2e-4) << "cycle " << k;
    }
}

TEST(MotionExecutor, AStreamTargetShapesTheCycleThatTakesItAndAStreamThatEndsBrakesAndHolds) {
    Cycles cycles(Joints{}, kGoHome);
    cycles.run(2);
    // One cycle ahead: the next cycle's set-point is the target itself.
    const Joints first = joints({0.01, 0.0, 0.0, 0.0, 0.0, 0.0});
    cycles.servo(first, Joints{}, 1);
    Cycles::Cycle c = cycles.run();
    ASSERT_TRUE(c.path) << "a stream starts from homing without a state change by the host";
    EXPECT_EQ(c.set_point.position[0], 0.01);
    EXPECT_EQ(cycles.state.load(), kPositionControl);

    // A 0.5 Hz sine of 0.2 rad on joint 1, a target every second cycle
    // (100 Hz), each due two cycles after it is given, with its velocity.
    const double w = 2 * M_PI * 0.5;
    auto sine = [&](double t) { return 0.2 * std::sin(w * t); };
    double worst_lag = 0.0;
    double last_target = 0.0;
    double last_velocity = 0.0;
    for (int k = 0; k < 199; ++k) {  // ends at 2 s, at the sine's full speed
        const double t = (k + 1) * 2 * kCycle;
        last_target = sine(t);
        last_velocity = 0.2 * w * std::cos(w * t);
        cycles.servo(joints({last_target}), joints({last_velocity}), 2);
        for (int n = 0; n < 2; ++n) {
            c = cycles.run();
            ASSERT_TRUE(c.path);
            // How long ago the sine was where the set-point is now.
            const double now = t + (n + 1) * kCycle;
            double lag = 0.0;
            while (lag < 0.1 && std::fabs(sine(now - lag) - c.set_point.position[0]) > 1e-4) lag += 1e-4;
            if (k > 10) worst_lag = std::max(worst_lag, lag);
        }
        EXPECT_EQ(c.set_point.position[0], last_target) << "each target on time, target " << k;
    }
    EXPECT_LE(worst_lag, 0.015) << "two cycles and a little";

    // The stream stops: one more cycle at the stream's pace, then braking to
    // rest within 3 mrad (at a constant deceleration, no step in velocity),
    // then holding.
    const std::vector<Cycles::Cycle> tail = cycles.runOut(400);
    const double v = std::fabs(last_velocity);
    const double deceleration = v * v / (2 * test::kStreamStopDistance);
    double previous_velocity = last_velocity;
    double furthest = 0.0;
    for (const Cycles::Cycle& s : tail) {
        if (!s.path) break;
        EXPECT_LE(std::fabs(s.set_point.velocity[0] - previous_velocity), deceleration * kCycle * (1 + 1e-9));
        previous_velocity = s.set_point.velocity[0];
        furthest = std::max(furthest, std::fabs(s.set_point.position[0] - last_target));
    }
    EXPECT_NEAR(furthest, v * kCycle + test::kStreamStopDistance, 1e-4) << "one cycle on, then 3 mrad of braking";
    const std::vector<Outcome> outcomes = cycles.outcomes();
    ASSERT_FALSE(outcomes.empty());
    EXPECT_EQ(outcomes.back().state, MotionState::kDone) << "a stream that ran out is done once at rest";
    const Joints rest = cycles.at();
    cycles.run(20);
    EXPECT_EQ(cycles.at(), rest) << "never drifts";
}

TEST(MotionExecutor, ATrajectoryTakesOverAMovingSetPointWithoutAVelocityStep) {
    const Joints from{};
    const Joints to = joints({1.5, 1.2, 0.4, 0.0, -0.6, 0.9});
    Cycles cycles(from);
    const auto move = jointMove(from, to, 1.0, 3.0);
    const uint64_t move_id = cycles.post(*move);
    const std::vector<Cycles::Cycle> before = cycles.run(80);

    // With the gripper, which goes along.
    std::vector<TrajectoryPoint> points(2);
    points[0].positions = {1.0, 1.0, 0.5, 0.1, -0.3, 0.5, 2.0};
    points[0].time_from_start = 0.6;
    points[1].positions = {1.2, 1.1, 0.5, 0.1, -0.3, 0.5, 1.0};
    points[1].time_from_start = 1.2;
    StartState start;
    start.position = before.back().set_point.position;
    start.velocity = before.back().set_point.velocity;
    start.measured = start.position;
    PlanResult trajectory = planner().planTrajectory(parseTrajectory(points), start);
    ASSERT_TRUE(trajectory.plan) << trajectory.refusal;
    cycles.post(*trajectory.plan);
    const std::vector<Cycles::Cycle> after = cycles.runOut();

    const Sample& last = before.back().set_point;
    const Sample& first = after.front().set_point;
    for (int i = 0; i < 6; ++i) {
        EXPECT_NEAR(first.velocity[i], last.velocity[i], 0.05) << "joint " << i + 1 << ": no velocity step";
        EXPECT_NEAR(first.position[i] - last.position[i], 0.5 * (first.velocity[i] + last.velocity[i]) * kCycle, 1e-3)
            << "joint " << i + 1 << ": no position jump";
    }
    // Each point at its time from the cycle that took the trajectory.
    for (const TrajectoryPoint& point : points) {
        const int k = static_cast<int>(std::lround(point.time_from_start / kCycle)) - 1;
        for (int i = 0; i < 7; ++i) EXPECT_NEAR(after[k].set_point.position[i], point.positions[i], 1e-9);
    }
    EXPECT_EQ(cycles.targets[6], 1.0) << "the gripper's target holds its last point";
    const std::vector<Outcome> outcomes = cycles.outcomes();
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0].sequence, move_id);
    EXPECT_EQ(outcomes[0].state, MotionState::kAborted);
    EXPECT_EQ(outcomes[0].cause, Cause::kReplaced);
    EXPECT_EQ(outcomes[1].state, MotionState::kDone);
}

TEST(MotionExecutor, NothingStartsWhereItMustNotAndNothingResumesAfterAFault) {
    const Joints home{};
    const Joints goal = joints({0.3, 0.5, 0.4, 0.0, 0.0, 0.0});
    const auto plan = jointMove(home, goal, 1.0, 2.0);
    auto expectOutcome = [](Cycles& cycles, MotionState state, Cause cause, int value) {
        const std::vector<Outcome> outcomes = cycles.outcomes();
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_EQ(outcomes[0].state, state);
        EXPECT_EQ(outcomes[0].cause, cause);
        EXPECT_EQ(outcomes[0].value, value);
    };

    for (int passive : {kSoft, kProtect, kGravityCompensation, 17}) {
        SCOPED_TRACE("state " + std::to_string(passive));
        Cycles cycles(home, passive);
        cycles.post(*plan);
        cycles.servo(goal, Joints{}, 1);
        EXPECT_FALSE(cycles.run().path);
        EXPECT_EQ(cycles.state.load(), passive);
        expectOutcome(cycles, MotionState::kRefused, Cause::kPassiveState, passive);
    }
    {
        SCOPED_TRACE("a fault during a move, and commands while it is latched");
        Cycles cycles(home);
        cycles.post(*plan);
        cycles.run(20);
        cycles.damped = true;
        cycles.fault_code = 31;
        EXPECT_FALSE(cycles.run().path);
        expectOutcome(cycles, MotionState::kAborted, Cause::kFault, 31);
        cycles.post(*plan);
        cycles.run();
        expectOutcome(cycles, MotionState::kRefused, Cause::kFault, 31);
        cycles.damped = false;
        for (const Cycles::Cycle& c : cycles.run(20)) EXPECT_FALSE(c.path) << "never resumes by itself";
    }
    {
        SCOPED_TRACE("the host sets a state during a move");
        Cycles cycles(home);
        cycles.post(*plan);
        cycles.run(20);
        cycles.executor.noteStateChange(cycles.executor.nextSequence(), kPositionControl);
        EXPECT_FALSE(cycles.run().path);
        expectOutcome(cycles, MotionState::kAborted, Cause::kStateChanged, kPositionControl);
    }
    {
        SCOPED_TRACE("the set-point is not where the move was planned from");
        Cycles cycles(joints({0.006, 0.0, 0.0, 0.0, 0.0, 0.0}));
        cycles.post(*plan);
        EXPECT_FALSE(cycles.run().path);
        expectOutcome(cycles, MotionState::kRefused, Cause::kSetPointMoving, 1);
        Cycles close(joints({0.004, 0.0, 0.0, 0.0, 0.0, 0.0}));
        close.post(*plan);
        const std::vector<Cycles::Cycle> sent = close.runOut();
        EXPECT_TRUE(sent.front().path) << "a drift within 5 mrad is faded out";
        EXPECT_EQ(sent[sent.size() - 2].set_point.position[0], goal[0]) << "and the goal stays exact";
    }
    {
        SCOPED_TRACE("a stop given before the command was taken, and a command overtaken by a newer one");
        Cycles cycles(home);
        cycles.post(*plan);
        cycles.stop(1.0);
        EXPECT_FALSE(cycles.run().path);
        expectOutcome(cycles, MotionState::kStopped, Cause::kStopMotion, 0);
        cycles.post(*plan);
        const uint64_t newer = cycles.servo(joints({0.01}), Joints{}, 1);
        Cycles::Cycle c = cycles.run();
        EXPECT_EQ(c.set_point.position[0], 0.01) << "the newer one runs";
        EXPECT_EQ(cycles.report().sequence, newer);
    }
    {
        SCOPED_TRACE("the controller did not send the set-point (a motor offline)");
        Cycles cycles(home);
        cycles.post(*plan);
        cycles.run(5);
        CycleInput input;
        input.state = &cycles.state;
        ASSERT_NE(cycles.executor.beginCycle(input), nullptr);
        cycles.executor.endCycle(cycles.at(), false);
        expectOutcome(cycles, MotionState::kAborted, Cause::kNotSent, 0);
    }
}

// The host side over the stand-in control thread, cycling on a thread of its
// own as fast as it can.
class HostSide : public testing::Test {
protected:
    void SetUp() override {
        ControllerView view;
        view.state = [this] { return cycles_.state.load(); };
        view.latched_code = [this] { return latched_.load(); };
        view.latched_message = [] { return std::string("motor 3 reports fault 9"); };
        control_ = std::make_unique<MotionControl>(std::make_unique<MotionPlanner>(QEL_TEST_URDF), cycles_.executor, view);
        thread_ = std::thread([this] {
            while (!stop_) {
                cycles_.run();
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    void TearDown() override {
        stop_ = true;
        thread_.join();
    }

    Cycles cycles_{Joints{}};
    std::atomic<int> latched_{0};
    std::unique_ptr<MotionControl> control_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(HostSide, MovesWaitAndReportWhatHappened) {
    MotionControl& m = *control_;
    EXPECT_EQ(m.motionStatus().state, MotionState::kIdle);
    EXPECT_TRUE(m.moveJ({0.2, 0.3, 0.3, 0.0, 0.0, 0.0}, 2.0, 8.0, false));
    MotionStatus status = m.motionStatus();
    EXPECT_EQ(status.state, MotionState::kDone);
    EXPECT_EQ(status.kind, MotionKind::kJoint);
    EXPECT_EQ(status.progress, 1.0);

    // Asynchronous: back at once, moving; bad input meanwhile changes nothing.
    EXPECT_TRUE(m.moveJ({0.8, 0.9, 0.9, 0.0, 0.0, 0.0}, 0.5, 1.0, true));
    EXPECT_EQ(m.motionStatus().state, MotionState::kMoving);
    EXPECT_THROW(m.moveJ({0.1, 0.2}, 1.0, 1.0, false), std::invalid_argument);
    EXPECT_THROW(m.servoJ({0.1, 0.2, 0.3, 0.0, 0.0, NAN}, 0.01), std::invalid_argument);
    EXPECT_THROW(m.servoJ({0.1, 0.2, 0.3, 0.0, 0.0, 0.0}, 0.0), std::invalid_argument);
    EXPECT_THROW(m.followJointTrajectory({}, false), std::invalid_argument);
    EXPECT_THROW(m.waitMotion(-1.0), std::invalid_argument);
    EXPECT_EQ(m.motionStatus().state, MotionState::kMoving) << "the running motion goes on";

    // A new move while one runs: the running one is brought to rest first.
    EXPECT_TRUE(m.moveJ({0.1, 0.2, 0.2, 0.0, 0.0, 0.0}, 2.0, 8.0, false));
    EXPECT_TRUE(m.waitMotion(0.0));

    EXPECT_TRUE(m.moveJ({0.9, 0.9, 0.9, 0.0, 0.0, 0.0}, 0.5, 1.0, true));
    m.stopMotion(4.0);
    EXPECT_FALSE(m.waitMotion(INFINITY));
    status = m.motionStatus();
    EXPECT_EQ(status.state, MotionState::kStopped);
    EXPECT_EQ(status.reason, "stopped by stopMotion");
    EXPECT_GT(status.progress, 0.0);
    EXPECT_LT(status.progress, 1.0);
}

TEST_F(HostSide, RefusalsSayWhyAndLeaveTheRunningMotionAlone) {
    MotionControl& m = *control_;
    EXPECT_FALSE(m.moveJ({0.2, 3.9, 0.3, 0.0, 0.0, 0.0}, 1.0, 1.0, false));
    MotionStatus status = m.motionStatus();
    EXPECT_EQ(status.state, MotionState::kRefused);
    EXPECT_NE(status.reason.find("joint 2"), std::string::npos) << status.reason;
    EXPECT_FALSE(m.waitMotion(1.0));

    ASSERT_TRUE(m.moveJ({0.6, 0.6, 0.6, 0.0, 0.0, 0.0}, 0.5, 1.0, true));
    EXPECT_FALSE(m.servoJ({2.5, 0.6, 0.6, 0.0, 0.0, 0.0}, 0.1)) << "2 rad in 0.1 s";
    EXPECT_NE(m.motionStatus().reason.find("joint 1"), std::string::npos) << m.motionStatus().reason;
    Report report;
    ASSERT_TRUE([&] {
        for (int k = 0; k < 1000; ++k) {
            if (cycles_.executor.takeReport(&report) && report.sequence != 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }()) << "the move still runs";
    m.stopMotion(20.0);

    latched_ = 42;
    EXPECT_FALSE(m.moveJ({0.1, 0.1, 0.1, 0.0, 0.0, 0.0}, 1.0, 1.0, false));
    status = m.motionStatus();
    EXPECT_NE(status.reason.find("code 42: motor 3 reports fault 9"), std::string::npos) << status.reason;
    EXPECT_FALSE(m.servoJ({0.1, 0.1, 0.1, 0.0, 0.0, 0.0}, 0.01));
    latched_ = 0;
    cycles_.state = kGravityCompensation;
    EXPECT_FALSE(m.followJointTrajectory({TrajectoryPoint{{0.1, 0.1, 0.1, 0.0, 0.0, 0.0}, {}, {}, 1.0}}, false));
    EXPECT_NE(m.motionStatus().reason.find("state 3"), std::string::npos) << m.motionStatus().reason;
}

}  // namespace
}  // namespace qel::m4::motion
