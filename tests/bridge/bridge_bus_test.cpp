// The bridge on a live arm, seen from a ROS 2 peer in another process: the
// virtual arm on the test bus, the library's threaded interface, the bridge in
// this process, and the suite's peer (Cyclone DDS with the test's own message
// types) on loopback DDS. What the peer reads is checked against the virtual
// arm and the command frames on the bus; what the motions sent is read from
// the controller's own record of its frames, cycle by cycle, with the
// bridge's motion calls marked in it, never from how fast this machine ran.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Ros2Peer.hpp"
#include "bridge/ArmPort.hpp"
#include "bridge/Ros2Bridge.hpp"
#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "qel/interfaces/InterfacesThread.hpp"
#include "support/ArmOnBus.hpp"
#include "support/ArmStates.hpp"
#include "support/CanRecorder.hpp"
#include "support/CommandCycles.hpp"
#include "support/MotionReference.hpp"
#include "support/SendTrace.hpp"

namespace qel::test {
namespace {

using namespace std::chrono_literals;
using namespace states;
using m4::MotionKind;
using m4::MotionState;

const std::vector<std::string> kNames{"joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "gripper"};
const std::string kArmJoints = "joint1,joint2,joint3,joint4,joint5,joint6";
constexpr uint32_t kJoint2Motor = 2;
// A new stream's first target is set 15 ms ahead (a 10 ms period assumed and
// one control cycle); the gentlest braking of a stream that stopped is
// 10 rad/s².
constexpr double kFirstStreamLead = 0.015;        // s
constexpr double kGentlestStreamBraking = 10.0;  // rad/s²

bool contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& line : lines) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

// Numbers as the peer's command line takes them; `values` are rounded the
// same way, so that the test expects what the peer sends.
std::string list(std::vector<double>& values) {
    std::string text;
    for (double& v : values) {
        char number[32];
        std::snprintf(number, sizeof number, "%.6f", v);
        v = std::strtod(number, nullptr);
        text += (text.empty() ? "" : ",") + std::string(number);
    }
    return text;
}

// Timed points of a trajectory that moves joint 1 by `dq` from `q`.
struct Offset {
    double t;
    double dq;
};
std::string trajectoryPoints(const std::vector<double>& q, const std::vector<Offset>& offsets) {
    std::string text;
    for (const Offset& o : offsets) {
        std::vector<double> p = q;
        p[0] += o.dq;
        char time[32];
        std::snprintf(time, sizeof time, "%g:", o.t);
        text += (text.empty() ? "" : ";") + std::string(time) + list(p);
    }
    return text;
}

// The cycles that may have taken the trajectory of the `n`-th follow call
// in a trace (see MarkedArm::follow): from the first that began after the
// call began to the last that began before it returned, which it waits for
// to take the trajectory. Planning runs in the call, and on a slow machine
// (the thread sanitizer's) it may take a cycle or more.
struct TakenWithin {
    std::size_t first;
    std::size_t last;
};
TakenWithin followTakenWithin(const std::vector<CommandCycle>& sent, std::size_t n) {
    const std::size_t first = firstCycleAfterMarks(sent, 2 * n - 1);
    const std::size_t returned = firstCycleAfterMarks(sent, 2 * n);
    return {first, returned > first ? returned - 1 : first};
}

// Joint 1's set-point on the wire passes through each point (`q0` moved by
// its offset) at its time from the cycle that took the trajectory (one of
// `taken`, or the next, which a call just before a cycle began waits for),
// to a quantum of the wire: a cycle sends the point of its own end, so the
// point at t goes out t / 5 ms − 1 cycles after.
void expectThroughPoints(const std::vector<CommandCycle>& sent, TakenWithin taken, double q0,
                         const std::vector<Offset>& points) {
    double latest = 0.0;
    for (const Offset& point : points) latest = std::max(latest, point.t);
    ASSERT_LT(taken.last + static_cast<std::size_t>(std::lround(latest / kCycle)), sent.size());
    auto off = [&](std::size_t from, const Offset& point) {
        const std::size_t at = from + static_cast<std::size_t>(std::lround(point.t / kCycle)) - 1;
        const double target = q0 + point.dq;
        return std::min(std::fabs(sent[at].command[0].position - target),
                        std::fabs(sent[at + 1].command[0].position - target));
    };
    std::size_t best = taken.first;
    double best_worst = 1e9;
    for (std::size_t from = taken.first; from <= taken.last; ++from) {
        double worst = 0.0;
        for (const Offset& point : points) worst = std::max(worst, off(from, point));
        if (worst < best_worst) {
            best_worst = worst;
            best = from;
        }
    }
    for (const Offset& point : points) {
        EXPECT_LE(off(best, point), kPositionQuantum + 1e-6) << "the point at " << point.t << " s, taken in cycle "
                                                             << best << " (" << taken.first << " to " << taken.last
                                                             << ")";
    }
}

// Stamps come from the cycles that took the values, in order, and before the
// peer received them.
void expectStampedByTheirCycles(const std::vector<PeerState>& states) {
    for (std::size_t i = 0; i < states.size(); ++i) {
        EXPECT_LE(states[i].stamp_ns, states[i].received_ns) << "sample " << i;
        if (i > 0) {
            EXPECT_GT(states[i].stamp_ns, states[i - 1].stamp_ns) << "sample " << i;
        }
    }
}

// `rate` a second is one slot every 200 / rate control cycles; every slot
// that fell due between two diagnostics is accounted for, published or
// skipped (by a bridge starved on a loaded machine) or refused by DDS.
void expectRate(Ros2Peer& peer, const std::string& ns, uint64_t rate) {
    PublicationCount first, last;
    ASSERT_TRUE(peer.publicationWindow(ns, &first, &last)) << "no diagnostics with the counts";
    EXPECT_EQ(last.published - first.published + last.skipped - first.skipped + last.failed - first.failed,
              dueSlots(first.cycle, last.cycle, rate))
        << ns << " from cycle " << first.cycle << " to " << last.cycle;
    EXPECT_GT(last.published, first.published);
}

// The stiffness and damping of the newest command frame to `motor` on `wire`.
hw_interface::HybridJointCmd lastCommand(CanRecorder& wire, uint32_t motor) {
    wire.clear();
    if (!wire.waitFor([motor](const CanFrame& f) { return f.can_id == motor; }, 3, 20s)) return {};
    return hw_interface::unpackImpedanceFrame(wire.framesWithId(motor).back().frame, 10.0);
}

// The arm as the bridge drives it, with a mark in the controller's send trace
// before every motion call, so that the trace shows which control cycles
// came after which command; it keeps what the bridge asked and what the arm
// answered.
class MarkedArm : public ros2::InterfacesArm {
public:
    struct Call {
        bool trajectory = false;
        std::vector<double> q;  // a streamed target
        double time = 0.0;      // its lead
        std::string refusal;
    };
    using InterfacesArm::InterfacesArm;

