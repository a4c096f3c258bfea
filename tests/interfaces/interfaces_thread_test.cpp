// The threaded interface end to end: a host drives the virtual arm on a CAN
// bus through InterfacesThread, and the tests watch what the host reads back
// and what crosses the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "qel/interfaces/InterfacesThread.hpp"
#include "qel/output/Output.hpp"
#include "qel/solver/kinematic_dynamic_solver.hpp"
#include "support/ArmOnBus.hpp"
#include "support/ArmStates.hpp"
#include "support/SendTrace.hpp"
#include "support/CapturedOutput.hpp"

namespace qel::m4 {
namespace {

using namespace test::states;

using namespace std::chrono_literals;
using hw_interface::CanFrame;
using test::ArmOnBus;
using test::CanRecorder;
using test::eventually;
using test::SendTrace;

// The controller's command frames to motor `id` in a trace: one per cycle,
// whatever the state.
std::vector<CanFrame> commandsTo(const SendTrace& trace, uint32_t id) {
    std::vector<CanFrame> out;
    for (const CanFrame& frame : trace.framesOf(0)) {
        if (frame.can_id == id) out.push_back(frame);
    }
    return out;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr uint32_t kGripperId = 8;

hw_interface::HybridJointCmd decodeCommand(const CanFrame& frame, double torque_limit) {
    return hw_interface::unpackImpedanceFrame(frame, torque_limit);
}

bool near(const std::vector<double>& a, const std::vector<double>& b, double tolerance, size_t n = 6) {
    for (size_t i = 0; i < n; ++i) {
        if (std::fabs(a[i] - b[i]) > tolerance) return false;
    }
    return true;
}

// One homed controller shared by the tests of this suite: start-up takes
// seconds, and the tests below leave the arm in a known state. A controller
// that has lost a motor stays damped for good (a starved machine can make a
// motor miss its feedback deadline), so it is replaced rather than handed to
// the next test.
class InterfacesThreadTest : public testing::Test {
protected:
    static void SetUpTestSuite() { bus_ = new ArmOnBus(); }
    static void TearDownTestSuite() {
        delete arm_;
        arm_ = nullptr;
        delete bus_;
    }
    void SetUp() override {
        if (arm_ != nullptr && !lostAMotor()) return;
        rebuild();
    }
    // A controller straight out of construction, for the tests that need one.
    static void rebuild() {
        delete arm_;
        arm_ = nullptr;
        const auto start = std::chrono::steady_clock::now();
        arm_ = new InterfacesThread(QEL_TEST_URDF, test::kTestBus, 0);
        construction_time_ = std::chrono::steady_clock::now() - start;
        fresh_ = true;
    }
    // Whether the shared controller reports the bus or an arm motor offline,
    // which it does every cycle once it has happened.
    static bool lostAMotor() {
        SendTrace trace;
        eventually([&] { return commandsTo(trace, 1).size() >= 2; }, 20s);
        for (int code : arm_->getErrorCode()) {
            if (code == 2 || (code > 10 && code < 70 && code % 10 == 2)) return true;
        }
        return false;
    }
    void TearDown() override {
        fresh_ = false;
        arm_->setArmStatus(kPositionControl);
        arm_->setJointPositions({0, 0, 0, 0, 0, 0});
        arm_->qel_x(500, 2000, 0);
        ASSERT_TRUE(eventually([] { return near(arm_->getJointPositons(), std::vector<double>(6, 0.0), 0.03); }, 20s));
        arm_->getErrorCode();
    }

    static ArmOnBus* bus_;
    static InterfacesThread* arm_;
    static std::chrono::steady_clock::duration construction_time_;
    static bool fresh_;  // no test has used arm_ yet
};
ArmOnBus* InterfacesThreadTest::bus_ = nullptr;
InterfacesThread* InterfacesThreadTest::arm_ = nullptr;
std::chrono::steady_clock::duration InterfacesThreadTest::construction_time_{};
bool InterfacesThreadTest::fresh_ = false;

TEST_F(InterfacesThreadTest, StartsHomedAndHoldsHomeUntilTold) {
    // Whatever ran before: this is about the state construction leaves.
    if (!fresh_) rebuild();
    EXPECT_GE(construction_time_, 3550ms);
    std::vector<double> joints = arm_->getJointPositons();
    ASSERT_EQ(joints.size(), 7u);
    EXPECT_TRUE(near(joints, std::vector<double>(6, 0.0), 0.03));
    // The gripper rests at the end stop it was calibrated against.
    EXPECT_NEAR(joints[6], 0.0, 0.2);
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(near(arm_->getJointPositons(), std::vector<double>(6, 0.0), 0.03)) << "go home holds the pose";
    EXPECT_TRUE(arm_->getErrorCode().empty());
    EXPECT_TRUE(arm_->getErrorCode().empty());

    // Let the arm sag limp for a moment, then switch to position control
    // before any joint target was ever sent: the targets are all zero.
    arm_->setArmStatus(kSoft);
    EXPECT_TRUE(eventually([] { return !near(arm_->getJointPositons(), std::vector<double>(6, 0.0), 0.05); }, 20s))
        << "the limp arm sags under gravity";
    arm_->setArmStatus(kPositionControl);
    EXPECT_TRUE(eventually([] { return near(arm_->getJointPositons(), std::vector<double>(6, 0.0), 0.03); }, 20s));
}

TEST_F(InterfacesThreadTest, MovesAJointAndPublishesIt) {
    arm_->setArmStatus(kPositionControl);
    arm_->setJointPositions({0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 99.0});  // the seventh is ignored
    EXPECT_TRUE(eventually([] { return std::fabs(arm_->getJointPositons()[1] - 1.0) < 0.02; }, 20s))
        << "joint 2 at " << arm_->getJointPositons()[1];
    std::vector<HybridJointStatus> status = arm_->getJointStatus();
    ASSERT_EQ(status.size(), 7u);
    EXPECT_NEAR(status[1].position, 1.0, 0.02);
    EXPECT_NEAR(bus_->arm().state(2).position, 1.0, 0.02) << "the true arm is there too";
    EXPECT_NEAR(arm_->getJointPositons()[6], 0.0, 0.2) << "the gripper did not move";
}

// A forwarding host stamps measurements with the cycle they come from: one
// sample holds one cycle's values, its number advances once per command cycle
// on the wire, and its time is the system clock of that cycle.
TEST_F(InterfacesThreadTest, JointSampleIsOneCycleWithItsNumberAndSystemTime) {
    auto systemNow = [] {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::system_clock::now().time_since_epoch()).count();
    };
    // At rest, so that reads a cycle apart agree.
    ASSERT_TRUE(eventually([] {
        for (double v : arm_->getJointVelocities()) {
            if (std::fabs(v) > 0.02) return false;
        }
        return true;
    }, 20s));
    const JointSample first = arm_->getJointSample();
    const int64_t after_first = systemNow();
    EXPECT_LE(first.time_ns, after_first) << "a sample cannot come from the future";
    SendTrace trace;
    ASSERT_TRUE(eventually([&] { return commandsTo(trace, 1).size() >= 20; }, 20s));
    trace.stop();
    const std::size_t cycles_seen = commandsTo(trace, 1).size();
    const JointSample second = arm_->getJointSample();
    const int64_t after_second = systemNow();
    // Twenty command cycles went out between the two reads (give or take the
    // one in flight at either end).
    EXPECT_GE(second.cycle, first.cycle + cycles_seen - 2);
    EXPECT_LE(second.cycle, first.cycle + cycles_seen + 2);
    EXPECT_GE(second.time_ns, after_first) << "the second sample's cycle ran after the first read";
    EXPECT_LE(second.time_ns, after_second);
    // The sample holds what the separate getters read, the gripper measured
    // from its zero as getJointPositons has it.
    const std::vector<double> positions = arm_->getJointPositons();
    const std::vector<double> velocities = arm_->getJointVelocities();
    const std::vector<double> currents = arm_->getJointCurrent();
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_NEAR(second.positions[i], positions[i], 0.005) << "motor " << i;
        EXPECT_NEAR(second.velocities[i], velocities[i], 0.05) << "motor " << i;
        EXPECT_NEAR(second.currents[i], currents[i], 0.5) << "motor " << i;
    }
}

// A host that acts once per cycle waits for each cycle's measurements: every
// wait returns a newer cycle than the last one seen, woken by the cycle
// rather than by its time-out (half a second, a hundred cycles: a cycle that
// late would have lost the motors long before).
TEST_F(InterfacesThreadTest, WaitJointSampleReturnsEachNewCycle) {
    EXPECT_THROW(arm_->waitJointSample(0, -1.0), std::invalid_argument);
    EXPECT_THROW(arm_->waitJointSample(0, std::nan("")), std::invalid_argument);
    // No cycle comes after one far ahead: the newest sample at the time-out.
    const JointSample now = arm_->getJointSample();
    EXPECT_LE(arm_->waitJointSample(now.cycle + 1000000, 0.02).cycle, now.cycle + 10);
    EXPECT_GE(arm_->waitJointSample(0, 0.0).cycle, now.cycle) << "an older cycle is there at once";

    uint64_t last = arm_->getJointSample().cycle;
    for (int wait = 0; wait < 20; ++wait) {
        const auto asleep = std::chrono::steady_clock::now();
        const JointSample sample = arm_->waitJointSample(last, 0.5);
        EXPECT_LT(std::chrono::steady_clock::now() - asleep, 500ms) << "not woken by the cycle";
        ASSERT_GT(sample.cycle, last);
        last = sample.cycle;
    }
}

TEST_F(InterfacesThreadTest, MotionsArriveStopAndSayWhy) {
    arm_->setArmStatus(kPositionControl);
    EXPECT_TRUE(arm_->moveJ({0.2, 0.6, 0.5, 0.0, 0.2, 0.0}, 1.5, 6.0)) << arm_->motionStatus().reason;
    EXPECT_TRUE(near(arm_->getJointPositons(), {0.2, 0.6, 0.5, 0.0, 0.2, 0.0}, 0.02));
    EXPECT_EQ(arm_->motionStatus().state, MotionState::kDone);
    EXPECT_EQ(arm_->motionStatus().kind, MotionKind::kJoint);

    const std::vector<TrajectoryPoint> points{{{0.6, 0.9, 0.8, 0.0, 0.0, 0.0}, {}, {}, 1.5}};
    ASSERT_TRUE(arm_->followJointTrajectory(points, true)) << arm_->motionStatus().reason;
    EXPECT_EQ(arm_->motionStatus().kind, MotionKind::kTrajectory);
    std::this_thread::sleep_for(300ms);
    arm_->stopMotion();
    EXPECT_FALSE(arm_->waitMotion(5.0));
    EXPECT_EQ(arm_->motionStatus().state, MotionState::kStopped);
    EXPECT_EQ(arm_->motionStatus().reason, "stopped by stopMotion");

    EXPECT_THROW(arm_->servoJ({0.1}, 0.01), std::invalid_argument);
    EXPECT_THROW(arm_->stopMotion(-1.0), std::invalid_argument);
    EXPECT_THROW(arm_->waitMotion(kNaN), std::invalid_argument);
    Eigen::Isometry3d far = arm_->getEndPose();
    far.translation().x() += 1.0;
    EXPECT_FALSE(arm_->moveL(far, 0.5, 1.0));
    EXPECT_EQ(arm_->motionStatus().state, MotionState::kRefused);
    EXPECT_EQ(arm_->motionStatus().kind, MotionKind::kLine);
}

TEST_F(InterfacesThreadTest, RejectedInputLeavesTheCommandAsItWas) {
    arm_->setArmStatus(kPositionControl);
    arm_->setJointPositions({0.3, 0.3, 0.3, 0.0, 0.0, 0.0});
    const std::vector<double> held{0.3, 0.3, 0.3, 0.0, 0.0, 0.0};
    ASSERT_TRUE(eventually([&] { return near(arm_->getJointPositons(), held, 0.02); }, 20s));

    EXPECT_THROW(arm_->setJointPositions({1.0, 1.0, 1.0}), std::invalid_argument);
    EXPECT_THROW(arm_->setJointPositions({1.0, kNaN, 1.0, 0, 0, 0}), std::invalid_argument);
    EXPECT_THROW(arm_->setJointPositions({1.0, 1.0, 1.0, 0, 0, INFINITY}), std::invalid_argument);
    EXPECT_THROW(arm_->setCatch(kNaN), std::invalid_argument);
    EXPECT_THROW(arm_->setCatchTorque(INFINITY), std::invalid_argument);
    Eigen::Isometry3d bad = Eigen::Isometry3d::Identity();
    bad.translation().x() = kNaN;
    EXPECT_THROW(arm_->setEndPose(bad), std::invalid_argument);
    EXPECT_THROW(arm_->setEndEffectorMass(-1.0), std::invalid_argument);
    EXPECT_THROW(arm_->qel_x(kNaN, 1000, 0), std::invalid_argument);

    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(near(arm_->getJointPositons(), held, 0.02)) << "nothing moved";
}

TEST_F(InterfacesThreadTest, ReachesAnEndEffectorPoseFromForwardKinematics) {
    // The controller's measured pose is the tree solver's, relative to the
    // zero pose: compute the target the same way.
    KinematicDynamicSolver solver(QEL_TEST_URDF, "base_link", "link6");
    KDL::JntArray q(6);
    const double joints[6] = {0.2, 0.6, 0.5, 0.1, 0.3, -0.2};
    for (int i = 0; i < 6; ++i) q(i) = joints[i];
    const KDL::Frame flange = solver.computeForwardKinematics(q);
    Eigen::Isometry3d target = Eigen::Isometry3d::Identity();
    target.translation() = Eigen::Vector3d(flange.p.x(), flange.p.y(), flange.p.z());
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) target.linear()(r, c) = flange.M(r, c);
    }

    arm_->setEndPose(target);
    arm_->setArmStatus(kEndControl);
    auto rotationError = [&] {
        return Eigen::AngleAxisd(arm_->getEndPose().linear().transpose() * target.linear()).angle();
    };
    EXPECT_TRUE(eventually([&] {
        return (arm_->getEndPose().translation() - target.translation()).norm() < 0.005 &&
               std::fabs(rotationError()) < 0.02;
    }, 20s)) << "at " << arm_->getEndPose().translation().transpose() << ", target "
             << target.translation().transpose() << ", rotation error " << rotationError();
}

