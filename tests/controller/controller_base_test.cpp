// The controller core against the virtual arm on a vcan bus: the test drives
// the cycle itself and reads what reached the wire through a second socket.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "qel/controller/ControllerBase.hpp"
#include "qel/solver/Exercise.hpp"
#include "qel/solver/Interpolation.hpp"
#include "qel/solver/kinematic_dynamic_solver.hpp"
#include "sim/VirtualArm.hpp"
#include "support/CanRecorder.hpp"

namespace qel::m4 {
namespace {

using namespace std::chrono_literals;
using hw_interface::CanFrame;
using hw_interface::HybridJointCmd;
using hw_interface::HybridJointStatus;
using Clock = std::chrono::steady_clock;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

constexpr int kMotorIds[7] = {1, 2, 4, 5, 6, 7, 8};

std::string urdfPath() { return QEL_TEST_URDF; }

double torqueLimitOf(uint32_t motor_id) { return motor_id <= 4 ? 28.0 : 10.0; }

// One quantum of each command field, the precision the wire allows.
constexpr double kKpTol = 500.0 / 4095 + 1e-9;
constexpr double kKdTol = 5.0 / 4095 + 1e-9;
constexpr double kPosTol = 25.0 / 65535 + 1e-9;
constexpr double kVelTol = 90.0 / 4095 + 1e-9;
double torqueTol(uint32_t id) { return 2 * torqueLimitOf(id) / 4095 + 1e-9; }

// The controller with its working fields open to the test, which plays the
// part of the control thread.
class ProbedController : public ControllerBase {
public:
    using ControllerBase::ControllerBase;
    void setState(int s) { state_machine_.store(s); }
    void setJointTarget(std::size_t i, double position) { joint_target_[i].position = position; }
    void setPoseCommand(const Eigen::Isometry3d& pose) { ee_command_ = pose; }
    void setGripperTorque(double torque) {
        catch_control_mode_.store(kTorque);
        catch_torque_target_ = torque;
    }
    void setGripperPosition(double target) {
        catch_control_mode_.store(kPosition);
        joint_target_[6].position = target;
    }
    std::vector<HybridJointStatus> status() const { return joint_status_; }
    std::vector<double> gravity() const { return gravity_compensation_torqe_; }
    std::array<double, 7> setPoints() const { return temp_position; }
    std::vector<double> zero() const { return zero_point_position_; }
    KDL::JntArray solution() const { return solve_position_; }
    bool allOnline() const { return online_; }
    Eigen::Isometry3d measuredPose() const { return ee_state_; }
};

// Virtual arm, recorder and controller on vcan0; the controller is built by
// construct() so that a test can prepare the arm first.
class BusFixture {
public:
    explicit BusFixture(const sim::VirtualArmOptions& options = {}) : arm(options) {
        arm.start();
    }

    void construct() {
        const auto start = Clock::now();
        controller = std::make_unique<ProbedController>(urdfPath(), test::kTestBus, 0);
        construction_time = Clock::now() - start;
    }

    // One paced control cycle, as the control thread would run it.
    void cycle() {
        const auto start = Clock::now();
        controller->Update();
        std::this_thread::sleep_until(start + 5ms);
    }
    void cycles(int n) {
        for (int i = 0; i < n; ++i) cycle();
    }
    // Cycles, reading away codes and raised faults, until `n` cycles in a row
    // passed cleanly.
    void settle(int n) {
        for (int clean = 0, guard = 0; clean < n && guard < 200; ++guard) {
            try {
                cycle();
                clean = controller->getErrorCode().empty() ? clean + 1 : 0;
            } catch (const std::runtime_error&) {
                controller->getErrorCode();
                clean = 0;
            }
        }
    }

    // The command frames (identifier not 0) recorded since the last clear,
    // waiting until at least `count` have arrived.
    std::vector<test::RecordedFrame> commands(std::size_t count) {
        recorder.waitFor([](const CanFrame& f) { return f.can_id != 0; }, count, 500ms);
        std::vector<test::RecordedFrame> out;
        for (const auto& r : recorder.frames()) {
            if (r.frame.can_id != 0) out.push_back(r);
        }
        return out;
    }

