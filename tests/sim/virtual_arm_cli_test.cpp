// qel-virtual-arm as a user starts it: help, version and exit statuses, a
// fault option seen on the wire, the trace of received frames, the payload in
// the reported current, the status line and a clean stop on a signal.
#include <gtest/gtest.h>

#include <signal.h>

#include <array>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include <kdl/jntarray.hpp>

#include "apps/ToolRun.hpp"
#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "qel/solver/kinematic_dynamic_solver.hpp"
#include "qel/solver/vanteq.hpp"
#include "support/CanRecorder.hpp"

namespace qel::test {
namespace {

using namespace std::chrono_literals;
using hw_interface::HybridJointCmd;

const std::string kArm = QEL_VIRTUAL_ARM_PATH;
constexpr int kMotorIds[] = {1, 2, 4, 5, 6, 7, 8};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Until its socket is open the program cannot answer: asks motor 5 to enable
// until an answer comes.
bool waitUntilAnswering(CanRecorder& recorder) {
    for (int i = 0; i < 200; ++i) {
        recorder.send(hw_interface::packEnableFrame(5));
        if (recorder.waitFor([](const auto& f) { return f.can_id == 0; }, 1, 50ms)) return true;
    }
    return false;
}

TEST(VirtualArmCli, HelpVersionAndExitStatusesForBadCommandLinesAndMissingInterfaces) {
    std::string out, err;
    for (const char* help : {"-h", "--help"}) {
        EXPECT_EQ(runTool(kArm, {help}, &out, &err), 0) << help << ": " << err;
        for (const char* option : {"--silence", "--status-code", "--current", "--drop", "--delay", "--bus-silent",
                                   "--random-frames", "--start", "--gripper-stop", "--trace", "--payload",
                                   "--push JOINT:TORQUE:START:DURATION", "--version",
                                   "bus identifier, not its joint number"}) {
            EXPECT_TRUE(contains(out, option)) << option << " is not documented";
        }
    }
    EXPECT_EQ(runTool(kArm, {"--version"}, &out, &err), 0);
    EXPECT_EQ(out, std::string("qel-virtual-arm ") + QEL_EXPECTED_VERSION + "\n");

    struct Bad {
        std::vector<std::string> args;
        const char* message;
    };
    const Bad bad[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"-x"}, "unknown option '-x'"},
        {{"--can"}, "option '--can' needs a value"},
        {{"--quiet=yes"}, "option '--quiet' takes no value"},
        {{"--drop", "3=0.5"}, "no motor with identifier '3'"},
        {{"--drop", "4=1.5"}, "drop fraction must be 0 to 1"},
        {{"--delay", "4=nan"}, "delay must be a finite number"},
        {{"--status-code", "4"}, "--status-code needs ID=VALUE"},
        {{"--start", "0,0,0"}, "--start needs six comma-separated angles"},
        {{"--start", "0,0,-0.5,0,0,0"}, "of joint 3 lies beyond its end stops"},
        {{"--payload", "-1"}, "--payload must not be negative"},
        {{"--payload", "inf"}, "--payload must be a finite number"},
        {{"--gripper-travel", "-1"}, "gripper travel must be positive"},
        {{"--push", "2:5:1"}, "--push needs JOINT:TORQUE:START:DURATION (four fields), got '2:5:1'"},
        {{"--push", "7:5:1:1"}, "--push joint must be a whole number from 1 to 6, got '7'"},
        {{"--push", "2:nan:1:1"}, "--push torque must be a finite number, got 'nan'"},
        {{"stray"}, "unexpected argument 'stray'"},
    };
    for (const Bad& b : bad) {
        EXPECT_EQ(runTool(kArm, b.args, &out, &err), 2) << b.message;
        EXPECT_TRUE(contains(err, b.message)) << "expected '" << b.message << "' in: " << err;
        EXPECT_TRUE(contains(err, "usage:")) << err;
    }
    EXPECT_EQ(runTool(kArm, {"--can", "nocan7", "--quiet"}, &out, &err), 1);
    EXPECT_TRUE(contains(err, "cannot open CAN interface 'nocan7'")) << err;
    EXPECT_EQ(runTool(kArm, {"--urdf", "/nonexistent/arm.urdf"}, &out, &err), 1);
}

TEST(VirtualArmCli, RunsWithFaultsUntilSigterm) {
    CanRecorder recorder;
    ToolRun arm(kArm, {"--can", kTestBus, "--status-code", "5=9", "--silence", "6"});
    ASSERT_GT(arm.pid(), 0);
    ASSERT_TRUE(waitUntilAnswering(recorder)) << arm.err();
    recorder.send(hw_interface::packEnableFrame(6));
    ASSERT_TRUE(arm.waitForOutput("enabled [5,6]", 10s)) << arm.out();
    for (const auto& recorded : recorder.framesWithId(0)) {
        EXPECT_EQ(recorded.frame.data[0], 0x95) << "only motor 5 answers, with status 9";
    }
    arm.signal(SIGTERM);
    EXPECT_EQ(arm.wait(), 0);
    EXPECT_TRUE(contains(arm.err(), "qel-virtual-arm: stopped")) << arm.err();
}