    std::string stream(const std::vector<double>& q, double time) override {
        SendTrace::mark(0);
        const std::string refusal = InterfacesArm::stream(q, time);
        record({false, q, time, refusal});
        return refusal;
    }
    // Marked as it begins and as it returns.
    std::string follow(const std::vector<m4::TrajectoryPoint>& points) override {
        SendTrace::mark(1);
        const std::string refusal = InterfacesArm::follow(points);
        SendTrace::mark(2);
        record({true, {}, 0.0, refusal});
        return refusal;
    }
    // The calls since the last take.
    std::vector<Call> takeCalls() {
        std::lock_guard<std::mutex> guard(mutex_);
        return std::move(calls_);
    }
    std::size_t callCount() {
        std::lock_guard<std::mutex> guard(mutex_);
        return calls_.size();
    }
    // The last call, once there is one.
    std::optional<Call> lastCall() {
        std::lock_guard<std::mutex> guard(mutex_);
        if (calls_.empty()) return std::nullopt;
        return calls_.back();
    }

private:
    void record(Call call) {
        std::lock_guard<std::mutex> guard(mutex_);
        calls_.push_back(std::move(call));
    }
    std::mutex mutex_;
    std::vector<Call> calls_;
};

// One arm with its bridge: the controller on `bus`, served under `ns`.
struct BridgedArm {
    BridgedArm(const char* bus, const std::string& ns, double rate, int domain)
        : arm(QEL_TEST_URDF, bus, 0), port(arm), bridge(options(ns, rate, domain, bus)) {
        bridge.attach(port);
    }
    static ros2::BridgeOptions options(const std::string& ns, double rate, int domain, const char* bus) {
        ros2::BridgeOptions o;
        o.ros_namespace = ns;
        o.rate_hz = rate;
        o.domain = domain;
        o.hardware_id = bus;
        return o;
    }
    m4::InterfacesThread arm;
    MarkedArm port;
    ros2::Ros2Bridge bridge;
};

std::vector<double> here(m4::InterfacesThread& arm) {
    std::vector<double> q = arm.getJointPositons();
    q.resize(6);
    return q;
}

bool atRest(m4::InterfacesThread& arm) {
    return eventually([&] {
        for (double v : arm.getJointVelocities()) {
            if (std::fabs(v) > 0.02) return false;
        }
        return true;
    }, 10s);
}

// Waits until the controller has run `n` more cycles.
void runCycles(m4::InterfacesThread& arm, uint64_t n) {
    const uint64_t until = arm.getJointSample().cycle + n;
    ASSERT_TRUE(eventually([&] { return arm.getJointSample().cycle >= until; }, 30s));
}

class BridgeBusTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        domain_ = useLoopbackDds();
        bus_ = new ArmOnBus();
        left_ = new BridgedArm(kTestBus, "left", 100.0, domain_);
        peer_ = new Ros2Peer();
    }
    static void TearDownTestSuite() {
        delete peer_;
        delete left_;
        delete bus_;
    }
    // Every test starts with the arm held where it is, in joint position
    // control, with no fault latched.
    // A controller that lost its motors on a starved machine stays damped for
    // good: it is replaced rather than handed to the next test.
    void SetUp() override {
        ASSERT_TRUE(peer_->ready()) << "the ROS 2 peer did not start";
        if (holdHere(left_->arm)) return;
        delete left_;
        left_ = new BridgedArm(kTestBus, "left", 100.0, domain_);
        ASSERT_TRUE(holdHere(left_->arm)) << "the arm comes to rest";
    }
    static bool holdHere(m4::InterfacesThread& arm) {
        arm.setJointPositions(here(arm));
        arm.setArmStatus(kPositionControl);
        return atRest(arm);
    }