    // Runs one cycle and returns its seven command frames, decoded.
    std::vector<std::pair<uint32_t, HybridJointCmd>> cycleFrames(
        std::vector<test::RecordedFrame>* raw = nullptr) {
        recorder.clear();
        cycle();
        std::vector<test::RecordedFrame> frames = commands(7);
        std::vector<std::pair<uint32_t, HybridJointCmd>> out;
        for (const auto& r : frames) {
            out.emplace_back(r.frame.can_id,
                             hw_interface::unpackImpedanceFrame(r.frame, torqueLimitOf(r.frame.can_id)));
        }
        if (raw) *raw = frames;
        return out;
    }

    test::CanRecorder recorder{test::kTestBus};
    sim::VirtualArm arm;
    std::unique_ptr<ProbedController> controller;
    Clock::duration construction_time{};
};

void expectCommand(const std::pair<uint32_t, HybridJointCmd>& got, int motor_id, double k_p,
                   double k_d, double position, double velocity, double torque) {
    SCOPED_TRACE("motor " + std::to_string(motor_id));
    EXPECT_EQ(got.first, static_cast<uint32_t>(motor_id));
    EXPECT_NEAR(got.second.k_p, k_p, kKpTol);
    EXPECT_NEAR(got.second.k_d, k_d, kKdTol);
    EXPECT_NEAR(got.second.position, position, kPosTol);
    EXPECT_NEAR(got.second.velocity, velocity, kVelTol);
    EXPECT_NEAR(got.second.torque, torque, torqueTol(got.first));
}

// Seconds between the first and the sixth (last arm) frame of a cycle.
double armSpanMicros(const std::vector<test::RecordedFrame>& frames) {
    return std::chrono::duration<double, std::micro>(frames[5].time - frames[0].time).count();
}

TEST(ControllerStartup, EnablesHomesAndCalibratesTheGripperAgainstItsStop) {
    sim::VirtualArmOptions options;
    options.start_joints = {0.3, 0.4, 0.3, -0.3, 0.3, 0.5};
    options.gripper_start = 1.0;
    BusFixture bus(options);
    CaptureStderr();
    bus.construct();
    const std::string err = GetCapturedStderr();

    EXPECT_GE(bus.construction_time, 3550ms);
    EXPECT_NE(err.find("Init completed\n"), std::string::npos);

    const std::vector<test::RecordedFrame> frames = bus.commands(21);
    ASSERT_GE(frames.size(), 21u);
    for (std::size_t n = 0; n < 21; ++n) {
        EXPECT_EQ(frames[n].frame.can_id, static_cast<uint32_t>(kMotorIds[n % 7])) << n;
        EXPECT_TRUE(hw_interface::isEnableFrame(frames[n].frame)) << n;
    }
    std::size_t calibration = 0;
    for (const auto& r : frames) {
        if (r.frame.can_id != 8) continue;
        const HybridJointCmd c = hw_interface::unpackImpedanceFrame(r.frame, 10.0);
        if (std::fabs(c.velocity + 5.0) < kVelTol && std::fabs(c.k_d - 0.2) < kKdTol) ++calibration;
    }
    EXPECT_GE(calibration, 3550u / 5 / 2) << "the gripper is driven to its stop all through homing";
    const HybridJointCmd last = hw_interface::unpackImpedanceFrame(frames.back().frame, 10.0);
    EXPECT_EQ(frames.back().frame.can_id, 8u);
    EXPECT_NEAR(last.k_d, 2.0, kKdTol) << "the gripper is held after calibration";

    EXPECT_NEAR(bus.controller->zero()[6], options.gripper_end_stop, 0.02);
    const auto states = bus.arm.states();
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_LT(std::fabs(states[i].position), 0.08) << "joint " << i + 1 << " is home";
    }
}

TEST(ControllerStartup, HomingThatNeverCompletesGivesUpDampedAfterThirtySeconds) {
    // Joint 3's motor falls silent after start-up with its last report far
    // from home: the other five joints get home, which is not enough.
    sim::VirtualArmOptions options;
    options.start_joints = {0.0, 0.0, 0.8, 0.0, 0.0, 0.0};
    BusFixture bus(options);
    bus.arm.silenceMotor(4, sim::VirtualArm::Clock::now() + 30ms);
    const auto start = Clock::now();
    try {
        bus.construct();
        FAIL() << "homing cannot complete";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("Homing did not complete"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find(" 3"), std::string::npos) << e.what();
    }
    EXPECT_GE(Clock::now() - start, 30s);
    EXPECT_LT(Clock::now() - start, 40s);
    // The last arm frames are the damping ones.
    const auto frames = bus.commands(7);
    ASSERT_GE(frames.size(), 7u);
    const auto& joint2 = frames[frames.size() - 6];
    ASSERT_EQ(joint2.frame.can_id, 2u);
    const HybridJointCmd c = hw_interface::unpackImpedanceFrame(joint2.frame, 28.0);
    EXPECT_NEAR(c.k_p, 0.0, kKpTol);
    EXPECT_NEAR(c.k_d, 5.0, kKdTol);
}

// One controller for the per-state checks, built once.
class ControllerStates : public testing::Test {
protected:
    static void SetUpTestSuite() {
        bus_ = new BusFixture();
        bus_->construct();
    }
    static void TearDownTestSuite() {
        delete bus_;
        bus_ = nullptr;
    }
    void TearDown() override {
        // Back home for the next test.
        bus_->controller->setState(ControllerBase::GO_HOME);
        bus_->cycles(100);
    }
    static BusFixture* bus_;
};
BusFixture* ControllerStates::bus_ = nullptr;

TEST_F(ControllerStates, PassiveStatesSendTheirGainsAndTorques) {
    BusFixture& bus = *bus_;
    ProbedController& c = *bus.controller;
    const control::ArmGains protect = control::kProtectGains;

    c.setState(ControllerBase::SOFT);
    std::vector<test::RecordedFrame> raw;
    auto frames = bus.cycleFrames(&raw);
    ASSERT_EQ(frames.size(), 7u);
    for (std::size_t i = 0; i < 7; ++i) expectCommand(frames[i], kMotorIds[i], 0, 0, 0, 0, 0);
    EXPECT_GE(armSpanMicros(raw), 5 * 200 * 0.75) << "frames are paced";

    c.setState(ControllerBase::PROTECT);
    frames = bus.cycleFrames(&raw);
    ASSERT_EQ(frames.size(), 7u);
    for (std::size_t i = 0; i < 6; ++i) expectCommand(frames[i], kMotorIds[i], 0, protect[i].k_d, 0, 0, 0);
    expectCommand(frames[6], 8, 0, 0, 0, 0, 0);
    EXPECT_LT(armSpanMicros(raw), 5 * 200 * 0.75) << "damping frames leave back to back";

    for (int unknown : {6, -1, 1000}) {
        c.setState(unknown);
        frames = bus.cycleFrames();
        ASSERT_EQ(frames.size(), 7u);
        for (std::size_t i = 0; i < 6; ++i) {
            expectCommand(frames[i], kMotorIds[i], 0, protect[i].k_d, 0, 0, 0);
        }
    }

    c.setState(ControllerBase::G_COMPENSATION);
    const std::vector<double> g = c.gravity();
    frames = bus.cycleFrames();
    ASSERT_EQ(frames.size(), 7u);
    for (std::size_t i = 0; i < 6; ++i) expectCommand(frames[i], kMotorIds[i], 0, 0, 0, 0, g[i]);
    expectCommand(frames[6], 8, 0, 0, 0, 0, 0);
}

TEST_F(ControllerStates, HomingSendsInterpolatedSetPointsWithoutVelocity) {
    BusFixture& bus = *bus_;
    ProbedController& c = *bus.controller;
    // Move away from home first, so that homing has somewhere to go.
    c.setState(ControllerBase::POSITION_CONTROL);
    c.setJointTarget(4, 0.6);
    bus.cycles(60);

    c.setState(ControllerBase::GO_HOME);
    const std::vector<HybridJointStatus> status = c.status();
    const std::vector<double> g = c.gravity();
    std::array<double, 7> expected = c.setPoints();
    const std::vector<double> zero = c.zero();
    for (std::size_t i = 0; i < 6; ++i) {
        double vel = 0.0;
        qel::solve::Interpolation(&zero[i], &expected[i], &vel, 0.08, i < 3 ? 0.4 : 0.2, 200);
    }
    std::vector<test::RecordedFrame> raw;
    const auto frames = bus.cycleFrames(&raw);
    ASSERT_EQ(frames.size(), 7u);
    const control::ArmGains gains = control::kTrackingGains;
    for (std::size_t i = 0; i < 6; ++i) {
        expectCommand(frames[i], kMotorIds[i], gains[i].k_p, gains[i].k_d, expected[i], 0.0,
                      i < 2 ? 0.0 : g[i]);
    }
    EXPECT_GT(std::fabs(expected[4] - status[4].position), 1e-3) << "joint 5 is moving home";
    EXPECT_GE(armSpanMicros(raw), 5 * 200 * 0.75);
    // The gripper is held at its zero whatever the host asked.
    const double gripper = std::max(-2.0, std::min(2.0, (zero[6] - 0.1 - status[6].position) * 8));
    expectCommand(frames[6], 8, 0, 0.2, 0, 0, gripper);
}

TEST_F(ControllerStates, PositionControlClampsTargetsToTheJointLimits) {
    BusFixture& bus = *bus_;
    ProbedController& c = *bus.controller;
    c.setState(ControllerBase::POSITION_CONTROL);
    const double limits[] = {-0.1, 3.6};
    const double targets[] = {-1.0, 4.0};
    for (int n = 0; n < 2; ++n) {
        SCOPED_TRACE("joint 2 target " + std::to_string(targets[n]));
        c.setJointTarget(1, targets[n]);
        const std::vector<HybridJointStatus> status = c.status();
        const std::vector<double> g = c.gravity();
        std::array<double, 7> set_point = c.setPoints();
        double vel = 0.0;
        qel::solve::Interpolation(&limits[n], &set_point[1], &vel, 0.5, 2.0, 200);
        const auto frames = bus.cycleFrames();
        ASSERT_EQ(frames.size(), 7u);
        const double feed_forward = (limits[n] - status[1].position) * 1.5 - status[1].velocity * 0.6;
        expectCommand(frames[1], 2, 150, 1.0, set_point[1], vel, g[1] + feed_forward);
    }
    // A NaN target holds the joint where its set-point is.
    c.setJointTarget(1, std::nan(""));
    const std::array<double, 7> before = c.setPoints();
    const auto frames = bus.cycleFrames();
    ASSERT_EQ(frames.size(), 7u);
    EXPECT_NEAR(frames[1].second.position, before[1], 2 * kPosTol);
    c.setJointTarget(1, 0.0);

    // The arm follows a clamped target to the limit.
    c.setJointTarget(1, -1.0);
    bus.cycles(150);
    EXPECT_NEAR(bus.arm.states()[1].position, -0.1, 0.03);
    c.setJointTarget(1, 0.0);
}

TEST_F(ControllerStates, EndControlClampsTheCommandAndFallsBackToTheReachableEdge) {
    BusFixture& bus = *bus_;
    ProbedController& c = *bus.controller;
    KinematicDynamicSolver solver(urdfPath(), "base_link", "link6");
    const std::vector<double> home = qel::solve::Isometry2Xyzrpy(c.measuredPose());

    // Nothing solved yet and a command that cannot be solved: no joint
    // target exists, so the arm is damped.
    ASSERT_EQ(c.solution().rows(), 0u) << "the first test of this controller to use pose control";
    Eigen::Isometry3d broken = c.measuredPose();
    broken.translation().x() = std::nan("");
    c.setPoseCommand(broken);
    c.setState(ControllerBase::END_CONTROL);
    auto frames = bus.cycleFrames();
    ASSERT_EQ(frames.size(), 7u);
    for (std::size_t i = 0; i < 6; ++i) {
        expectCommand(frames[i], kMotorIds[i], 0, control::kProtectGains[i].k_d, 0, 0, 0);
    }

    // x = -0.2 lies outside the box and is solved as x = 0.
    std::vector<double> command = home;
    command[0] = -0.2;
    c.setPoseCommand(qel::solve::Xyzrpy2Isometry(command.data()));
    const std::vector<HybridJointStatus> status = c.status();
    bus.cycleFrames();
    const double lower[6] = {0.0, -0.53, -0.53, -1.7453292519943295, -1.4835298641951802,
                             -1.4835298641951802};
    const double upper[6] = {0.53, 0.53, 0.53, 1.7453292519943295, 1.4835298641951802,
                             1.4835298641951802};
    double clamped[6];
    for (int i = 0; i < 6; ++i) clamped[i] = std::max(lower[i], std::min(upper[i], command[i]));
    ASSERT_EQ(clamped[0], 0.0);
    KDL::JntArray seed(6);
    for (int i = 0; i < 6; ++i) seed(i) = status[i].position;
    KDL::Frame target(KDL::Rotation::RPY(clamped[3], clamped[4], clamped[5]),
                      KDL::Vector(clamped[0], clamped[1], clamped[2]));
    const KDL::JntArray expected = solver.computeInverseKinematics(target, seed);
    const KDL::JntArray solved = c.solution();
    ASSERT_EQ(solved.rows(), 6u);
    for (int i = 0; i < 6; ++i) {
        const double lo = control::kMotorLayout[i].lower;
        const double hi = control::kMotorLayout[i].upper;
        EXPECT_NEAR(solved(i), std::max(lo, std::min(hi, expected(i))), 1e-9) << "joint " << i + 1;
    }

    // Far outside the reach: the arm is sent to the furthest reachable point
    // on the line from where it is.
    const std::vector<double> from = qel::solve::Isometry2Xyzrpy(c.measuredPose());
    command = from;
    command[0] = 0.53;
    command[1] = 0.53;
    command[2] = 0.53;
    c.setPoseCommand(qel::solve::Xyzrpy2Isometry(command.data()));
    CaptureStderr();
    bus.cycleFrames();
    const std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("Inverse kinematics computation failed"), std::string::npos)
        << "the command itself is unreachable";
    const KDL::JntArray edge = c.solution();
    ASSERT_EQ(edge.rows(), 6u);
    const KDL::Frame reached = solver.computeForwardKinematics(edge);
    const double along = (reached.p.x() - from[0]) / (command[0] - from[0]);
    EXPECT_GT(along, 0.0);
    EXPECT_LT(along, 1.0);
    EXPECT_NEAR(reached.p.y(), from[1] + along * (command[1] - from[1]), 1e-3) << "on the line";
    EXPECT_NEAR(reached.p.z(), from[2] + along * (command[2] - from[2]), 1e-3) << "on the line";
    c.setState(ControllerBase::PROTECT);
    bus.cycles(2);
}

