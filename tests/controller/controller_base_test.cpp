// The controller core against the virtual arm on a CAN bus: the test drives
// the cycle itself and reads what the controller sent from the send trace, the
// record of its own socket writes and pauses, so that every expectation is
// about content and order, never about how fast this machine is.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
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
#include "support/ArmStates.hpp"
#include "support/CanRecorder.hpp"
#include "support/SendTrace.hpp"
#include "support/CapturedOutput.hpp"

namespace qel::m4 {
namespace {

using namespace test::states;

using namespace std::chrono_literals;
using hw_interface::CanFrame;
using hw_interface::HybridJointCmd;
using hw_interface::HybridJointStatus;
using test::SendTrace;
using test::SentEvent;
using Clock = std::chrono::steady_clock;
using qel::test::CaptureStderr;
using qel::test::CaptureStdout;
using qel::test::GetCapturedStderr;
using qel::test::GetCapturedStdout;

// The arm as the controller must drive it, written out rather than taken from
// the controller's tables: motor identifiers in joint order (no motor 3), the
// torque range of each motor's family, and the arm's joint limits (rad).
constexpr int kMotorIds[7] = {1, 2, 4, 5, 6, 7, 8};
constexpr double kTorqueRange[7] = {28, 28, 28, 10, 10, 10, 10};
constexpr double kLower[6] = {-3.14, -0.1, -0.1, -1.29, -1.4835298641951802, -1.7453292519943295};
constexpr double kUpper[6] = {2.618, 3.6, 3.0, 1.29, 1.4835298641951802, 1.7453292519943295};

struct Gains {
    double k_p;
    double k_d;
};
constexpr Gains kProtectGains[6] = {{0, 1.0}, {0, 5.0}, {0, 5.0}, {0, 2.0}, {0, 1.0}, {0, 1.0}};
constexpr Gains kTrackingGains[6] = {{150, 1.0}, {150, 1.0}, {150, 1.0}, {50, 0.8}, {25, 0.8}, {10, 1.0}};
constexpr Gains kPoseGains[6] = {{150, 1.0}, {150, 1.0}, {150, 1.0}, {70, 0.8}, {25, 0.8}, {10, 1.0}};

// What one cycle sends: seven frames, each followed by a 200 µs pause, or in
// protect the six arm frames back to back and only the gripper's paused.
const std::string kPaced = "W1 P200 W2 P200 W4 P200 W5 P200 W6 P200 W7 P200 W8 P200";
const std::string kBackToBack = "W1 W2 W4 W5 W6 W7 W8 P200";

std::string urdfPath() { return QEL_TEST_URDF; }

double torqueRangeOf(uint32_t motor_id) {
    for (int i = 0; i < 7; ++i) {
        if (static_cast<uint32_t>(kMotorIds[i]) == motor_id) return kTorqueRange[i];
    }
    ADD_FAILURE() << "a frame for motor " << motor_id << ", which the arm does not have";
    return 10;
}

// One quantum of each command field, the precision the wire allows.
constexpr double kKpTol = 500.0 / 4095 + 1e-9;
constexpr double kKdTol = 5.0 / 4095 + 1e-9;
constexpr double kPosTol = 25.0 / 65535 + 1e-9;
constexpr double kVelTol = 90.0 / 4095 + 1e-9;
double torqueTol(uint32_t id) { return 2 * torqueRangeOf(id) / 4095 + 1e-9; }

struct Command {
    uint32_t id;
    HybridJointCmd cmd;
    CanFrame frame;
};

Command decode(const CanFrame& frame) {
    return {frame.can_id, hw_interface::unpackImpedanceFrame(frame, torqueRangeOf(frame.can_id)), frame};
}

// One cycle as the controller ran it: its calls in order and what it raised.
struct Cycle {
    std::vector<SentEvent> events;
    std::string raised;

    std::string pattern() const { return test::sequence(events); }
    std::vector<Command> commands() const {
        std::vector<Command> out;
        for (const SentEvent& e : events) {
            if (e.kind == SentEvent::kFrame) out.push_back(decode(e.frame));
        }
        return out;
    }
};

void expectCommand(const Command& got, int motor_id, double k_p, double k_d, double position,
                   double velocity, double torque) {
    SCOPED_TRACE("motor " + std::to_string(motor_id));
    EXPECT_EQ(got.id, static_cast<uint32_t>(motor_id));
    EXPECT_NEAR(got.cmd.k_p, k_p, kKpTol);
    EXPECT_NEAR(got.cmd.k_d, k_d, kKdTol);
    EXPECT_NEAR(got.cmd.position, position, kPosTol);
    EXPECT_NEAR(got.cmd.velocity, velocity, kVelTol);
    EXPECT_NEAR(got.cmd.torque, torque, torqueTol(got.id));
}

void expectProtect(const Cycle& cycle) {
    ASSERT_EQ(cycle.pattern(), kBackToBack) << "damping frames leave back to back";
    const auto commands = cycle.commands();
    for (int i = 0; i < 6; ++i) expectCommand(commands[i], kMotorIds[i], 0, kProtectGains[i].k_d, 0, 0, 0);
    expectCommand(commands[6], 8, 0, 0, 0, 0, 0);
}

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
    std::array<double, 7> setPoints() const { return temp_position; }
    std::vector<double> zero() const { return zero_point_position_; }
    KDL::JntArray solution() const { return solve_position_; }
    bool allOnline() const { return online_; }
    bool homeReached() const { return go_home_flag_; }
    double gripperLower() const { return lower_Joint[6]; }
    double gripperUpper() const { return upper_Joint[6]; }
    Eigen::Isometry3d measuredPose() const { return ee_state_; }
    // The driver of motor slot `i` (0 to 6), for what no frame on the wire
    // can show.
    std::shared_ptr<hw_interface::MotorDlcBase> driver(std::size_t i) const { return joint_ptr_[i]; }
};

// Virtual arm and controller on the test bus; the controller is built by
// construct() so that a test can prepare the arm first.
class BusFixture {
public:
    explicit BusFixture(const sim::VirtualArmOptions& options = {}) : arm(withBus(options)) {
        arm.start();
    }

    // Builds the controller; `startup` then holds what it sent while doing so.
    void construct() {
        SendTrace trace;
        const auto start = Clock::now();
        try {
            controller = std::make_unique<ProbedController>(urdfPath(), test::kTestBus, 0);
        } catch (...) {
            startup = trace.eventsOf(SendTrace::currentThread());
            throw;
        }
        construction_time = Clock::now() - start;
        startup = trace.eventsOf(SendTrace::currentThread());
    }