    static int domain_;
    static ArmOnBus* bus_;
    static BridgedArm* left_;
    static Ros2Peer* peer_;
};
int BridgeBusTest::domain_ = 0;
ArmOnBus* BridgeBusTest::bus_ = nullptr;
BridgedArm* BridgeBusTest::left_ = nullptr;
Ros2Peer* BridgeBusTest::peer_ = nullptr;

TEST_F(BridgeBusTest, JointStatesCarryTheSevenAxesAtTheConfiguredRateStampedWithTheirCycle) {
    const std::vector<PeerState> states = peer_->states("left", 41);
    ASSERT_EQ(states.size(), 41u);
    for (const PeerState& s : states) {
        ASSERT_EQ(s.names, kNames);
        ASSERT_EQ(s.position.size(), 7u);
        ASSERT_EQ(s.velocity.size(), 7u);
        ASSERT_EQ(s.effort.size(), 7u) << "the motor currents";
    }
    expectStampedByTheirCycles(states);
    // 100 a second: every other control cycle.
    expectRate(*peer_, "left", 100);
    // The arm rests at home after start-up; the gripper at its zero.
    const auto truth = bus_->arm().states();
    const PeerState& last = states.back();
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_NEAR(last.position[i], truth[i].position, 0.02) << kNames[i];
        EXPECT_NEAR(last.velocity[i], 0.0, 0.1) << kNames[i];
    }
    EXPECT_NEAR(last.position[6], 0.0, 0.2) << "gripper from its calibrated zero";
    const m4::JointSample sample = left_->arm.getJointSample();
    EXPECT_NEAR(last.effort[1], sample.currents[1], 0.5) << "joint 2 holds the arm against gravity";
}