TEST_F(InterfacesThreadTest, GripperModesSwitchAndKeepTheOtherCommand) {
    CanRecorder wire;
    arm_->setArmStatus(kPositionControl);
    arm_->setCatch(1.5);
    EXPECT_TRUE(eventually([] { return std::fabs(arm_->getJointPositons()[6] - 1.5) < 0.2; }, 20s))
        << "gripper at " << arm_->getJointPositons()[6];

    arm_->setCatchTorque(5.0);
    wire.clear();
    ASSERT_TRUE(wire.waitFor([](const CanFrame& f) { return f.can_id == kGripperId; }, 20, 20s));
    auto last = wire.framesWithId(kGripperId).back().frame;
    auto command = decodeCommand(last, 10.0);
    EXPECT_NEAR(command.torque, 2.0, 0.01) << "torque mode, clamped to the gripper's limit";
    EXPECT_NEAR(command.k_p, 0.0, 1e-9);
    EXPECT_NEAR(command.k_d, 0.2, 0.002);

    // Joint targets carry the gripper target along but do not change the mode.
    arm_->setJointPositions({0, 0, 0, 0, 0, 0});
    std::this_thread::sleep_for(100ms);
    wire.clear();
    ASSERT_TRUE(wire.waitFor([](const CanFrame& f) { return f.can_id == kGripperId; }, 5, 20s));
    EXPECT_NEAR(decodeCommand(wire.framesWithId(kGripperId).back().frame, 10.0).torque, 2.0, 0.01);

    arm_->setCatch(0.0);
    EXPECT_TRUE(eventually([] { return std::fabs(arm_->getJointPositons()[6]) < 0.2; }, 20s));
}