    // Builds the controller and runs it for five cycles in `state`, with the
    // codes of those cycles read away.
    ProbedController& running(int state) {
        construct();
        controller->setState(state);
        cycles(5);
        controller->getErrorCode();
        return *controller;
    }
    // One control cycle, paced as the control thread would run it, with what
    // it sent and raised.
    Cycle cycle() {
        const auto start = Clock::now();
        Cycle out;
        {
            SendTrace trace;
            try {
                controller->Update();
            } catch (const std::runtime_error& e) {
                out.raised = e.what();
            }
            out.events = trace.eventsOf(SendTrace::currentThread());
        }
        std::this_thread::sleep_until(start + 5ms);
        return out;
    }
    void cycles(int n) {
        for (int i = 0; i < n; ++i) {
            const Cycle c = cycle();
            ASSERT_EQ(c.raised, "") << "while running cycle " << i + 1 << " of " << n;
        }
    }
    // Cycles until `done` holds (checked after each cycle); false if it did
    // not within `limit` cycles.
    template <typename Done>
    bool cycleUntil(Done done, int limit) {
        for (int n = 0; n < limit; ++n) {
            cycle();
            if (done()) return true;
        }
        return false;
    }
    // Cycles until the arm's set-points come to rest: within 1e-3 over the
    // last 20 cycles (at rest they dither about the target by a few 1e-4).
    // False if they did not within `limit` cycles.
    bool settleSetPoints(int limit) {
        std::vector<std::array<double, 7>> window;
        return cycleUntil([&] {
            window.push_back(controller->setPoints());
            if (window.size() > 20) window.erase(window.begin());
            if (window.size() < 20) return false;
            for (int i = 0; i < 6; ++i) {
                double low = window[0][i];
                double high = low;
                for (const auto& p : window) {
                    low = std::min(low, p[i]);
                    high = std::max(high, p[i]);
                }
                if (high - low > 1e-3) return false;
            }
            return true;
        }, limit);
    }
    // Cycles, reading away codes and raised faults, until `n` cycles in a row
    // passed cleanly; false if that did not happen within 300 cycles.
    bool settle(int n) {
        int clean = 0;
        for (int guard = 0; clean < n && guard < 300; ++guard) {
            const Cycle c = cycle();
            clean = c.raised.empty() && controller->getErrorCode().empty() ? clean + 1 : 0;
        }
        return clean >= n;
    }

    std::string describe() const {
        std::string out;
        const auto s = controller->status();
        const auto set_points = controller->setPoints();
        for (int i = 0; i < 7; ++i) {
            out += "\n  joint " + std::to_string(i + 1) + ": set-point " + std::to_string(set_points[i]) +
                   " position " + std::to_string(s[i].position) + " velocity " +
                   std::to_string(s[i].velocity);
        }
        return out;
    }
    // Brings the arm home and still, in GO_HOME.
    void home() {
        controller->setState(kGoHome);
        ASSERT_TRUE(cycleUntil([&] {
            const auto s = controller->status();
            const auto set_points = controller->setPoints();
            for (int i = 0; i < 6; ++i) {
                if (std::fabs(set_points[i]) > 1e-4 || std::fabs(s[i].position) > 0.03 ||
                    std::fabs(s[i].velocity) > 0.05) {
                    return false;
                }
            }
            return true;
        }, 3000)) << "the arm did not get home: " << describe();
    }

    sim::VirtualArm arm;
    std::unique_ptr<ProbedController> controller;
    std::vector<SentEvent> startup;
    Clock::duration construction_time{};

private:
    static sim::VirtualArmOptions withBus(sim::VirtualArmOptions options) {
        options.interface = test::kTestBus;
        return options;
    }
};

// Gravity torques of the model for a measured posture, with `payload` kg at
// the flange, from a solver of the test's own.
std::vector<double> gravityAt(const std::vector<HybridJointStatus>& status, double payload = 0.0) {
    static KinematicDynamicSolver solver(urdfPath(), "base_link", "link6");
    solver.setEndEffectorMass(payload);
    KDL::JntArray q(6);
    for (int i = 0; i < 6; ++i) q(i) = status[i].position;
    const KDL::JntArray g = solver.computeGravityCompensationTorque(q);
    std::vector<double> out(6);
    for (int i = 0; i < 6; ++i) out[i] = g(i);
    return out;
}

TEST(ControllerStartup, EnablesDampsHomesAndCalibratesTheGripperAgainstItsStop) {
    sim::VirtualArmOptions options;
    options.start_joints = {0.3, 0.4, 0.3, -0.3, 0.3, 0.5};
    options.gripper_start = 1.0;
    BusFixture bus(options);
    CaptureStderr();
    bus.construct();
    const std::string err = GetCapturedStderr();

    EXPECT_GE(bus.construction_time, 3550ms);
    EXPECT_NE(err.find("Init completed\n"), std::string::npos);

    // Nothing is sent while the controller first listens for another
    // commander (only its pauses are recorded); then three rounds of enable
    // frames to all seven motors, each paced.
    std::vector<SentEvent> events = bus.startup;
    const auto first_frame = std::find_if(events.begin(), events.end(),
                                          [](const SentEvent& e) { return e.kind == SentEvent::kFrame; });
    ASSERT_NE(first_frame, events.end());
    for (auto e = events.begin(); e != first_frame; ++e) EXPECT_EQ(e->kind, SentEvent::kPause);
    events.erase(events.begin(), first_frame);
    ASSERT_GE(events.size(), 42u + 100u * 8u);
    std::string enable_pattern;
    for (int round = 0; round < 3; ++round) enable_pattern += (round ? " " : "") + kPaced;
    const std::vector<SentEvent> enabling(events.begin(), events.begin() + 42);
    EXPECT_EQ(test::sequence(enabling), enable_pattern);
    for (const SentEvent& e : enabling) {
        if (e.kind == SentEvent::kFrame) {
            EXPECT_EQ(test::hexBytes(e.frame), "FF FF FF FF FF FF FF FC") << e.frame.can_id;
        }
    }
    // Then 100 passes of damping.
    for (int pass = 0; pass < 100; ++pass) {
        Cycle damping;
        damping.events.assign(events.begin() + 42 + pass * 8, events.begin() + 42 + (pass + 1) * 8);
        SCOPED_TRACE("damping pass " + std::to_string(pass + 1));
        expectProtect(damping);
        if (testing::Test::HasFailure()) break;
    }
    // An arm slow to answer (a loaded machine) gets further damping passes,
    // each after a sleep of 5 ms, until one of its motors has.
    std::size_t homing_from = 42 + 800;
    while (homing_from + 9 <= events.size() && events[homing_from].kind == SentEvent::kPause &&
           events[homing_from].pause_us == 5000) {
        Cycle damping;
        damping.events.assign(events.begin() + static_cast<std::ptrdiff_t>(homing_from) + 1,
                              events.begin() + static_cast<std::ptrdiff_t>(homing_from) + 9);
        if (damping.pattern() != kBackToBack) break;
        expectProtect(damping);
        homing_from += 9;
    }
    // Then homing, with the gripper driven against its stop every pass, and
    // last the frame that holds the gripper where it stopped.
    std::vector<Command> homing;
    for (std::size_t n = homing_from; n < events.size(); ++n) {
        if (events[n].kind == SentEvent::kFrame) homing.push_back(decode(events[n].frame));
    }
    // Homing lasts 3.55 s at the least: from before its first frame (the
    // last event of the damping) to the frame that ends it.
    ASSERT_GT(homing_from, 0u);
    EXPECT_GT(events.back().time_ns - events[homing_from - 1].time_ns, 3550000000) << "homing too short";
    // Its passes are paced by absolute deadlines 5 ms apart (re-anchored
    // after an overrun).
    const std::vector<SentEvent> homing_events(events.begin() + static_cast<std::ptrdiff_t>(homing_from),
                                               events.end());
    EXPECT_EQ(test::pacingViolations(homing_events, 5000000), "");
    ASSERT_GE(homing.size(), 8u + 1u);
    ASSERT_EQ(homing.size() % 7, 1u);
    for (std::size_t n = 0; n + 1 < homing.size(); ++n) {
        EXPECT_EQ(homing[n].id, static_cast<uint32_t>(kMotorIds[n % 7])) << n;
        if (homing[n].id == 8) expectCommand(homing[n], 8, 0, 0.2, 0, -5.0, 0);
        if (homing[n].id != 8) {
            const int i = static_cast<int>(n % 7);
            EXPECT_NEAR(homing[n].cmd.k_p, kTrackingGains[i].k_p, kKpTol) << n;
            EXPECT_NEAR(homing[n].cmd.k_d, kTrackingGains[i].k_d, kKdTol) << n;
        }
        if (testing::Test::HasFailure()) break;
    }
    expectCommand(homing.back(), 8, 0, 2.0, 0, 0, 0);
    EXPECT_EQ(events.back().kind, SentEvent::kPause);
    EXPECT_EQ(events.back().pause_us, 200);

    EXPECT_NEAR(bus.controller->zero()[6], options.gripper_end_stop, 0.02);
    const auto states = bus.arm.states();
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_LT(std::fabs(states[i].position), 0.08) << "joint " << i + 1 << " is home";
    }
}