// As a ros2_control hardware interface streams a trajectory controller's
// output: positions only, 100 a second. Streaming needs no state change: the
// arm rests in go home, and the first command already moves it.
TEST_F(BridgeBusTest, AJointCommandStreamMovesJoint1FromGoHomeAndBrakesToRestWhenItStops) {
    m4::InterfacesThread& arm = left_->arm;
    arm.setArmStatus(kGoHome);
    ASSERT_TRUE(atRest(arm));
    std::vector<double> from = here(arm);
    std::vector<double> to = from;
    to[0] += 0.3;  // 0.5 rad/s over 0.6 s
    const std::string command = "stream left " + kArmJoints + " 100 60 " + list(from) + " " + list(to);

    SendTrace trace;
    left_->port.takeCalls();
    runCycles(arm, 5);
    ASSERT_EQ(peer_->run(command), "ok 60");
    ASSERT_TRUE(eventually([&] {
        const auto last = left_->port.lastCall();
        return last && std::fabs(last->q[0] - to[0]) < 1e-9;
    }, 20s)) << "the last command reached the arm";
    ASSERT_TRUE(eventually([&] { return arm.motionStatus().state != MotionState::kMoving; }, 20s));
    EXPECT_EQ(arm.motionStatus().state, MotionState::kDone) << arm.motionStatus().reason;
    runCycles(arm, 30);
    trace.stop();
    const std::vector<MarkedArm::Call> calls = left_->port.takeCalls();
    for (const auto& call : calls) EXPECT_EQ(call.refusal, "") << "every command streamed";
    EXPECT_DOUBLE_EQ(calls.front().time, kFirstStreamLead);
    const std::vector<CommandCycle> sent = commandCycles(trace.events());

    // Go home holds joint 1 still until the cycle that takes the first
    // command (or the next): that one already moves it.
    const std::size_t first = firstCycleAfterMarks(sent, 1);
    ASSERT_GE(first, 5u);
    ASSERT_LT(first + 1, sent.size());
    for (std::size_t k = 0; k < first; ++k) {
        EXPECT_LE(std::fabs(sent[k].command[0].velocity), kVelocityQuantum / 2 + 1e-9) << "cycle " << k;
        EXPECT_NEAR(sent[k].command[0].position, sent[0].command[0].position, kPositionQuantum) << "cycle " << k;
    }
    EXPECT_TRUE(std::fabs(sent[first].command[0].velocity) > 2 * kVelocityQuantum ||
                std::fabs(sent[first + 1].command[0].velocity) > 2 * kVelocityQuantum)
        << "streaming at once";

    // The last target is reached its lead after the cycle that takes it, to
    // the quantum of the wire...
    const std::size_t last = firstCycleAfterMarks(sent, calls.size());
    const auto lead = static_cast<std::size_t>(std::lround(calls.back().time / kCycle));
    ASSERT_LT(last + lead, sent.size());
    std::size_t arrival = last + lead - 1;
    if (std::fabs(sent[arrival].command[0].position - to[0]) > kPositionQuantum) ++arrival;
    ASSERT_NEAR(sent[arrival].command[0].position, to[0], kPositionQuantum) << "lead " << lead << " cycles";
    // ...then, with no next target, the set-point brakes without ever
    // speeding up, comes to rest within a cycle's coasting and the gentlest
    // braking, close to the last target, and holds.
    const double speed = std::fabs(sent[arrival].command[0].velocity);
    EXPECT_GT(speed, 0.3) << "the stream's own velocity, about 0.5 rad/s";
    std::size_t rest = arrival;
    while (rest < sent.size() && std::fabs(sent[rest].command[0].velocity) > kVelocityQuantum / 2 + 1e-9) {
        if (rest > arrival) {
            EXPECT_LE(std::fabs(sent[rest].command[0].velocity),
                      std::fabs(sent[rest - 1].command[0].velocity) + kVelocityQuantum)
                << "cycle " << rest - arrival << " after the last target";
        }
        ++rest;
    }
    ASSERT_LT(rest + 20, sent.size()) << "at rest, and seen holding";
    EXPECT_LE(rest - arrival, 1 + std::ceil(speed / kGentlestStreamBraking / kCycle) + 2);
    EXPECT_LE(std::fabs(sent[rest].command[0].position - to[0]),
              kStreamStopDistance + speed * kCycle + kPositionQuantum);
    for (std::size_t k = rest; k < sent.size(); ++k) {
        EXPECT_NEAR(sent[k].command[0].position, sent[rest].command[0].position, 1e-12) << "holds";
    }

    // What a ROS 2 machine sees: joint 1 there, the others where they were,
    // joint position control, and the stream done.
    const std::vector<PeerState> states = peer_->states("left", 1);
    ASSERT_EQ(states.size(), 1u);
    EXPECT_NEAR(states[0].position[0], to[0], 0.02);
    for (std::size_t i = 1; i < 6; ++i) EXPECT_NEAR(states[0].position[i], from[i], 0.02) << kNames[i];
    const std::vector<std::string> report = peer_->diagnostics("left", "motion=done");
    EXPECT_TRUE(contains(report, "kv motion kind=stream"));
    EXPECT_TRUE(contains(report, "kv state=5 joint position control"));
}