TEST_F(ControllerStates, GripperCommands) {
    BusFixture& bus = *bus_;
    ProbedController& c = *bus.controller;
    c.setState(ControllerBase::POSITION_CONTROL);
    for (std::size_t i = 0; i < 6; ++i) c.setJointTarget(i, 0.0);
    c.setGripperPosition(0.0);
    bus.cycles(40);

    // At its zero, a target of 0 presses on towards the stop.
    auto frames = bus.cycleFrames();
    ASSERT_EQ(frames.size(), 7u);
    expectCommand(frames[6], 8, 0, 0.2, 0, 0, -0.8);

    c.setGripperTorque(5.0);
    frames = bus.cycleFrames();
    ASSERT_EQ(frames.size(), 7u);
    expectCommand(frames[6], 8, 0, 0.2, 0, 0, 2.0);

    c.setCatchActionFast();
    c.setGripperPosition(1.5);
    frames = bus.cycleFrames();
    ASSERT_EQ(frames.size(), 7u);
    expectCommand(frames[6], 8, 5.0, 0.5, 1.5, 0, 0);
    c.setCatchActionSlow();
    c.setGripperPosition(0.0);
}

TEST_F(ControllerStates, ASilentGripperDoesNotStopTheArm) {
    BusFixture& bus = *bus_;
    ProbedController& c = *bus.controller;
    c.setState(ControllerBase::POSITION_CONTROL);
    c.getErrorCode();
    bus.arm.silenceMotor(8);
    bus.cycles(200);  // one second, beyond the gripper's time-out
    EXPECT_TRUE(c.allOnline());
    EXPECT_TRUE(c.getErrorCode().empty());
    const auto frames = bus.cycleFrames();
    ASSERT_EQ(frames.size(), 7u);
    EXPECT_NEAR(frames[0].second.k_p, 150, kKpTol) << "still tracking, not damped";
    bus.arm.clearFaults(8);
}