// The interpolation limits: 0.5 and 2.0 out of construction, and whatever
// the host sets clamped to [0, 0.5] and [0, 2.0]. The speed limit only shows
// on moves longer than 4 rad (shorter ones never get past the acceleration
// curve), so joint 1 crosses from -2.4 to 2.6: 5 rad, whose first step is
// sqrt(2^2 - (5 - 4) * 2 * 0.5) = 1.73 rad/s with a limit of 2.0 and would be
// 2.24 with 2.5.
TEST(ControllerStartup, InterpolationLimitsStartAtHalfAndTwoAndAreClampedThere) {
    BusFixture bus;
    bus.construct();
    ProbedController& c = *bus.controller;
    c.setState(kPositionControl);
    auto firstStep = [&](double max_acc, double max_vel) {
        c.setJointTarget(0, -2.4);
        EXPECT_TRUE(bus.settleSetPoints(4000)) << bus.describe();
        std::array<double, 7> expected = c.setPoints();
        double vel = 0.0;
        const double target = 2.6;
        qel::solve::Interpolation(&target, &expected[0], &vel, max_acc, max_vel, 200);
        c.setJointTarget(0, target);
        const auto frames = bus.cycle().commands();
        EXPECT_EQ(frames.size(), 7u);
        return frames.empty() ? 0.0 : frames[0].cmd.position - expected[0];
    };
    EXPECT_NEAR(firstStep(0.5, 2.0), 0.0, kPosTol) << "from construction";
    c.setInterpolationParam(9.0, 9.0);
    EXPECT_NEAR(firstStep(0.5, 2.0), 0.0, kPosTol) << "clamped from above";
    c.setInterpolationParam(0.25, 1.0);
    EXPECT_NEAR(firstStep(0.25, 1.0), 0.0, kPosTol) << "within the range";
    c.setInterpolationParam(0.5, 2.0);
    c.setJointTarget(0, 0.0);
    EXPECT_TRUE(bus.settleSetPoints(4000));
    // Clamped from below: no motion at all.
    c.setInterpolationParam(-1.0, -1.0);
    const double before = c.setPoints()[0];
    c.setJointTarget(0, 1.0);
    bus.cycles(5);
    EXPECT_EQ(c.setPoints()[0], before);
}