TEST_F(BridgeBusTest, StateChangesAndGripperCommandsReachTheArm) {
    CanRecorder wire(kTestBus);
    ASSERT_EQ(peer_->run("int left arm_state 2"), "ok");
    ASSERT_TRUE(eventually([&] {
        const auto command = lastCommand(wire, kJoint2Motor);
        return command.k_p == 0.0 && std::fabs(command.k_d - 5.0) < 0.01;
    }, 20s)) << "protect damps joint 2 with 5";
    EXPECT_FALSE(peer_->diagnostics("left", "state=2 protect").empty());

    // Hold the sagging arm where it is before stiffening it again.
    std::vector<double> here = left_->arm.getJointPositons();
    here.resize(6);
    left_->arm.setJointPositions(here);
    ASSERT_EQ(peer_->run("int left arm_state 5"), "ok");
    ASSERT_TRUE(eventually([&] { return std::fabs(lastCommand(wire, kJoint2Motor).k_p - 150.0) < 0.5; }, 20s))
        << "joint position control holds joint 2 with 150";

    ASSERT_EQ(peer_->run("gripper left 2.5 0"), "ok");
    ASSERT_TRUE(eventually([] { return std::fabs(left_->arm.getJointPositons()[6] - 2.5) < 0.15; }, 20s))
        << "gripper at " << left_->arm.getJointPositons()[6];
    const std::vector<PeerState> states = peer_->states("left", 1);
    ASSERT_EQ(states.size(), 1u);
    EXPECT_NEAR(states[0].position[6], 2.5, 0.15) << "joint_states shows the gripper there";
    ASSERT_EQ(peer_->run("gripper left 0 0"), "ok");
    EXPECT_TRUE(eventually([] { return std::fabs(left_->arm.getJointPositons()[6]) < 0.15; }, 20s));
}

TEST_F(BridgeBusTest, BadCommandsAreRefusedNothingMovesAndDiagnosticsSayWhy) {
    const auto before = bus_->arm().states();
    const uint64_t refused_before = left_->bridge.counters().commands.refused;
    struct Bad {
        std::string command;
        std::string reason;
    };
    const Bad bad[] = {
        {"command left joint1,joint2,joint3,joint4,joint5,joint9 0.5,0,0,0,0,0", "unknown joint name 'joint9'"},
        {"command left joint1,joint2,joint3,joint4,joint5 0.5,0,0,0,0", "joint joint6 missing"},
        {"command left " + kArmJoints + " 0.5,0,0,0,0", "position has 5 entries for 6 joint names"},
        {"command left " + kArmJoints + " 9,0,0,0,0,0", "joint1 position 9 outside its limits"},
        {"command left " + kArmJoints + " nan,0,0,0,0,0", "position holds a non-finite number"},
        {"trajectory left " + kArmJoints + " 1:0,0,0,0,0,0;0.5:0,0,0,0,0,0", "point 1: time_from_start does not"},
        {"gripper left 6 0", "gripper position 6 outside its range"},
        {"int left arm_state 7", "state 7 is none of"},
        {"bool left damp 0", "damp takes true"},
    };
    for (const Bad& b : bad) {
        ASSERT_EQ(peer_->run(b.command), "ok") << b.command;
        const std::vector<std::string> report = peer_->diagnostics("left", b.reason);
        EXPECT_FALSE(report.empty()) << "no diagnostics saying: " << b.reason;
        EXPECT_TRUE(contains(report, "diag 1 refused")) << "a warning, with the refusal as its message";
    }
    EXPECT_EQ(left_->bridge.counters().commands.refused, refused_before + std::size(bad));
    const std::vector<std::string> report = peer_->diagnostics("left", "commands refused=");
    EXPECT_TRUE(contains(report, "hardware " + std::string(kTestBus)));
    EXPECT_TRUE(contains(report, "name left: qel_m4 arm"));
    // Nothing moved.
    const auto after = bus_->arm().states();
    for (std::size_t i = 0; i < after.size(); ++i) {
        EXPECT_NEAR(after[i].position, before[i].position, 0.02) << "motor " << after[i].motor_id;
    }
}