// Update time per state, for the record; fails on nothing.
TEST_F(ControllerStates, MeasureCycleTime) {
    BusFixture& bus = *bus_;
    ProbedController& c = *bus.controller;
    const struct {
        const char* name;
        int state;
    } states[] = {{"SOFT", 0}, {"GO_HOME", 1}, {"PROTECT", 2}, {"G_COMPENSATION", 3},
                  {"POSITION_CONTROL", 5}, {"END_CONTROL", 4}};
    c.setPoseCommand(c.measuredPose());
    auto measure = [&](const char* name, int state, int n) {
        c.setState(state);
        double total = 0;
        double worst = 0;
        for (int k = 0; k < n; ++k) {
            const auto start = Clock::now();
            c.Update();
            const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
            total += us;
            worst = std::max(worst, us);
            std::this_thread::sleep_until(start + 5ms);
        }
        std::printf("[ cycle    ] %-26s mean %7.0f us  max %7.0f us  (budget 5000 us)\n", name,
                    total / n, worst);
    };
    for (const auto& s : states) measure(s.name, s.state, 50);

    std::vector<double> far = qel::solve::Isometry2Xyzrpy(c.measuredPose());
    far[0] = far[1] = far[2] = 0.53;
    c.setPoseCommand(qel::solve::Xyzrpy2Isometry(far.data()));
    CaptureStderr();
    measure("END_CONTROL unreachable", 4, 20);
    GetCapturedStderr();
    c.setState(ControllerBase::PROTECT);
    bus.cycles(2);
}