// Thirty seconds of homing: run in one build only (see CMakeLists.txt).
#if QEL_LONG_STARTUP_CASES
TEST(ControllerStartup, HomingThatNeverCompletesGivesUpDampedAfterThirtySeconds) {
    // Joint 3's motor falls silent after start-up with its last report far
    // from home: the other five joints get home, which is not enough.
    sim::VirtualArmOptions options;
    options.start_joints = {0.0, 0.0, 0.8, 0.0, 0.0, 0.0};
    // Silenced by the arm itself at its 30th frame (three enable frames and
    // 27 damping passes, long before homing starts), so that the controller
    // has seen joint 3 away from home whatever the machine's speed.
    std::atomic<sim::VirtualArm*> arm{nullptr};
    std::atomic<int> frames_to_joint3{0};
    options.on_frame = [&arm, &frames_to_joint3](const CanFrame& frame) {
        if (frame.can_id == 4 && ++frames_to_joint3 == 30) arm.load()->silenceMotor(4);
    };
    BusFixture bus(options);
    arm = &bus.arm;
    const auto start = Clock::now();
    try {
        bus.construct();
        FAIL() << "homing cannot complete";
    } catch (const HomingTimeoutError& e) {
        EXPECT_NE(std::string(e.what()).find("Homing did not complete"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find(" 3"), std::string::npos) << e.what();
    }
    EXPECT_GE(Clock::now() - start, 30s);
    // The last frames are one damping pass, once (the adapter's own pauses
    // while it closes may follow them), after the last homing pass.
    std::vector<SentEvent> sent = bus.startup;
    while (!sent.empty() && sent.back().kind == SentEvent::kPause &&
           (sent.size() < 2 || sent[sent.size() - 2].kind != SentEvent::kFrame)) {
        sent.pop_back();
    }
    ASSERT_GE(sent.size(), 16u);
    Cycle last;
    last.events.assign(sent.end() - 8, sent.end());
    expectProtect(last);
    Cycle before;
    before.events.assign(sent.end() - 16, sent.end() - 8);
    EXPECT_NE(before.pattern(), kBackToBack) << "the damping frames are sent once";
}
#endif

// One homed controller for the per-state checks. Each test starts from the
// arm at home and leaves it wherever it likes. A controller that has lost a
// motor stays damped for good (a starved machine can make a motor miss its
// feedback deadline), so it is replaced rather than handed to the next test.
class ControllerStates : public testing::Test {
protected:
    static void TearDownTestSuite() {
        delete bus_;
        bus_ = nullptr;
    }
    void SetUp() override {
        if (bus_ == nullptr || !bus_->controller || !bus_->controller->allOnline()) {
            delete bus_;
            bus_ = new BusFixture();
            bus_->construct();
        }
        ProbedController& c = *bus_->controller;
        c.setCatchActionSlow();
        c.setGripperPosition(0.0);
        c.setInterpolationParam(0.5, 2.0);
        c.setEndEffectorMass(0.0);
        for (std::size_t i = 0; i < 6; ++i) c.setJointTarget(i, 0.0);
        bus_->arm.clearFaults(8);
        bus_->home();
        c.getErrorCode();
    }
    static BusFixture* bus_;
};
BusFixture* ControllerStates::bus_ = nullptr;

TEST_F(ControllerStates, PassiveStatesSendTheirGainsAndTorques) {
    BusFixture& bus = *bus_;
    ProbedController& c = *bus.controller;

    c.setState(kSoft);
    Cycle cycle = bus.cycle();
    ASSERT_EQ(cycle.pattern(), kPaced);
    auto frames = cycle.commands();
    for (std::size_t i = 0; i < 7; ++i) expectCommand(frames[i], kMotorIds[i], 0, 0, 0, 0, 0);

    c.setState(kProtect);
    expectProtect(bus.cycle());
    for (int unknown : {6, -1, 1000}) {
        SCOPED_TRACE("state " + std::to_string(unknown));
        c.setState(unknown);
        expectProtect(bus.cycle());
    }

    // Gravity compensation at a posture where the shoulder, elbow and wrist
    // joints carry load, so that each torque shows its motor's range.
    c.setState(kGravityCompensation);
    const std::vector<double> g = gravityAt(c.status());
    cycle = bus.cycle();
    ASSERT_EQ(cycle.pattern(), kPaced);
    frames = cycle.commands();
    for (std::size_t i = 0; i < 6; ++i) expectCommand(frames[i], kMotorIds[i], 0, 0, 0, 0, g[i]);
    expectCommand(frames[6], 8, 0, 0, 0, 0, 0);
    EXPECT_GT(std::fabs(g[1]), 1.0);
    EXPECT_GT(std::fabs(g[2]), 1.0);
    EXPECT_GT(std::fabs(g[3]), 1.0);
}

TEST_F(ControllerStates, HomingSendsInterpolatedSetPointsWithoutVelocity) {
    BusFixture& bus = *bus_;
    ProbedController& c = *bus.controller;
    // Move away from home first, so that homing has somewhere to go: joint 2
    // far enough to start at full speed, joints 3 to 5 on the braking curve
    // or near it (joint 4 with the wrist's limits, not the proximal ones).
    c.setState(kPositionControl);
    c.setJointTarget(1, 2.2);
    c.setJointTarget(2, 0.5);
    c.setJointTarget(3, 0.6);
    c.setJointTarget(4, 0.6);
    ASSERT_TRUE(bus.settleSetPoints(2000));

    c.setState(kGoHome);
    const std::vector<HybridJointStatus> status = c.status();
    const std::vector<double> g = gravityAt(status);
    const std::array<double, 7> before = c.setPoints();
    std::array<double, 7> expected = before;
    const double home = 0.0;
    for (std::size_t i = 0; i < 6; ++i) {
        double vel = 0.0;
        qel::solve::Interpolation(&home, &expected[i], &vel, 0.08, i < 3 ? 0.4 : 0.2, 200);
    }
    const Cycle cycle = bus.cycle();
    ASSERT_EQ(cycle.pattern(), kPaced);
    const auto frames = cycle.commands();
    for (std::size_t i = 0; i < 6; ++i) {
        expectCommand(frames[i], kMotorIds[i], kTrackingGains[i].k_p, kTrackingGains[i].k_d, expected[i], 0.0,
                      i < 2 ? 0.0 : g[i]);
    }
    EXPECT_NEAR(expected[1], before[1] - 0.4 * 0.03, 1e-6) << "joint 2 at full speed";
    EXPECT_GT(std::fabs(expected[2] - status[2].position), 1e-4) << "joint 3 is moving home";
    EXPECT_GT(std::fabs(expected[3] - before[3]), 1e-3) << "joint 4 is moving home";
    EXPECT_GT(std::fabs(expected[4] - status[4].position), 1e-4) << "joint 5 is moving home";
    // The gripper is held at its zero whatever the host asked.
    const double zero = c.zero()[6];
    const double gripper = std::max(-2.0, std::min(2.0, (zero - 0.1 - status[6].position) * 8));
    expectCommand(frames[6], 8, 0, 0.2, 0, 0, gripper);
}

// Home is reached when every arm joint is within 0.08 rad of its zero and
// slower than 0.1 rad/s, judged on the measurements the cycle starts from.
TEST_F(ControllerStates, HomeIsWhereEveryJointIsCloseAndStill) {
    BusFixture& bus = *bus_;
    ProbedController& c = *bus.controller;
    auto expectedHome = [](const std::vector<HybridJointStatus>& status, bool* borderline) {
        bool home = true;
        for (std::size_t i = 0; i < 6; ++i) {
            const double p = std::fabs(status[i].position);
            const double v = std::fabs(status[i].velocity);
            *borderline = *borderline || std::fabs(p - 0.08) < 1e-4 || std::fabs(v - 0.1) < 1e-4;
            home = home && p < 0.08 && v < 0.1;
        }
        return home;
    };

    // At rest a little outside and a little inside the position tolerance
    // (joint 6, which carries no load; it rests within a few mrad of where
    // it is sent).
    struct Rest {
        double target;
        double low;
        double high;
    };
    for (const Rest rest : {Rest{0.095, 0.082, 0.115}, Rest{0.065, 0.045, 0.078}}) {
        SCOPED_TRACE("joint 6 at rest near " + std::to_string(rest.target));
        c.setState(kPositionControl);
        c.setJointTarget(5, rest.target);
        ASSERT_TRUE(bus.settleSetPoints(2000));
        ASSERT_TRUE(bus.cycleUntil([&] { return std::fabs(c.status()[5].velocity) < 0.02; }, 400));
        const std::vector<HybridJointStatus> status = c.status();
        ASSERT_GT(status[5].position, rest.low);
        ASSERT_LT(status[5].position, rest.high);
        c.setState(kGoHome);
        bus.cycle();
        bool borderline = false;
        EXPECT_EQ(c.homeReached(), expectedHome(status, &borderline));
        EXPECT_EQ(c.homeReached(), rest.target < 0.08);
    }

    // On the way home, cycle by cycle: near but still moving is not home.
    c.setState(kPositionControl);
    c.setJointTarget(2, 0.5);
    c.setJointTarget(4, 0.6);
    ASSERT_TRUE(bus.settleSetPoints(2000));
    c.setState(kGoHome);
    int near_but_moving = 0;
    int home_cycles = 0;
    for (int n = 0; n < 3000 && home_cycles < 20; ++n) {
        const std::vector<HybridJointStatus> status = c.status();
        bus.cycle();
        bool borderline = false;
        const bool home = expectedHome(status, &borderline);
        if (borderline) continue;
        EXPECT_EQ(c.homeReached(), home) << "cycle " << n;
        if (testing::Test::HasFailure()) break;
        home_cycles = home ? home_cycles + 1 : 0;
        bool all_near = true;
        for (std::size_t i = 0; i < 6; ++i) all_near = all_near && std::fabs(status[i].position) < 0.08;
        if (all_near && !home) ++near_but_moving;
    }
    EXPECT_EQ(home_cycles, 20) << "the arm never got home";
    EXPECT_GT(near_but_moving, 0) << "no cycle showed the velocity test";
}

TEST_F(ControllerStates, PositionControlClampsTargetsToTheJointLimits) {
    BusFixture& bus = *bus_;
    ProbedController& c = *bus.controller;
    c.setState(kPositionControl);

    // Joints 1 to 3 show the clamped target at once, in the feed-forward
    // towards it (stiffness on the position error, damping on the measured
    // velocity); the set-point takes one interpolation step towards it. One
    // cycle is checked from rest, one on the way; then the set-points come
    // to rest at the limits.
    auto expectTrackingCycle = [&](const double* limit) {
        const std::vector<HybridJointStatus> status = c.status();
        const std::vector<double> g = gravityAt(status);
        std::array<double, 7> set_point = c.setPoints();
        double vel[3] = {};
        for (std::size_t i = 0; i < 3; ++i) {
            qel::solve::Interpolation(&limit[i], &set_point[i], &vel[i], 0.5, 2.0, 200);
        }
        const Cycle cycle = bus.cycle();
        ASSERT_EQ(cycle.pattern(), kPaced);
        const auto frames = cycle.commands();
        for (std::size_t i = 0; i < 3; ++i) {
            const double feed_forward = (limit[i] - status[i].position) * 1.5 - status[i].velocity * 0.6;
            expectCommand(frames[i], kMotorIds[i], kTrackingGains[i].k_p, kTrackingGains[i].k_d, set_point[i],
                          vel[i], g[i] + feed_forward);
        }
    };
    for (const double* limit : {kUpper, kLower}) {
        const double beyond = limit == kUpper ? 4.0 : -4.0;
        SCOPED_TRACE(limit == kUpper ? "upper limits" : "lower limits");
        for (std::size_t i = 0; i < 3; ++i) c.setJointTarget(i, beyond);
        expectTrackingCycle(limit);
        ASSERT_TRUE(bus.cycleUntil([&] { return std::fabs(c.status()[1].velocity) > 0.5; }, 400))
            << "joint 2 never got going";
        expectTrackingCycle(limit);
        ASSERT_TRUE(bus.settleSetPoints(3000));
        const auto frames = bus.cycle().commands();
        ASSERT_EQ(frames.size(), 7u);
        for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(frames[i].cmd.position, limit[i], 1e-3) << "joint " << i + 1;
        for (std::size_t i = 0; i < 3; ++i) c.setJointTarget(i, 0.0);
        ASSERT_TRUE(bus.settleSetPoints(3000));
    }

    // Joints 4 to 6 have no feed-forward: their set-points come to rest at
    // the limits.
    for (const double* limit : {kUpper, kLower}) {
        SCOPED_TRACE(limit == kUpper ? "upper limits" : "lower limits");
        for (std::size_t i = 3; i < 6; ++i) c.setJointTarget(i, limit == kUpper ? 4.0 : -4.0);
        ASSERT_TRUE(bus.settleSetPoints(3000));
        const auto frames = bus.cycle().commands();
        ASSERT_EQ(frames.size(), 7u);
        for (std::size_t i = 3; i < 6; ++i) {
            EXPECT_NEAR(frames[i].cmd.position, limit[i], 1e-3) << "joint " << i + 1;
            EXPECT_NEAR(frames[i].cmd.k_p, kTrackingGains[i].k_p, kKpTol) << "joint " << i + 1;
            EXPECT_NEAR(frames[i].cmd.k_d, kTrackingGains[i].k_d, kKdTol) << "joint " << i + 1;
        }
    }
    for (std::size_t i = 3; i < 6; ++i) c.setJointTarget(i, 0.0);
    ASSERT_TRUE(bus.settleSetPoints(3000));

    // The gripper's range sits in the same table; no handler clamps to it
    // (its target is relative to the zero found at start-up).
    EXPECT_EQ(c.gripperLower(), 0.0);
    EXPECT_EQ(c.gripperUpper(), 5.0);

    // A NaN target holds the joint where its set-point is.
    c.setJointTarget(1, std::nan(""));
    const std::array<double, 7> before = c.setPoints();
    const auto frames = bus.cycle().commands();
    ASSERT_EQ(frames.size(), 7u);
    EXPECT_NEAR(frames[1].cmd.position, before[1], 2 * kPosTol);

    // The arm follows a clamped target to the limit.
    c.setJointTarget(1, -1.0);
    EXPECT_TRUE(bus.cycleUntil([&] { return std::fabs(bus.arm.states()[1].position + 0.1) < 0.03; }, 2000))
        << "joint 2 at " << bus.arm.states()[1].position;
}

TEST_F(ControllerStates, EndControlTracksTheClampedCommandWithItsOwnGains) {
    BusFixture& bus = *bus_;
    ProbedController& c = *bus.controller;
    KinematicDynamicSolver solver(urdfPath(), "base_link", "link6");
    const std::vector<double> home = qel::solve::Isometry2Xyzrpy(c.measuredPose());

    // x = -0.2 lies outside the box, whose x lower bound is 0: it is solved
    // as x = 0, which from home is the home pose itself.
    std::vector<double> command = home;
    command[0] = -0.2;
    c.setPoseCommand(qel::solve::Xyzrpy2Isometry(command.data()));
    c.setState(kEndControl);
    std::vector<double> clamped = home;
    clamped[0] = 0.0;
    KDL::Frame target(KDL::Rotation::RPY(clamped[3], clamped[4], clamped[5]),
                      KDL::Vector(clamped[0], clamped[1], clamped[2]));

    // The solution may take more than one cycle to arrive: run until it is
    // there and rests, then check the cycle that sent it.
    KDL::JntArray previous;
    for (int n = 0; n < 100; ++n) {
        const std::vector<HybridJointStatus> status = c.status();
        const std::vector<double> g = gravityAt(status);
        std::array<double, 7> set_point = c.setPoints();
        const Cycle cycle = bus.cycle();
        ASSERT_EQ(cycle.raised, "");
        ASSERT_EQ(cycle.pattern(), kPaced);
        const KDL::JntArray solved = c.solution();
        bool rests = solved.rows() == 6 && previous.rows() == 6;
        for (unsigned i = 0; rests && i < 6; ++i) rests = std::fabs(solved(i) - previous(i)) < 1e-4;
        previous = solved;
        if (!rests) continue;

        KDL::JntArray seed(6);
        for (int i = 0; i < 6; ++i) seed(i) = status[i].position;
        const KDL::JntArray expected = solver.computeInverseKinematics(target, seed);
        double goal[6];
        for (int i = 0; i < 6; ++i) {
            goal[i] = std::max(kLower[i], std::min(kUpper[i], expected(i)));
            EXPECT_NEAR(solved(i), goal[i], 1e-4) << "joint " << i + 1;
            goal[i] = solved(i);
        }
        // The frames: the pose gains (joint 4 stiffer), set-points one step
        // towards the solution, feed-forward towards it on joints 1 to 3.
        const auto frames = cycle.commands();
        for (int i = 0; i < 6; ++i) {
            double vel = 0.0;
            qel::solve::Interpolation(&goal[i], &set_point[i], &vel, 0.5, 2.0, 200);
            const double feed_forward =
                i < 3 ? (goal[i] - status[i].position) * 1.5 - status[i].velocity * 0.6 : 0.0;
            expectCommand(frames[i], kMotorIds[i], kPoseGains[i].k_p, kPoseGains[i].k_d, set_point[i], vel,
                          g[i] + feed_forward);
        }
        break;
    }
    ASSERT_EQ(previous.rows(), 6u) << "no solution";

    // A pose the arm can reach: the frames carry joint 4's pose stiffness
    // while the arm moves there, and the arm gets there.
    KDL::JntArray q(6);
    const double joints[6] = {0.2, 0.6, 0.5, 0.1, 0.3, -0.2};
    for (int i = 0; i < 6; ++i) q(i) = joints[i];
    const KDL::Frame flange = solver.computeForwardKinematics(q);
    double pose[6] = {flange.p.x(), flange.p.y(), flange.p.z(), 0, 0, 0};
    flange.M.GetRPY(pose[3], pose[4], pose[5]);
    c.setPoseCommand(qel::solve::Xyzrpy2Isometry(pose));
    const Cycle moving = bus.cycle();
    ASSERT_EQ(moving.pattern(), kPaced);
    EXPECT_NEAR(moving.commands()[3].cmd.k_p, 70, kKpTol);
    EXPECT_TRUE(bus.cycleUntil([&] {
        const auto s = c.status();
        for (int i = 0; i < 6; ++i) {
            if (std::fabs(s[i].position - joints[i]) > 0.01) return false;
        }
        return true;
    }, 4000)) << "the arm did not reach the pose";
}

TEST_F(ControllerStates, AnUnreachableCommandIsReplacedByTheReachableEdgeOnTheLine) {
    BusFixture& bus = *bus_;
    ProbedController& c = *bus.controller;
    KinematicDynamicSolver solver(urdfPath(), "base_link", "link6");
    // No motion while the search runs, so that the line starts where the arm
    // is throughout.
    c.setInterpolationParam(0.0, 0.0);
    c.setState(kEndControl);
    std::vector<double> from = qel::solve::Isometry2Xyzrpy(c.measuredPose());
    std::vector<double> command = from;
    command[0] = command[1] = command[2] = 0.53;
    c.setPoseCommand(qel::solve::Xyzrpy2Isometry(command.data()));

    // Driven directly, the controller searches inside each cycle, from the
    // joints and pose it loaded at the end of the cycle before. Near the edge
    // the solver's answer moves with every bit of the measured joints, so the
    // answer never rests: check one cycle's answer against that cycle's own
    // inputs, read just before it ran.
    CaptureStderr();
    bus.cycles(3);
    const std::vector<HybridJointStatus> seed_status = c.status();
    const Eigen::Isometry3d measured = c.measuredPose();
    const Cycle cycle = bus.cycle();
    const std::string err = GetCapturedStderr();
    ASSERT_EQ(cycle.raised, "");
    ASSERT_EQ(cycle.pattern(), kPaced);
    const KDL::JntArray previous = c.solution();
    ASSERT_EQ(previous.rows(), 6u) << "no solution";
    EXPECT_NE(err.find("Inverse kinematics computation failed"), std::string::npos)
        << "the command itself is unreachable";

    // The solution is the edge's, clamped to the joint limits; where no
    // joint needed clamping it reaches the edge itself.
    bool clamped = false;
    for (int i = 0; i < 6; ++i) {
        EXPECT_GE(previous(i), kLower[i] - 1e-12) << "joint " << i + 1;
        EXPECT_LE(previous(i), kUpper[i] + 1e-12) << "joint " << i + 1;
        clamped = clamped || previous(i) <= kLower[i] + 1e-9 || previous(i) >= kUpper[i] - 1e-9;
    }
    // The line starts where the arm was measured for that cycle.
    from = qel::solve::Isometry2Xyzrpy(measured);
    const KDL::Frame reached = solver.computeForwardKinematics(previous);
    const double along = (reached.p.x() - from[0]) / (command[0] - from[0]);
    EXPECT_GT(along, 0.0);
    EXPECT_LT(along, 1.0);
    if (clamped) return;
    EXPECT_NEAR(reached.p.y(), from[1] + along * (command[1] - from[1]), 2e-3) << "on the line";
    EXPECT_NEAR(reached.p.z(), from[2] + along * (command[2] - from[2]), 2e-3) << "on the line";
    // The edge, not just some point on the way: a little further along is
    // out of reach.
    const double beyond = std::min(1.0, along + 0.02);
    KDL::Frame further(KDL::Rotation::RPY(from[3], from[4], from[5]),
                       KDL::Vector(from[0] + beyond * (command[0] - from[0]),
                                   from[1] + beyond * (command[1] - from[1]),
                                   from[2] + beyond * (command[2] - from[2])));
    KDL::JntArray seed(6);
    for (int i = 0; i < 6; ++i) seed(i) = seed_status[i].position;
    CaptureStderr();
    EXPECT_THROW(solver.computeInverseKinematics(further, seed), std::runtime_error);
    GetCapturedStderr();
    c.setState(kProtect);
}

// The workspace box, one face at a time: a command beyond the face in one
// coordinate is solved as the pose on the face. Each pose below is one whose
// solution tells the face's position from one 0.01 further in or out.
TEST_F(ControllerStates, EndControlClampsEachCoordinateToTheWorkspaceBox) {
    BusFixture& bus = *bus_;
    ProbedController& c = *bus.controller;
    KinematicDynamicSolver solver(urdfPath(), "base_link", "link6");
    struct Face {
        const char* name;
        int coordinate;  // x, y, z (m), roll, pitch, yaw (rad)
        double bound;
        double beyond;
        std::array<double, 6> on_face;  // the command as it must be solved; inside the box but for `coordinate`
    };
    constexpr double k100 = 1.7453292519943295;  // 100°
    constexpr double k85 = 1.4835298641951802;   // 85°
    const Face faces[] = {
        {"x lower", 0, 0.0, -0.2, {0.0, 0.3, 0.0, 0.0, 0.0, 0.0}},
        {"x upper", 0, 0.53, 0.75, {0.53, 0.0, 0.0, -0.15, 0.0, -0.3}},
        {"y lower", 1, -0.53, -0.75, {0.15, -0.53, 0.0, 0.0, 0.3, 0.0}},
        {"y upper", 1, 0.53, 0.75, {0.15, 0.53, 0.0, 0.0, 0.3, 0.0}},
        {"z lower", 2, -0.53, -0.75, {0.0, -0.3, -0.53, 0.0, 0.0, -0.3}},
        {"roll lower", 3, -k100, -2.4, {0.06, -0.2, 0.3, -k100, -0.3, 0.0}},
        {"roll upper", 3, k100, 2.4, {0.06, 0.2, 0.3, k100, -0.3, 0.0}},
        {"pitch lower", 4, -k85, -1.55, {0.02, 0.26, 0.45, 1.41, -k85, 0.3}},
        {"pitch upper", 4, k85, 1.55, {0.2, 0.0, 0.0, 0.0, k85, 0.0}},
        {"yaw lower", 5, -k85, -2.2, {0.3, 0.0, 0.0, 0.0, 0.3, -k85}},
        {"yaw upper", 5, k85, 2.2, {0.3, 0.0, 0.0, 0.0, 0.3, k85}},
    };
    // The target the controller must reach for a pose: its inverse
    // kinematics from the measured joints, clamped to the joint limits (the
    // z lower face lies below what the limits allow).
    auto solve = [&](const std::array<double, 6>& pose, const KDL::JntArray& seed, KDL::JntArray* out) {
        KDL::Frame frame(KDL::Rotation::RPY(pose[3], pose[4], pose[5]), KDL::Vector(pose[0], pose[1], pose[2]));
        try {
            *out = solver.computeInverseKinematics(frame, seed);
        } catch (const std::runtime_error&) {
            return false;
        }
        for (int i = 0; i < 6; ++i) (*out)(i) = std::max(kLower[i], std::min(kUpper[i], (*out)(i)));
        return true;
    };
    auto distance = [](const KDL::JntArray& a, const KDL::JntArray& b) {
        double d = 0.0;
        for (int i = 0; i < 6; ++i) d = std::max(d, std::fabs(a(i) - b(i)));
        return d;
    };

    // The arm holds still meanwhile, so every case starts from about home.
    c.setInterpolationParam(0.0, 0.0);
    c.setState(kEndControl);
    CaptureStderr();
    for (const Face& face : faces) {
        SCOPED_TRACE(face.name);
        KDL::JntArray seed(6);
        const std::vector<HybridJointStatus> status = c.status();
        for (int i = 0; i < 6; ++i) seed(i) = status[i].position;
        KDL::JntArray expected;
        ASSERT_TRUE(solve(face.on_face, seed, &expected)) << "the pose on the face is reachable";
        for (double shift : {-0.01, 0.01}) {
            std::array<double, 6> moved = face.on_face;
            moved[face.coordinate] += shift;
            KDL::JntArray other;
            ASSERT_TRUE(!solve(moved, seed, &other) || distance(other, expected) > 2e-3)
                << "this pose cannot tell the face from one moved by " << shift;
        }

        std::array<double, 6> command = face.on_face;
        command[face.coordinate] = face.beyond;
        c.setPoseCommand(qel::solve::Xyzrpy2Isometry(command.data()));
        const Cycle cycle = bus.cycle();
        ASSERT_EQ(cycle.raised, "");
        ASSERT_EQ(cycle.pattern(), kPaced);
        const KDL::JntArray solved = c.solution();
        ASSERT_EQ(solved.rows(), 6u);
        for (int i = 0; i < 6; ++i) EXPECT_NEAR(solved(i), expected(i), 1e-4) << "joint " << i + 1;
    }

    // The z upper face is out of reach from home: the arm is sent to the
    // reachable edge of the line towards the pose on the face, and that line
    // tells where the face is.
    const std::array<double, 6> on_face{0.3, 0.0, 0.53, 0.0, 0.0, 0.0};
    std::array<double, 6> command = on_face;
    command[2] = 0.75;
    const std::vector<double> from = qel::solve::Isometry2Xyzrpy(c.measuredPose());
    KDL::JntArray seed(6);
    const std::vector<HybridJointStatus> status = c.status();
    for (int i = 0; i < 6; ++i) seed(i) = status[i].position;
    KDL::JntArray unused;
    ASSERT_FALSE(solve(on_face, seed, &unused)) << "the z upper face is out of reach";
    c.setPoseCommand(qel::solve::Xyzrpy2Isometry(command.data()));
    const Cycle cycle = bus.cycle();
    GetCapturedStderr();
    ASSERT_EQ(cycle.raised, "");
    const KDL::JntArray solved = c.solution();
    ASSERT_EQ(solved.rows(), 6u);
    for (int i = 0; i < 6; ++i) {
        ASSERT_GT(solved(i), kLower[i] + 1e-3) << "the edge is within joint " << i + 1 << "'s limits";
        ASSERT_LT(solved(i), kUpper[i] - 1e-3) << "the edge is within joint " << i + 1 << "'s limits";
    }
    const KDL::Frame reached_frame = solver.computeForwardKinematics(solved);
    double reached[6] = {reached_frame.p.x(), reached_frame.p.y(), reached_frame.p.z(), 0, 0, 0};
    reached_frame.M.GetRPY(reached[3], reached[4], reached[5]);
    const double along = (reached[0] - from[0]) / (on_face[0] - from[0]);
    ASSERT_GT(along, 0.3) << "the edge lies well along the line";
    EXPECT_NEAR(from[2] + (reached[2] - from[2]) / along, 0.53, 2e-3) << "where the line meets the face";
    for (int i : {1, 3, 4, 5}) {
        EXPECT_NEAR(reached[i], from[i] + along * (on_face[i] - from[i]), 2e-3) << "coordinate " << i;
    }
    c.setState(kProtect);
}

// Joints 4 to 6 and the gripper have the small motors, whose torque range is
// ±10 instead of ±28. With a payload, joints 4 and 5 carry gravity torque
// that shows the range on the wire; joint 6's axis runs through the payload
// and its torque stays below a quantum of either range, so for it (and for
// every motor) the driver's own frame for a torque of 1.0 is checked too.
TEST_F(ControllerStates, EachMotorCommandsTorqueInItsOwnRange) {
    BusFixture& bus = *bus_;
    ProbedController& c = *bus.controller;
    c.setState(kPositionControl);
    const double posture[6] = {0.0, 0.6, 0.5, 0.8, 0.6, 0.8};
    for (std::size_t i = 0; i < 6; ++i) c.setJointTarget(i, posture[i]);
    ASSERT_TRUE(bus.settleSetPoints(3000)) << bus.describe();
    c.setEndEffectorMass(2.0);
    bus.cycle();  // the torques of this cycle were computed before the payload

    const std::vector<double> g = gravityAt(c.status(), 2.0);
    const Cycle cycle = bus.cycle();
    ASSERT_EQ(cycle.pattern(), kPaced);
    const auto frames = cycle.commands();
    for (std::size_t i = 3; i < 5; ++i) {
        SCOPED_TRACE("joint " + std::to_string(i + 1));
        ASSERT_GT(std::fabs(g[i]), 0.2) << "too little load to tell the ranges apart";
        EXPECT_NEAR(frames[i].cmd.torque, g[i], torqueTol(frames[i].id));
        const double as_large = hw_interface::unpackImpedanceFrame(frames[i].frame, 28.0).torque;
        EXPECT_GT(std::fabs(as_large - g[i]), 0.1) << "read with the large motors' range it does not match";
    }
    c.setEndEffectorMass(0.0);

    const char* ends[7] = {"08 48", "08 48", "08 48", "08 CC", "08 CC", "08 CC", "08 CC"};
    for (std::size_t i = 0; i < 7; ++i) {
        const CanFrame frame = c.driver(i)->packMotorMsg(0, 0, 0, 0, 1.0);
        EXPECT_EQ(frame.can_id, static_cast<uint32_t>(kMotorIds[i])) << "slot " << i;
        EXPECT_EQ(test::hexBytes(frame), std::string("7F FF 7F F0 00 00 ") + ends[i]) << "motor " << kMotorIds[i];
    }
}

TEST_F(ControllerStates, GripperCommands) {
    BusFixture& bus = *bus_;
    ProbedController& c = *bus.controller;
    c.setState(kPositionControl);
    c.setGripperPosition(0.0);
    bus.cycles(40);

    // Near its zero, a target of 0 presses on towards the stop.
    const double zero = c.zero()[6];
    const double measured = c.status()[6].position;
    Cycle cycle = bus.cycle();
    ASSERT_EQ(cycle.pattern(), kPaced);
    expectCommand(cycle.commands()[6], 8, 0, 0.2, 0, 0,
                  std::max(-2.0, std::min(2.0, (zero - 0.1 - measured) * 8)));

    // Torque mode: the host's current clamped to ±2; 2.0 for a Type-2 motor.
    c.setGripperTorque(5.0);
    expectCommand(bus.cycle().commands()[6], 8, 0, 0.2, 0, 0, 2.0);
    c.setGripperTorque(-3.0);
    expectCommand(bus.cycle().commands()[6], 8, 0, 0.2, 0, 0, -2.0);

    c.setCatchActionFast();
    c.setGripperPosition(1.5);
    expectCommand(bus.cycle().commands()[6], 8, 5.0, 0.5, 1.5, 0, 0);
    c.setCatchActionSlow();
}

TEST_F(ControllerStates, ASilentGripperDoesNotStopTheArm) {
    BusFixture& bus = *bus_;
    ProbedController& c = *bus.controller;
    c.setState(kPositionControl);
    bus.arm.silenceMotor(8);
    // Beyond the gripper's time-out: at least 200 cycles of at least 5 ms.
    bus.cycles(200);
    EXPECT_TRUE(c.allOnline());
    EXPECT_TRUE(c.getErrorCode().empty());
    const Cycle cycle = bus.cycle();
    ASSERT_EQ(cycle.pattern(), kPaced) << "still tracking, not damped";
    EXPECT_NEAR(cycle.commands()[0].cmd.k_p, 150, kKpTol);
    bus.arm.clearFaults(8);
}

TEST(ControllerFaults, AnOfflineArmMotorIsReportedEveryCycleAndDampsTheArm) {
    BusFixture bus;
    bus.running(kPositionControl);

    bus.arm.silenceMotor(4);  // joint 3
    ASSERT_TRUE(bus.cycleUntil([&] { return !bus.controller->allOnline(); }, 400));
    bus.controller->getErrorCode();

    CaptureStdout();
    std::vector<Cycle> run;
    for (int n = 0; n < 5; ++n) run.push_back(bus.cycle());
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(bus.controller->getErrorCode(), (std::vector<int>{32, 32, 32, 32, 32}));
    const std::string line = "电机掉线！掉线电机编号：3 \n";
    std::size_t count = 0;
    for (std::size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1)) ++count;
    EXPECT_EQ(count, 5u) << out;
    for (const Cycle& cycle : run) {
        SCOPED_TRACE("damped whatever the state");
        EXPECT_EQ(cycle.raised, "");
        expectProtect(cycle);
    }
}

