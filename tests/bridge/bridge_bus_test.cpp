// The bridge on a live arm, seen from a ROS 2 peer in another process: the
// virtual arm on the test bus, the library's threaded interface, the bridge in
// this process, and the suite's peer (Cyclone DDS with the test's own message
// types) on loopback DDS. What the peer reads is checked against the virtual
// arm and the command frames on the bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
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

namespace qel::test {
namespace {

using namespace std::chrono_literals;
using namespace states;

const std::vector<std::string> kNames{"joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "gripper"};
constexpr uint32_t kJoint2Motor = 2;

bool contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& line : lines) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
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

// `rate` a second is one sample every 200 / rate control cycles, counted
// against the cycles the controller ran (never more; a bridge starved on a
// loaded machine may skip a few).
void expectRate(Ros2Peer& peer, const std::string& ns, double rate) {
    const double per_cycle = peer.publishedPerCycle(ns);
    ASSERT_GT(per_cycle, 0.0) << "no diagnostics with the counts";
    EXPECT_LE(per_cycle, rate / 200.0 + 0.01);
    EXPECT_GE(per_cycle, rate / 200.0 * 0.9);
}

// The stiffness and damping of the newest command frame to `motor` on `wire`.
hw_interface::HybridJointCmd lastCommand(CanRecorder& wire, uint32_t motor) {
    wire.clear();
    if (!wire.waitFor([motor](const CanFrame& f) { return f.can_id == motor; }, 3, 20s)) return {};
    return hw_interface::unpackImpedanceFrame(wire.framesWithId(motor).back().frame, 10.0);
}

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
    ros2::InterfacesArm port;
    ros2::Ros2Bridge bridge;
};

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
        std::vector<double> here = arm.getJointPositons();
        here.resize(6);
        arm.setJointPositions(here);
        arm.setArmStatus(kPositionControl);
        return eventually([&] {
            for (double v : arm.getJointVelocities()) {
                if (std::fabs(v) > 0.02) return false;
            }
            return true;
        }, 10s);
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
    expectRate(*peer_, "left", 100.0);
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
    const std::string arm_joints = "joint1,joint2,joint3,joint4,joint5,joint6";
    struct Bad {
        std::string command;
        std::string reason;
    };
    const Bad bad[] = {
        {"command left joint1,joint2,joint3,joint4,joint5,joint9 0.5,0,0,0,0,0", "unknown joint name 'joint9'"},
        {"command left joint1,joint2,joint3,joint4,joint5 0.5,0,0,0,0", "joint joint6 missing"},
        {"command left " + arm_joints + " 0.5,0,0,0,0", "position has 5 entries for 6 joint names"},
        {"command left " + arm_joints + " 9,0,0,0,0,0", "joint1 position 9 outside its limits"},
        {"command left " + arm_joints + " nan,0,0,0,0,0", "position holds a non-finite number"},
        {"trajectory left " + arm_joints + " 1:0,0,0,0,0,0;0.5:0,0,0,0,0,0", "point 1: time_from_start does not"},
        {"gripper left 6 0", "gripper position 6 outside its range"},
        {"int left arm_state 7", "state 7 is none of"},
        {"bool left damp 0", "damp takes true"},
        // Well-formed, but there is no motion to run them yet.
        {"command left " + arm_joints + " 0.3,0,0,0,0,0", "joint_command: motion operations not available"},
        {"trajectory left " + arm_joints + " 0.5:0.1,0,0,0,0,0;1:0.2,0,0,0,0,0;1.5:0.3,0,0,0,0,0",
         "joint_trajectory: motion operations not available"},
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
    expectRate(*peer_, "right", 50.0);
    const std::vector<PeerState> left_states = peer_->states("left", 11);
    ASSERT_EQ(left_states.size(), 11u);
    expectRate(*peer_, "left", 100.0);

    // Each namespace commands its own arm only.
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