TEST_F(InterfacesThreadTest, InterpolationLimitsAreClampedInThousandths) {
    // A short move starts on the interpolator's braking curve, whose first
    // step grows with the square root of the acceleration limit: the first
    // set-point sent to joint 2 tells the limit in force.
    auto firstStep = [](double qel1, double qel2) {
        arm_->setArmStatus(kPositionControl);
        arm_->setJointPositions({0, 0, 0, 0, 0, 0});
        EXPECT_TRUE(eventually([] { return near(arm_->getJointPositons(), std::vector<double>(6, 0.0), 0.01); }, 20s));
        std::this_thread::sleep_for(300ms);
        arm_->qel_x(qel1, qel2, 7);
        // The controller's own record of what it sent, which a loaded
        // machine cannot thin out as it can a reader's.
        SendTrace trace;
        arm_->setJointPositions({0, 1.0, 0, 0, 0, 0});
        auto first = [&trace] {
            for (const CanFrame& frame : commandsTo(trace, 2)) {
                const double position = decodeCommand(frame, 28.0).position;
                if (position > 0.005) return position;
            }
            return 0.0;
        };
        EXPECT_TRUE(eventually([&] { return first() > 0.0; }, 20s));
        return first();
    };
    const double at_limit = firstStep(500, 2000);  // acceleration 0.5
    const double clamped = firstStep(900, 5000);   // 0.9 and 5.0 clamp to 0.5 and 2.0
    const double slower = firstStep(250, 1000);    // acceleration 0.25
    EXPECT_NEAR(at_limit, std::sqrt(2 * 0.5 * 1.0) * 0.03, 0.003);
    EXPECT_NEAR(clamped, at_limit, 0.001);
    EXPECT_NEAR(slower, std::sqrt(2 * 0.25 * 1.0) * 0.03, 0.003);
}