TEST(ControllerFaults, ABusSilentForTwoSecondsIsReportedEveryCycle) {
    BusFixture bus;
    ProbedController& c = bus.running(kPositionControl);

    CaptureStdout();  // the offline report, every cycle
    bus.arm.silenceBus();
    ASSERT_TRUE(bus.cycleUntil([&] {
        const std::vector<int> codes = c.getErrorCode();
        return std::count(codes.begin(), codes.end(), 2) > 0;
    }, 4000)) << "the bus was never reported offline";

    // Every cycle: the bus, then each arm motor; and the arm is damped. While
    // the bus stays silent the adapter replaces its socket once a second, and
    // a cycle that falls into that gap has nowhere to write its frames.
    constexpr int kCycles = 10;
    std::vector<Cycle> run;
    for (int n = 0; n < kCycles; ++n) run.push_back(bus.cycle());
    GetCapturedStdout();
    const std::vector<int> one_cycle{2, 12, 22, 32, 42, 52, 62};
    std::vector<int> expected;
    for (int n = 0; n < kCycles; ++n) expected.insert(expected.end(), one_cycle.begin(), one_cycle.end());
    EXPECT_EQ(c.getErrorCode(), expected);
    int damped = 0;
    for (const Cycle& cycle : run) {
        EXPECT_EQ(cycle.raised, "");
        if (cycle.pattern() == kBackToBack) {
            expectProtect(cycle);
            ++damped;
            continue;
        }
        // Cut short by the gap: what it did write is damping.
        for (const Command& command : cycle.commands()) {
            const int i = static_cast<int>(std::find(kMotorIds, kMotorIds + 7, static_cast<int>(command.id)) - kMotorIds);
            ASSERT_LT(i, 7);
            expectCommand(command, kMotorIds[i], 0, i < 6 ? kProtectGains[i].k_d : 0.0, 0, 0, 0);
        }
    }
    EXPECT_GE(damped, kCycles / 2);
}