TEST_F(BridgeBusTest, ATrajectoryPassesThroughItsPointsAndANewerOneTakesOverWithoutAVelocityStep) {
    m4::InterfacesThread& arm = left_->arm;
    // Three timed points: the set-point passes through each at its time
    // from the cycle that took the trajectory (or the next).
    std::vector<double> q = here(arm);
    const std::vector<Offset> three{{0.4, 0.1}, {0.8, 0.25}, {1.2, 0.3}};
    // Sends a trajectory from `from` and waits until the bridge handed it,
    // the arm's `calls`-th motion call, over; then, `finish`ing, until it
    // ended at its goal and three more cycles went out.
    auto send = [&](const std::vector<double>& from, const std::vector<Offset>& points, std::size_t calls) {
        ASSERT_EQ(peer_->run("trajectory left " + kArmJoints + " " + trajectoryPoints(from, points)), "ok");
        ASSERT_TRUE(eventually([&] { return left_->port.callCount() == calls; }, 20s));
    };
    auto finish = [&](SendTrace& trace) {
        EXPECT_TRUE(arm.waitMotion(20.0)) << arm.motionStatus().reason;
        runCycles(arm, 3);
        trace.stop();
        return commandCycles(trace.events());
    };
    std::vector<CommandCycle> sent;
    {
        SendTrace trace;
        left_->port.takeCalls();
        ASSERT_NO_FATAL_FAILURE(send(q, three, 1));
        sent = finish(trace);
    }
    ASSERT_EQ(left_->port.takeCalls().at(0).refusal, "");
    expectThroughPoints(sent, followTakenWithin(sent, 1), q[0], three);
    std::vector<PeerState> states = peer_->states("left", 1);
    ASSERT_EQ(states.size(), 1u);
    EXPECT_NEAR(states[0].position[0], q[0] + 0.3, 0.02) << "joint_states shows joint 1 at the last point";

    // A trajectory down, replaced 0.6 s in by one that goes on down for a
    // while and comes back: the set-point's velocity runs on through the
    // take-over as through any other cycle.
    q = here(arm);
    const std::vector<Offset> away{{0.5, -0.15}, {1.0, -0.3}, {1.5, -0.4}};
    const std::vector<Offset> back{{0.4, -0.3}, {1.0, -0.1}};
    {
        SendTrace trace;
        left_->port.takeCalls();
        ASSERT_NO_FATAL_FAILURE(send(q, away, 1));
        ASSERT_TRUE(eventually([&] { return arm.motionStatus().progress > 0.4; }, 20s));
        ASSERT_NO_FATAL_FAILURE(send(q, back, 2));
        sent = finish(trace);
    }
    for (const auto& call : left_->port.takeCalls()) ASSERT_EQ(call.refusal, "");
    const TakenWithin takeover = followTakenWithin(sent, 2);
    ASSERT_GT(takeover.first, 3u);
    ASSERT_LT(takeover.last + 4, sent.size());
    EXPECT_GT(std::fabs(sent[takeover.first - 1].command[0].velocity), 0.15) << "the first was under way";
    double steepest = 0.0;
    for (std::size_t k = takeover.first - 3; k <= takeover.last + 4; ++k) {
        steepest = std::max(steepest, std::fabs(sent[k].command[0].velocity - sent[k - 1].command[0].velocity));
    }
    // Two quanta of the wire and 5 rad/s² for a cycle.
    EXPECT_LE(steepest, 2 * kVelocityQuantum + 5.0 * kCycle) << "velocity step at the take-over";
    expectThroughPoints(sent, takeover, q[0], back);
    EXPECT_FALSE(peer_->diagnostics("left", "motion kind=trajectory").empty());
}