TEST(VirtualArmCli, TraceShowsEveryFrameTheMotorsReceiveDecoded) {
    CanRecorder recorder;
    ToolRun arm(kArm, {"--can", kTestBus, "--trace", "--quiet"});
    ASSERT_TRUE(waitUntilAnswering(recorder)) << arm.err();
    HybridJointCmd command;
    command.position = 1.0;
    command.k_p = 5;
    command.k_d = 0.5;
    recorder.send(hw_interface::packImpedanceFrame(4, 28, command));
    recorder.send(makeFrame(0x123, {0x11}));  // no motor's: not received, not traced
    recorder.send(makeFrame(2, {0x7F, 0xFF, 0x7F}));
    recorder.send(hw_interface::packDisableFrame(8));
    ASSERT_TRUE(arm.waitForOutput("disable motor 8 (gripper)", 10s)) << arm.out();
    arm.signal(SIGINT);
    EXPECT_EQ(arm.wait(), 0);

    // The enables sent while waiting come first, then the frames in order.
    std::vector<std::string> lines;
    const std::string out = arm.out();
    for (std::size_t at = 0; at < out.size();) {
        const std::size_t end = out.find('\n', at);
        lines.push_back(out.substr(at, end - at));
        at = end == std::string::npos ? out.size() : end + 1;
    }
    ASSERT_GE(lines.size(), 4u) << out;
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("(", 0), 0u) << line;
        EXPECT_TRUE(contains(line, ") vcan0 ")) << line;
        EXPECT_FALSE(contains(line, "123#")) << line;
    }
    auto ends = [](const std::string& line, const std::string& tail) {
        return line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    };
    const std::size_t n = lines.size();
    EXPECT_TRUE(ends(lines[n - 4], "005#FFFFFFFFFFFFFFFC  enable motor 5 (joint 4)")) << lines[n - 4];
    EXPECT_TRUE(ends(lines[n - 3], "004#8A3C7FF0281997FF  command motor 4 (joint 3): kp 4.88 kd 0.499 "
                                   "position +0.9997 rad velocity -0.011 rad/s torque -0.007 Nm"))
        << lines[n - 3];
    EXPECT_TRUE(ends(lines[n - 2], "002#7FFF7F  unknown: 3 data bytes for motor 2 (joint 2) (8 needed)")) << lines[n - 2];
    EXPECT_TRUE(ends(lines[n - 1], "008#FFFFFFFFFFFFFFFD  disable motor 8 (gripper)")) << lines[n - 1];
}

// The current motor 4 (joint 3) reports while the arm, started with
// `payload` kg at the flange, is held at a posture by stiff springs alone: at
// rest the motor carries the whole gravity load. Returns the reported
// current and the measured joint angles, or NaN if it never settled.
double settledCurrent(double payload, std::array<double, 6>* measured) {
    CanRecorder recorder;
    ToolRun arm(kArm, {"--can", kTestBus, "--quiet", "--payload", std::to_string(payload), "--start",
                       "0,0.8,0.6,0,0,0"});
    if (!waitUntilAnswering(recorder)) return std::nan("");
    for (int id : kMotorIds) recorder.send(hw_interface::packEnableFrame(id));
    const double kKp[] = {150, 150, 150, 50, 25, 10};
    const double hold[] = {0.0, 0.8, 0.6, 0.0, 0.0, 0.0};
    double previous = 1e9;
    int steady = 0;
    for (int cycle = 0; cycle < 3000 && steady < 50; ++cycle) {
        recorder.clear();
        for (int i = 0; i < 6; ++i) {
            HybridJointCmd command;
            command.position = hold[i];
            command.k_p = kKp[i];
            command.k_d = 1.0;
            recorder.send(hw_interface::packImpedanceFrame(kMotorIds[i], i < 3 ? 28 : 10, command));
        }
        if (!recorder.waitFor([](const auto& f) { return f.can_id == 0; }, 6, 500ms)) continue;
        double current = previous;
        for (const auto& recorded : recorder.framesWithId(0)) {
            hw_interface::MotorFeedback feedback;
            hw_interface::decodeFeedbackFrame(recorded.frame, &feedback);
            for (int i = 0; i < 6; ++i) {
                if (feedback.motor_id == kMotorIds[i]) (*measured)[i] = feedback.position;
            }
            if (feedback.motor_id == 4) current = feedback.current;
        }
        // Settled: fifty cycles in a row within two feedback steps.
        steady = std::abs(current - previous) < 0.02 ? steady + 1 : 0;
        previous = current;
        std::this_thread::sleep_for(5ms);
    }
    arm.signal(SIGTERM);
    arm.wait();
    return steady >= 50 ? previous : std::nan("");
}

TEST(VirtualArmCli, PayloadShowsInTheCurrentTheMotorsReport) {
    // Current units per N·m for the joint-3 motor: 20 units at its 28 N·m.
    constexpr double kUnitsPerNm = 20.0 / 28.0;
    KinematicDynamicSolver model(urdf_xml_g);
    auto load = [&](const std::array<double, 6>& q, double payload) {
        model.setEndEffectorMass(payload);
        KDL::JntArray angles(6);
        for (int i = 0; i < 6; ++i) angles(i) = q[i];
        return model.computeGravityCompensationTorque(angles)(2);
    };
    for (const double payload : {0.0, 2.0}) {
        std::array<double, 6> q{};
        const double current = settledCurrent(payload, &q);
        ASSERT_FALSE(std::isnan(current)) << "the arm never settled with " << payload << " kg";
        const double expected = load(q, payload) * kUnitsPerNm;
        ASSERT_GT(std::abs(load(q, 2.0) - load(q, 0.0)) * kUnitsPerNm, 1.0) << "the payload must show";
        EXPECT_NEAR(current, expected, 0.3) << payload << " kg";
    }
}

}  // namespace
}  // namespace qel::test