// A driver code is recorded as 10·n + c − 5; the fault raised names motor n
// and code c even where that encoding reads back as another motor, as an
// offline report or as nothing.
TEST(ControllerFaults, MotorFaultsAreRaisedWithTheMotorAndItsOwnCode) {
    BusFixture bus;
    ProbedController& c = bus.running(kPositionControl);

    // Codes 0 and 1 mean healthy.
    for (int healthy : {0, 1}) {
        bus.arm.setStatusCode(2, healthy);
        bus.cycles(5);
        EXPECT_TRUE(c.getErrorCode().empty()) << healthy;
    }
    bus.arm.setStatusCode(2, std::nullopt);

    struct Case {
        int motor_id;
        int code;
        int recorded;
        const char* message;
    };
    const Case cases[] = {
        {2, 10, 25, "电机故障，电机编号：2，故障类型：10"},  // decodes back exactly
        {2, 3, 18, "电机故障，电机编号：2，故障类型：3"},    // reads as motor 1, code 13
        {5, 7, 42, "电机故障，电机编号：4，故障类型：7"},    // reads as joint 4 offline
        {1, 2, 7, "电机故障，电机编号：1，故障类型：2"},     // at or below 10: reads as nothing
        {1, 3, 8, "电机故障，电机编号：1，故障类型：3"},
        {1, 4, 9, "电机故障，电机编号：1，故障类型：4"},
        {1, 5, 10, "电机故障，电机编号：1，故障类型：5"},
        {8, 9, 74, "电机故障，电机编号：7，故障类型：9"},    // the gripper is motor 7
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.message);
        bus.arm.setStatusCode(k.motor_id, k.code);
        Cycle raised;
        for (int n = 0; n < 40 && raised.raised.empty(); ++n) raised = bus.cycle();
        EXPECT_EQ(raised.raised, k.message);
        // Damped, then a 100 ms pause, then the raise.
        EXPECT_EQ(raised.pattern(), kBackToBack + " P100000");
        const std::vector<int> codes = c.getErrorCode();
        ASSERT_FALSE(codes.empty());
        EXPECT_EQ(codes.front(), k.recorded);
        bus.arm.setStatusCode(k.motor_id, std::nullopt);
        ASSERT_TRUE(bus.settle(3));
    }
}