TEST(ControllerFaults, AnOfflineArmMotorIsReportedEveryCycleAndDampsTheArm) {
    BusFixture bus;
    bus.construct();
    bus.controller->setState(ControllerBase::POSITION_CONTROL);
    bus.cycles(5);
    bus.controller->getErrorCode();

    bus.arm.silenceMotor(4);  // joint 3
    for (int n = 0; n < 200 && bus.controller->allOnline(); ++n) bus.cycle();
    ASSERT_FALSE(bus.controller->allOnline());
    bus.controller->getErrorCode();

    CaptureStdout();
    bus.recorder.clear();
    bus.cycles(5);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(bus.controller->getErrorCode(), (std::vector<int>{32, 32, 32, 32, 32}));
    std::string line = "电机掉线！掉线电机编号：3 \n";
    std::size_t count = 0;
    for (std::size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1)) ++count;
    EXPECT_EQ(count, 5u) << out;

    const auto frames = bus.commands(35);
    ASSERT_EQ(frames.size(), 35u);
    for (std::size_t n = 0; n < frames.size(); ++n) {
        const auto& f = frames[n].frame;
        const HybridJointCmd cmd = hw_interface::unpackImpedanceFrame(f, torqueLimitOf(f.can_id));
        EXPECT_EQ(f.can_id, static_cast<uint32_t>(kMotorIds[n % 7]));
        EXPECT_NEAR(cmd.k_p, 0.0, kKpTol) << "damped whatever the state";
    }
}