// The checks of the bridge pass these; the arm refuses them. Nothing moves,
// and diagnostics say why.
TEST_F(BridgeBusTest, MotionsTheArmRefusesShowOnDiagnosticsAndMoveNothing) {
    m4::InterfacesThread& arm = left_->arm;
    // Exactly still: a joint move ends with position control holding its
    // last set-point.
    ASSERT_TRUE(arm.moveJ(here(arm), 0.5, 2.0)) << arm.motionStatus().reason;
    std::vector<double> q = here(arm);
    std::vector<double> far = q;
    far[0] += 0.5;
    // Joint 4 turns at a point on its limit (1.29): the curve through the
    // point runs past it unless it happens to turn exactly there.
    std::vector<double> brink = q;
    brink[3] = 1.29;
    std::vector<double> brink_after = q;
    brink_after[3] = 1.0;
    const std::string q_text = list(q);
    const std::string far_text = list(far);
    struct Refused {
        std::string command;
        std::string reason;
    };
    const Refused refused[] = {
        {"command left " + kArmJoints + " " + far_text,
         "joint_command: servoJ: reaching the target in 0.015 s needs joint 1 at"},
        {"trajectory left " + kArmJoints + " 0.1:" + far_text,
         "joint_trajectory: followJointTrajectory: the trajectory needs joint 1 at"},
        {"trajectory left " + kArmJoints + " 0:" + far_text + ";1:" + q_text,
         "rad from the measured joint 1, more than 0.05 rad"},
        {"trajectory left " + kArmJoints + " 1:" + list(brink) + ";1.5:" + list(brink_after),
         "joint 4 would"},
    };
    std::vector<CommandCycle> held;
    {
        SendTrace trace;
        left_->port.takeCalls();
        for (const Refused& r : refused) {
            ASSERT_EQ(peer_->run(r.command), "ok") << r.command;
            const std::vector<std::string> report = peer_->diagnostics("left", r.reason);
            EXPECT_FALSE(report.empty()) << "no diagnostics saying: " << r.reason;
            EXPECT_TRUE(contains(report, "diag 1 refused")) << r.reason;
            EXPECT_TRUE(contains(report, "kv motion=refused")) << r.reason;
        }
        runCycles(arm, 5);
        trace.stop();
        held = commandCycles(trace.events());
    }
    EXPECT_EQ(left_->port.takeCalls().size(), std::size(refused)) << "each reached the arm";
    ASSERT_GT(held.size(), 5u);
    for (const CommandCycle& c : held) {
        for (int i = 0; i < 6; ++i) {
            EXPECT_NEAR(c.command[i].position, held.front().command[i].position, kPositionQuantum) << "joint " << i + 1;
        }
    }

    // While a fault is latched, no motion starts: the arm stays damped.
    ASSERT_EQ(peer_->run("bool left damp 1"), "ok");
    ASSERT_TRUE(eventually([&] { return arm.faultLatched(); }, 20s));
    std::vector<double> near = here(arm);
    near[0] += 0.01;
    SendTrace damped;
    ASSERT_EQ(peer_->run("command left " + kArmJoints + " " + list(near)), "ok");
    EXPECT_FALSE(peer_->diagnostics("left", "joint_command: servoJ: a fault is latched (code 5").empty());
    ASSERT_EQ(peer_->run("trajectory left " + kArmJoints + " 1:" + list(near)), "ok");
    EXPECT_FALSE(peer_->diagnostics("left", "joint_trajectory: followJointTrajectory: a fault is latched (code 5").empty());
    runCycles(arm, 5);
    damped.stop();
    for (const CommandCycle& c : commandCycles(damped.events())) {
        for (int i = 0; i < 6; ++i) EXPECT_EQ(c.command[i].k_p, 0.0) << "joint " << i + 1 << " stays damped";
    }
    arm.setJointPositions(here(arm));
    ASSERT_EQ(peer_->run("int left resume 5"), "ok");
    EXPECT_TRUE(eventually([&] { return !arm.faultLatched(); }, 20s));
}