TEST(ControllerFaults, SustainedOverCurrentTripsOnTheTwoHundredthCheck) {
    BusFixture bus;
    bus.construct();
    ProbedController& c = *bus.controller;
    c.setState(kGoHome);
    // Just within the limit of 13 (it reads back as -12.989): never a trip.
    bus.arm.setReportedCurrent(5, -12.99);  // joint 4
    ASSERT_TRUE(bus.cycleUntil([&] { return c.status()[3].current < -12.9; }, 100));
    ASSERT_GT(c.status()[3].current, -13.0);
    for (int n = 1; n <= 250; ++n) {
        const Cycle cycle = bus.cycle();
        ASSERT_EQ(cycle.raised, "") << "check " << n << " within the limit";
    }
    // Just beyond it (-13.007): the watch counts from here.
    bus.arm.setReportedCurrent(5, -13.01);
    // Until the measurement shows it, no check is over the limit.
    ASSERT_TRUE(bus.cycleUntil([&] { return c.status()[3].current < -13.0; }, 100));

    for (int n = 1; n < 200; ++n) {
        const Cycle cycle = bus.cycle();
        ASSERT_EQ(cycle.raised, "") << "check " << n;
    }
    c.getErrorCode();
    const Cycle trip = bus.cycle();
    EXPECT_EQ(trip.raised, "关节力矩超限！");
    EXPECT_EQ(c.getErrorCode(), std::vector<int>{1});
    // Only the damping frames, not the homing ones, then the pause.
    ASSERT_EQ(trip.pattern(), kBackToBack + " P100000");
    Cycle damping = trip;
    damping.events.pop_back();
    expectProtect(damping);
    bus.arm.setReportedCurrent(5, std::nullopt);
}

}  // namespace
}  // namespace qel::m4