// The loop's rhythm, from the control thread's own record: a banner after
// every twentieth cycle, and absolute sleep deadlines 5 ms apart (or
// re-anchored after an overrun). The banner is placed in the record by the
// clock that folding reads, which the control thread consults as it writes
// each repeated line; the line itself is written later, by the output
// thread.
int64_t g_banner_clock_ns = 0;
int64_t bannerClock() {
    SendTrace::mark(1);
    return g_banner_clock_ns += 1000000000;  // every line passes
}

TEST_F(InterfacesThreadTest, BannerEveryTwentiethCycleAndDeadlinesFiveMillisecondsApart) {
    constexpr int kBanner = 1;
    std::vector<test::SentEvent> events;
    {
        SendTrace trace;
        output::detail::setRepeatClock(&bannerClock);
        output::setRepeatInterval(std::chrono::milliseconds(1));
        eventually([&] { return commandsTo(trace, 1).size() >= 240; }, 60s);
        output::setRepeatInterval(std::chrono::milliseconds(0));
        output::detail::setRepeatClock(nullptr);
        trace.stop();
        events = trace.events();
    }
    pid_t control = 0;
    for (const test::SentEvent& e : events) {
        if (e.kind == test::SentEvent::kMark) control = e.thread;
    }
    ASSERT_NE(control, 0) << "no banner";

    std::vector<int> cycles_between;  // frames to motor 1 between two banners
    int cycles = -1;                  // not counting before the first banner
    std::vector<test::SentEvent> control_events;
    for (const test::SentEvent& e : events) {
        if (e.thread != control) continue;
        control_events.push_back(e);
        if (e.kind == test::SentEvent::kMark && e.mark == kBanner) {
            if (cycles >= 0) cycles_between.push_back(cycles);
            cycles = 0;
        } else if (e.kind == test::SentEvent::kFrame && e.frame.can_id == 1 && cycles >= 0) {
            ++cycles;
        }
    }
    ASSERT_GE(cycles_between.size(), 5u);
    for (int n : cycles_between) EXPECT_EQ(n, 20);
    EXPECT_EQ(test::pacingViolations(control_events, 5000000), "");
}