TEST(ControllerFaults, MotorFaultsAreRaisedWithTheMotorAndItsOwnCode) {
    BusFixture bus;
    bus.construct();
    ProbedController& c = *bus.controller;
    c.setState(ControllerBase::POSITION_CONTROL);
    bus.cycles(5);

    // Codes 0 and 1 mean healthy.
    for (int healthy : {0, 1}) {
        bus.arm.setStatusCode(2, healthy);
        bus.cycles(5);
        EXPECT_TRUE(c.getErrorCode().empty()) << healthy;
    }

    struct Case {
        int code;
        int recorded;
        const char* message;
    };
    // Driver code 3 encodes as 18, which reads back as motor 1; the raise
    // still names motor 2 and code 3.
    for (const Case& k : {Case{10, 25, "电机故障，电机编号：2，故障类型：10"},
                          Case{3, 18, "电机故障，电机编号：2，故障类型：3"}}) {
        SCOPED_TRACE(k.message);
        bus.arm.setStatusCode(2, k.code);
        std::string raised;
        Clock::duration raise_cycle{};
        for (int n = 0; n < 20 && raised.empty(); ++n) {
            const auto start = Clock::now();
            try {
                bus.recorder.clear();
                c.Update();
            } catch (const std::runtime_error& e) {
                raised = e.what();
                raise_cycle = Clock::now() - start;
            }
            std::this_thread::sleep_until(start + 5ms);
        }
        EXPECT_EQ(raised, k.message);
        EXPECT_GE(raise_cycle, 100ms) << "damped and paused before raising";
        const auto frames = bus.commands(7);
        ASSERT_EQ(frames.size(), 7u);
        EXPECT_NEAR(hw_interface::unpackImpedanceFrame(frames[1].frame, 28).k_d, 5.0, kKdTol);
        const std::vector<int> codes = c.getErrorCode();
        ASSERT_FALSE(codes.empty());
        EXPECT_EQ(codes.front(), k.recorded);
        bus.arm.setStatusCode(2, std::nullopt);
        bus.settle(3);
    }
}