TEST_F(BridgeBusTest, DampHoldsUntilResumeAndAStateChangeDoesNotUndoIt) {
    ASSERT_EQ(peer_->run("bool left damp 1"), "ok");
    ASSERT_TRUE(eventually([] { return left_->arm.faultLatched(); }, 20s));
    EXPECT_FALSE(peer_->diagnostics("left", "fault latched=true").empty());
    EXPECT_FALSE(peer_->diagnostics("left", "latched code=5").empty());
    ASSERT_EQ(peer_->run("int left arm_state 5"), "ok");
    EXPECT_FALSE(peer_->diagnostics("left", "leave it with resume").empty());
    EXPECT_TRUE(left_->arm.faultLatched());
    std::vector<double> here = left_->arm.getJointPositons();
    here.resize(6);
    left_->arm.setJointPositions(here);
    ASSERT_EQ(peer_->run("int left resume 5"), "ok");
    EXPECT_TRUE(eventually([] { return !left_->arm.faultLatched(); }, 20s));
    EXPECT_FALSE(peer_->diagnostics("left", "fault latched=false").empty());
}

TEST_F(BridgeBusTest, TwoBridgesOnTwoBusesAreSeenAndCommandedSeparately) {
    sim::VirtualArmOptions second_arm;
    second_arm.interface = kSecondTestBus;
    sim::VirtualArm right_sim(second_arm);
    right_sim.start();
    BridgedArm right(kSecondTestBus, "right", 50.0, domain_);

    const std::vector<PeerState> right_states = peer_->states("right", 11);
    ASSERT_EQ(right_states.size(), 11u);
    EXPECT_EQ(right_states[0].names, kNames);
    expectStampedByTheirCycles(right_states);
    expectRate(*peer_, "right", 50);
    const std::vector<PeerState> left_states = peer_->states("left", 11);
    ASSERT_EQ(left_states.size(), 11u);
    expectRate(*peer_, "left", 100);

    // Each namespace commands its own arm only: a stream on one moves its
    // joint 1, and the other arm stays where it is.
    auto streamJoint1 = [&](const std::string& ns, BridgedArm& mover, BridgedArm& other, double by) {
        // An arm that was damped may rest a little beyond a joint limit (on
        // joint 2's stop); a target there would be refused.
        std::vector<double> from = here(mover.arm);
        for (std::size_t i = 0; i < 6; ++i) from[i] = std::clamp(from[i], kJointLower[i], kJointUpper[i]);
        std::vector<double> to = from;
        to[0] += by;
        const std::vector<double> still = here(other.arm);
        ASSERT_EQ(peer_->run("stream " + ns + " " + kArmJoints + " 100 40 " + list(from) + " " + list(to)), "ok 40");
        ASSERT_TRUE(eventually([&] {
            return std::fabs(here(mover.arm)[0] - to[0]) < 0.02 && mover.arm.motionStatus().state == MotionState::kDone;
        }, 20s)) << ns << " joint 1 at " << here(mover.arm)[0] << ": " << mover.bridge.counters().commands.last_refusal;
        const std::vector<double> after = here(other.arm);
        for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(after[i], still[i], 0.01) << kNames[i] << " of the other arm";
        const std::vector<PeerState> seen = peer_->states(ns, 1);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_NEAR(seen[0].position[0], to[0], 0.02) << ns << "/joint_states";
    };
    ASSERT_NO_FATAL_FAILURE(streamJoint1("right", right, *left_, 0.2));
    ASSERT_NO_FATAL_FAILURE(streamJoint1("left", *left_, right, -0.2));

    ASSERT_EQ(peer_->run("int right arm_state 5"), "ok");
    const double left_gripper = left_->arm.getJointPositons()[6];
    ASSERT_EQ(peer_->run("gripper right 2 0"), "ok");
    ASSERT_TRUE(eventually([&] { return std::fabs(right.arm.getJointPositons()[6] - 2.0) < 0.15; }, 20s));
    EXPECT_NEAR(left_->arm.getJointPositons()[6], left_gripper, 0.05);
    CanRecorder left_wire(kTestBus);
    CanRecorder right_wire(kSecondTestBus);
    const double left_kd = lastCommand(left_wire, kJoint2Motor).k_d;
    ASSERT_EQ(peer_->run("int right arm_state 2"), "ok");
    EXPECT_TRUE(eventually([&] { return std::fabs(lastCommand(right_wire, kJoint2Motor).k_d - 5.0) < 0.01; }, 20s));
    EXPECT_NEAR(lastCommand(left_wire, kJoint2Motor).k_d, left_kd, 0.01) << "the left arm kept its state";
    EXPECT_FALSE(peer_->diagnostics("right", "hardware " + std::string(kSecondTestBus)).empty());
}

}  // namespace
}  // namespace qel::test