// The arm's answers in a trace, decoded as the drivers decode them: every
// measurement a getter returns must be one of these, whole.
struct Answer {
    int motor;
    double position;
    double velocity;
    double current;
};
std::vector<Answer> answersIn(const SendTrace& trace) {
    std::vector<Answer> out;
    for (const CanFrame& f : trace.framesOf(0)) {
        if (f.can_id != 0) continue;
        const unsigned p = (f.data[1] << 8) | f.data[2];
        const unsigned v = (f.data[3] << 4) | (f.data[4] >> 4);
        const unsigned c = ((f.data[4] & 0xF) << 8) | f.data[5];
        out.push_back({f.data[0] & 0xF, p * 25.0f / 65535.0f - 12.5f, v * 90.0f / 4095.0f - 45.0f,
                       c * 36.0f / 4095.0f - 18.0f});
    }
    return out;
}

TEST_F(InterfacesThreadTest, ConcurrentHostThreadsWhileTheLoopRuns) {
    constexpr int kIds[7] = {1, 2, 4, 5, 6, 7, 8};
    arm_->setArmStatus(kPositionControl);
    SendTrace trace;
    // Measurements published before the trace began are not in it.
    ASSERT_TRUE(eventually([&] { return commandsTo(trace, 1).size() >= 5; }, 20s));
    std::atomic<bool> stop{false};
    std::vector<std::vector<HybridJointStatus>> seen(3);
    std::vector<std::vector<double>> seen_positions(3);
    std::vector<std::thread> hosts;
    for (int t = 0; t < 3; ++t) {
        hosts.emplace_back([&stop, &seen, &seen_positions, t] {
            int i = 0;
            while (!stop) {
                for (const auto& record : arm_->getJointStatus()) seen[t].push_back(record);
                const std::vector<double> positions = arm_->getJointPositons();
                seen_positions[t].insert(seen_positions[t].end(), positions.begin(), positions.end());
                arm_->getJointVelocities();
                arm_->getJointCurrent();
                Eigen::Isometry3d pose = arm_->getEndPose();
                const Eigen::Matrix3d r = pose.linear();
                if (!(r * r.transpose()).isIdentity(1e-9) || !pose.matrix().allFinite()) {
                    ADD_FAILURE() << "a torn or broken pose:\n" << pose.matrix();
                }
                arm_->setEndPose(pose);
                arm_->setJointPositions({0.05 * t, 0.1, 0.1, 0, 0, 0});
                if (i % 2) {
                    arm_->setCatch(0.5);
                } else {
                    arm_->setCatchTorque(0.5);
                }
                arm_->setEndEffectorMass(0.1 * (i % 3));
                arm_->qel_x(500, 2000, 0);
                arm_->setCatchActionSlow();
                arm_->getErrorCode();
                ++i;
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    // A few hundred cycles of the loop while the hosts hammer it.
    EXPECT_TRUE(eventually([&] { return commandsTo(trace, 1).size() >= 400; }, 60s));
    stop = true;
    for (auto& host : hosts) host.join();
    trace.stop();
    arm_->setEndEffectorMass(0.0);
    arm_->setCatch(0.0);
    ASSERT_EQ(trace.overflowed(), 0u);

    // Every record a getter returned is one answer of that motor, whole.
    const std::vector<Answer> answers = answersIn(trace);
    auto isAnswer = [&](int motor, const HybridJointStatus& r) {
        for (const Answer& a : answers) {
            if (a.motor == motor && std::fabs(a.position - r.position) < 1e-6 &&
                std::fabs(a.velocity - r.velocity) < 1e-6 && std::fabs(a.current - r.current) < 1e-6) {
                return true;
            }
        }
        return false;
    };
    std::size_t checked = 0;
    for (const auto& records : seen) {
        ASSERT_EQ(records.size() % 7, 0u);
        for (std::size_t n = 0; n < records.size() && !HasFailure(); n += 97) {
            EXPECT_TRUE(isAnswer(kIds[n % 7], records[n])) << "record " << n << " of motor " << kIds[n % 7];
            ++checked;
        }
    }
    EXPECT_GT(checked, 0u);
    // Arm positions come through unchanged.
    for (const auto& positions : seen_positions) {
        for (std::size_t n = 0; n < positions.size() && !HasFailure(); n += 89) {
            if (n % 7 == 6) continue;  // the gripper's is measured from its zero
            bool found = false;
            for (const Answer& a : answers) found = found || (a.motor == kIds[n % 7] && std::fabs(a.position - positions[n]) < 1e-6);
            EXPECT_TRUE(found) << "position " << positions[n] << " of motor " << kIds[n % 7];
        }
    }
    // Every set-point the loop sent lies between the targets the hosts gave
    // (0 to 0.1 for joints 1 to 3) and the home it started from.
    for (uint32_t id : {1u, 2u, 4u}) {
        for (const CanFrame& frame : commandsTo(trace, id)) {
            const double position = decodeCommand(frame, 28.0).position;
            EXPECT_GT(position, -0.01) << "motor " << id;
            EXPECT_LT(position, 0.11) << "motor " << id;
            if (HasFailure()) break;
        }
    }
}

// Faults spoil the controller they hit (an offline motor stays offline), so
// each of these tests builds its own.
class InterfacesThreadFaultTest : public testing::Test {
protected:
    void SetUp() override { arm_ = std::make_unique<InterfacesThread>(QEL_TEST_URDF, test::kTestBus, 0); }
    void TearDown() override { arm_.reset(); }

    bool codesContain(std::vector<int>& seen, int code, std::chrono::milliseconds timeout) {
        return eventually([&] {
            for (int c : arm_->getErrorCode()) seen.push_back(c);
            return std::count(seen.begin(), seen.end(), code) > 0;
        }, timeout);
    }

    ArmOnBus bus_;
    std::unique_ptr<InterfacesThread> arm_;
};

TEST_F(InterfacesThreadFaultTest, MotorFaultLatchesProtectAndResumesWhenTold) {
    arm_->setArmStatus(kPositionControl);
    qel::test::CaptureStderr();
    bus_.arm().setStatusCode(2, 10);
    std::vector<int> seen;
    ASSERT_TRUE(codesContain(seen, 25, 20s));
    std::this_thread::sleep_for(500ms);
    bus_.arm().setStatusCode(2, std::nullopt);
    std::string err = qel::test::GetCapturedStderr();
    EXPECT_NE(err.find("电机故障，电机编号：2，故障类型：10"), std::string::npos) << err;

    // Latched: damping frames keep flowing, the process lives on.
    {
        SendTrace trace;
        EXPECT_TRUE(eventually([&] { return commandsTo(trace, 1).size() >= 30; }, 20s))
            << "protect frames keep coming";
        trace.stop();
        for (const CanFrame& frame : commandsTo(trace, 2)) {
            EXPECT_NEAR(decodeCommand(frame, 28.0).k_p, 0.0, 1e-9);
            EXPECT_NEAR(decodeCommand(frame, 28.0).k_d, 5.0, 0.002);
        }
    }

    arm_->getErrorCode();
    arm_->setJointPositions({0.0, 0.5, 0.0, 0.0, 0.0, 0.0});
    arm_->setArmStatus(kPositionControl);
    EXPECT_TRUE(eventually([&] { return std::fabs(arm_->getJointPositons()[1] - 0.5) < 0.02; }, 20s))
        << "resumed position control";
}

TEST_F(InterfacesThreadFaultTest, OverCurrentLatchesAndResumes) {
    arm_->setArmStatus(kPositionControl);
    qel::test::CaptureStderr();
    bus_.arm().setReportedCurrent(4, 15.0);
    std::vector<int> seen;
    ASSERT_TRUE(codesContain(seen, 1, 30s));
    bus_.arm().setReportedCurrent(4, std::nullopt);
    std::this_thread::sleep_for(300ms);
    std::string err = qel::test::GetCapturedStderr();
    EXPECT_NE(err.find("关节力矩超限！"), std::string::npos);

    arm_->setJointPositions({0.0, 0.0, 0.4, 0.0, 0.0, 0.0});
    arm_->setArmStatus(kPositionControl);
    EXPECT_TRUE(eventually([&] { return std::fabs(arm_->getJointPositons()[2] - 0.4) < 0.02; }, 20s));
}

TEST_F(InterfacesThreadFaultTest, SilencedMotorShowsAsItsCodeAndDestructionIsOrderly) {
    bus_.arm().silenceMotor(5);
    std::vector<int> seen;
    EXPECT_TRUE(codesContain(seen, 42, 20s)) << "joint 4 (motor 5) offline";
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 0);

    qel::test::CaptureStdout();
    arm_.reset();
    std::string out = qel::test::GetCapturedStdout();
    const std::vector<std::string> order = {"DisableMotor", "[ArmThread] DisableMotor", "[ArmThread] finish close",
                                            "[Controller] thread finish", "DisableMotor"};
    size_t at = 0;
    std::vector<size_t> found_at;
    for (const auto& line : order) {
        size_t found = out.find(line + "\n", at);
        ASSERT_NE(found, std::string::npos) << "missing, or out of order: " << line << "\n" << out;
        found_at.push_back(found);
        at = found + line.size();
    }
    // The destructor's waiting line comes once a second while the thread has
    // not finished; a thread quicker than the destructor's first look (the
    // destructor preempted) leaves none.
    const std::string waiting = "[Controller] waiting for thread finish\n";
    for (size_t w = out.find(waiting); w != std::string::npos; w = out.find(waiting, w + 1)) {
        EXPECT_GT(w, found_at[0]) << out;
        EXPECT_LT(w, found_at[3]) << out;
    }
}

}  // namespace
}  // namespace qel::m4