TEST(ControllerFaults, SustainedOverCurrentTripsOnTheTwoHundredthCheck) {
    BusFixture bus;
    bus.construct();
    ProbedController& c = *bus.controller;
    c.setState(ControllerBase::GO_HOME);
    bus.arm.setReportedCurrent(5, -14.0);  // joint 4
    // Until the measurement shows it, no check is over the limit.
    for (int n = 0; n < 50 && c.status()[3].current > -13.0; ++n) bus.cycle();
    ASSERT_LT(c.status()[3].current, -13.0);

    for (int n = 1; n < 200; ++n) ASSERT_NO_THROW(bus.cycle()) << "check " << n;
    c.getErrorCode();
    bus.recorder.clear();
    try {
        c.Update();
        FAIL() << "the 200th over-limit check trips";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "关节力矩超限！");
    }
    EXPECT_EQ(c.getErrorCode(), std::vector<int>{1});
    const auto frames = bus.commands(7);
    ASSERT_EQ(frames.size(), 7u) << "only the damping frames, not the homing ones";
    for (std::size_t i = 0; i < 6; ++i) {
        const auto cmd = hw_interface::unpackImpedanceFrame(frames[i].frame, torqueLimitOf(frames[i].frame.can_id));
        EXPECT_NEAR(cmd.k_p, 0.0, kKpTol);
        EXPECT_NEAR(cmd.k_d, control::kProtectGains[i].k_d, kKdTol);
    }
    bus.arm.setReportedCurrent(5, std::nullopt);
}

}  // namespace
}  // namespace qel::m4
