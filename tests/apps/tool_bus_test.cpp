// The tools on a live bus: qel-decode reading an interface, qel-demo stopped
// by a signal next to the virtual arm, and qel-teach recording an arm that
// qel-virtual-arm --push moves.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <string>

#include "ToolRun.hpp"
#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "support/ArmOnBus.hpp"
#include "support/CanRecorder.hpp"
#include "support/Hdf5Reader.hpp"

namespace qel::test {
namespace {

using namespace std::chrono_literals;
using hw_interface::CanFrame;
using hw_interface::HybridJointCmd;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(DecodeLive, PrintsFramesFromAnInterfaceInOrderAndSummarisesOnSigint) {
    ToolRun decode(QEL_DECODE_PATH, {"--can", kTestBus, "--summary"});
    ASSERT_TRUE(decode.waitForError("qel-decode: listening on vcan0", 20s)) << decode.err();

    CanRecorder peer;
    HybridJointCmd command;
    command.position = 1.0;
    command.k_p = 5;
    command.k_d = 0.5;
    ASSERT_TRUE(peer.send(hw_interface::packImpedanceFrame(4, 28, command)));
    ASSERT_TRUE(peer.send(hw_interface::packEnableFrame(8)));
    hw_interface::MotorFeedback feedback;
    feedback.motor_id = 8;
    feedback.error_code = 1;
    ASSERT_TRUE(peer.send(hw_interface::packFeedbackFrame(feedback)));
    // A second, independent sender: can-utils.
    ASSERT_EQ(std::system("cansend vcan0 123#1122"), 0);
    ASSERT_TRUE(decode.waitForOutput("123#1122", 20s)) << decode.out();
    decode.signal(SIGINT);
    EXPECT_EQ(decode.wait(), 0);

    const std::string out = decode.out();
    const std::string expected[] = {
        ") vcan0 004#8A3C7FF0281997FF  command motor 4 (joint 3): kp 4.88 kd 0.499 position +0.9997 rad "
        "velocity -0.011 rad/s torque -0.007 Nm\n",
        ") vcan0 008#FFFFFFFFFFFFFFFC  enable motor 8 (gripper)\n",
        ") vcan0 000#187FFF7FF7FF0000  feedback motor 8 (gripper): error 1 (ok) position -0.0002 raw "
        "velocity -0.011 rad/s current -0.004\n",
        ") vcan0 123#1122  unknown: identifier 0x123 is not one of the arm's motors\n",
        "summary: 4 frames over ",
        "motor 4 (joint 3): 1 command",
        "motor 8 (gripper): 0 commands",
    };
    std::size_t at = 0;
    for (const std::string& part : expected) {
        const std::size_t found = out.find(part, at);
        ASSERT_NE(found, std::string::npos) << "missing, or out of order: " << part << "in:\n" << out;
        at = found + part.size();
    }
}

// The last command frame each arm motor received, decoded as the motor reads it.
std::map<int, HybridJointCmd> lastCommands(const CanRecorder& recorder) {
    std::map<int, HybridJointCmd> last;
    for (const auto& recorded : recorder.frames()) {
        const auto& frame = recorded.frame;
        const int id = static_cast<int>(frame.can_id);
        if (id < 1 || id > 7 || id == 3 || frame.can_dlc != 8) continue;
        if (hw_interface::isEnableFrame(frame) || hw_interface::isDisableFrame(frame)) continue;
        last[id] = hw_interface::unpackImpedanceFrame(frame, id <= 4 ? 28 : 10);
    }
    return last;
}

TEST(DemoOnBus, ASignalStopsTheSessionAndDestructionDampsTheArm) {
    ArmOnBus arm;
    const std::string out_dir = scratchPath("demo-out");
    // SIGINT in the middle of the session; SIGTERM while homing, which
    // cancels the homing: construction damps the arm and the demo ends.
    struct Case {
        int signal;
        const char* when;
        int status;
        const char* name;
    };
    for (const Case& c : {Case{SIGINT, "Gravity compensation", 130, "SIGINT"}, Case{SIGTERM, "homing...", 143, "SIGTERM"}}) {
        CanRecorder recorder;
        ToolRun demo(QEL_DEMO_PATH, {"--can", kTestBus, "--out", out_dir});
        ASSERT_TRUE(demo.waitForOutput(c.when, 120s)) << demo.out() << demo.err();
        demo.signal(c.signal);
        EXPECT_EQ(demo.wait(), c.status) << demo.out();
        const std::string out = demo.out();
        EXPECT_TRUE(contains(out, std::string("Interrupted by ") + c.name + ": stopping the arm.")) << out;
        EXPECT_TRUE(contains(out, "Arm stopped.")) << out;
        EXPECT_FALSE(contains(out, "Demo passed")) << out;
        if (c.signal == SIGTERM) {
            EXPECT_TRUE(contains(out, "Stop requested: homing cancelled, the arm is being damped.")) << out;
            EXPECT_FALSE(contains(out, "Homed in")) << out;
            EXPECT_FALSE(contains(out, "Gravity compensation")) << "no step runs after a stop request";
        }
        // The motors keep their last command: damping, no stiffness, no
        // torque, the damping of the arm's protect state.
        const double damping[] = {1.0, 5.0, 5.0, 2.0, 1.0, 1.0};
        const int ids[] = {1, 2, 4, 5, 6, 7};
        const auto last = lastCommands(recorder);
        for (int i = 0; i < 6; ++i) {
            ASSERT_TRUE(last.count(ids[i])) << "motor " << ids[i] << " got no command";
            const HybridJointCmd& command = last.at(ids[i]);
            EXPECT_EQ(command.k_p, 0.0) << "motor " << ids[i];
            EXPECT_NEAR(command.k_d, damping[i], 0.002) << "motor " << ids[i];
            EXPECT_NEAR(command.torque, 0.0, 0.01) << "motor " << ids[i];
            EXPECT_NEAR(command.velocity, 0.0, 0.02) << "motor " << ids[i];
        }
    }
    std::system(("rm -rf " + out_dir).c_str());
}

TEST(TeachOnBus, RecordsThePushedArmUntilTheDurationOrCtrlCThenDampsIt) {
    // A hand pushes joint 2 forwards from the start, for good.
    ToolRun sim(QEL_VIRTUAL_ARM_PATH, {"--can", kTestBus, "--quiet", "--push", "2:3:0:1000"});
    ASSERT_TRUE(sim.waitForError("running on vcan0", 30s)) << sim.err();

    // Until the duration.
    const std::string timed = scratchPath("timed.h5");
    ToolRun first(QEL_TEACH_PATH, {"--can", kTestBus, "--out", timed, "--duration", "0.5"});
    EXPECT_EQ(first.wait(), 0) << first.out() << first.err();
    EXPECT_TRUE(contains(first.out(), "Recorded ")) << first.out();
    EXPECT_TRUE(contains(first.out(), "Arm damped.")) << first.out();
    EXPECT_GE(Hdf5Reader(timed).read("cycle").rows(), 50u);
    unlink(timed.c_str());

    // Until Ctrl-C, two seconds' worth of command frames later.
    CanRecorder recorder;
    const std::string path = scratchPath("teach.h5");
    ToolRun teach(QEL_TEACH_PATH, {"--can", kTestBus, "--out", path});
    ASSERT_TRUE(teach.waitForOutput("Teaching:", 120s)) << teach.out() << teach.err();
    recorder.clear();
    ASSERT_TRUE(recorder.waitFor([](const CanFrame& f) { return f.can_id == 2; }, 400, 60s));
    teach.signal(SIGINT);
    EXPECT_EQ(teach.wait(), 0) << teach.out() << teach.err();
    const std::string out = teach.out();
    EXPECT_TRUE(contains(out, "SIGINT: ending the recording.")) << out;
    EXPECT_TRUE(contains(out, "Recorded ")) << out;
    EXPECT_FALSE(contains(out, "were lost")) << out;

    Hdf5Reader file(path);
    const auto state = file.read("state");
    const auto position = file.read("measured/position");
    const std::size_t rows = state.rows();
    ASSERT_GE(rows, 400u);
    EXPECT_EQ(file.numbers("cycles_lost"), std::vector<double>{0});
    // Floating in gravity compensation, joint 2 gave way to the push; at the
    // end the tool damped the arm before it closed the file.
    std::size_t floating = 0;
    while (floating < rows && state.at(floating) != 3) ++floating;
    ASSERT_LT(floating, rows);
    std::size_t last_floating = floating;
    while (last_floating + 1 < rows && state.at(last_floating + 1) == 3) ++last_floating;
    EXPECT_GT(position.at(last_floating, 1) - position.at(floating, 1), 0.2) << "joint 2 pushed forwards";
    EXPECT_EQ(state.at(rows - 1), 2) << "damped at the end";
    unlink(path.c_str());

    const double damping[] = {1.0, 5.0, 5.0, 2.0, 1.0, 1.0};
    const int ids[] = {1, 2, 4, 5, 6, 7};
    const auto last = lastCommands(recorder);
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(last.count(ids[i])) << "motor " << ids[i] << " got no command";
        EXPECT_EQ(last.at(ids[i]).k_p, 0.0) << "motor " << ids[i];
        EXPECT_NEAR(last.at(ids[i]).k_d, damping[i], 0.002) << "motor " << ids[i];
    }
}

}  // namespace
}  // namespace qel::test
