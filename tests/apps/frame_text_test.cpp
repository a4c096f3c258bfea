// The decoder behind qel-decode and qel-virtual-arm --trace, on frames the
// motors' codec packed and on hand-written bytes and candump lines.
#include <gtest/gtest.h>

#include <string>

#include "apps/BusSummary.hpp"
#include "apps/FrameText.hpp"
#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "support/CanRecorder.hpp"

namespace qel::tools {
namespace {

using hw_interface::HybridJointCmd;
using hw_interface::MotorFeedback;

using test::makeFrame;

HybridJointCmd command(double position, double k_p, double k_d, double torque = 0.0) {
    HybridJointCmd c;
    c.position = position;
    c.k_p = k_p;
    c.k_d = k_d;
    c.torque = torque;
    return c;
}

TEST(FrameText, CommandFramesNameTheJointAndUseTheFamilysTorqueRange) {
    // Motor identifier, its place on the arm, and the torque that an all-zero
    // command decodes to: 2047 of 4095 steps over ±28 or ±10.
    struct Case {
        int motor;
        const char* name;
        double torque_limit;
        const char* zero_torque;
    };
    const Case cases[] = {
        {1, "motor 1 (joint 1)", 28, "-0.007"}, {2, "motor 2 (joint 2)", 28, "-0.007"},
        {4, "motor 4 (joint 3)", 28, "-0.007"}, {5, "motor 5 (joint 4)", 10, "-0.002"},
        {6, "motor 6 (joint 5)", 10, "-0.002"}, {7, "motor 7 (joint 6)", 10, "-0.002"},
    };
    for (const Case& c : cases) {
        const CanFrame zero = hw_interface::packImpedanceFrame(c.motor, c.torque_limit, HybridJointCmd{});
        EXPECT_EQ(describeFrame(zero),
                  std::string("command ") + c.name +
                      ": kp 0.00 kd 0.000 position -0.0002 rad velocity -0.011 rad/s torque " +
                      c.zero_torque + " Nm");
    }
    // k_p 5, k_d 0.5 and 1 rad come back as 40, 409 and 35388 steps.
    EXPECT_EQ(describeFrame(hw_interface::packImpedanceFrame(4, 28, command(1.0, 5, 0.5))),
              "command motor 4 (joint 3): kp 4.88 kd 0.499 position +0.9997 rad velocity -0.011 rad/s "
              "torque -0.007 Nm");
    // One unit of torque: 2120 steps of ±28, 2252 of ±10.
    EXPECT_EQ(describeFrame(makeFrame(2, {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x08, 0x48})),
              "command motor 2 (joint 2): kp 0.00 kd 0.000 position -0.0002 rad velocity -0.011 rad/s "
              "torque +0.991 Nm");
    EXPECT_EQ(describeFrame(makeFrame(7, {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x08, 0xCC})),
              "command motor 7 (joint 6): kp 0.00 kd 0.000 position -0.0002 rad velocity -0.011 rad/s "
              "torque +0.999 Nm");
    // The gripper's position is in its motor's own unit; the ends of every range.
    EXPECT_EQ(describeFrame(makeFrame(8, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})),
              "command motor 8 (gripper): kp 500.00 kd 5.000 position +12.5000 raw velocity +45.000 rad/s "
              "torque +10.000 Nm");
    EXPECT_EQ(describeFrame(makeFrame(1, {0, 0, 0, 0, 0, 0, 0, 0})),
              "command motor 1 (joint 1): kp 0.00 kd 0.000 position -12.5000 rad velocity -45.000 rad/s "
              "torque -28.000 Nm");
}

TEST(FrameText, EnableDisableAndFeedbackFrames) {
    EXPECT_EQ(describeFrame(hw_interface::packEnableFrame(4)), "enable motor 4 (joint 3)");
    EXPECT_EQ(describeFrame(hw_interface::packDisableFrame(8)), "disable motor 8 (gripper)");
    // Seven FF and FE is neither: a command at the top of every range but torque.
    EXPECT_EQ(describeFrame(makeFrame(5, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE})),
              "command motor 5 (joint 4): kp 500.00 kd 5.000 position +12.5000 rad velocity +45.000 rad/s "
              "torque +9.995 Nm");

    EXPECT_EQ(describeFrame(makeFrame(0, {0x18, 0x80, 0x00, 0x80, 0x08, 0x00, 0x00, 0x00})),
              "feedback motor 8 (gripper): error 1 (ok) position +0.0002 raw velocity +0.011 rad/s "
              "current +0.004");
    MotorFeedback faulty;
    faulty.motor_id = 4;
    faulty.error_code = 9;
    faulty.position = 12.5;
    faulty.velocity = 45;
    faulty.current = 18;
    EXPECT_EQ(describeFrame(hw_interface::packFeedbackFrame(faulty)),
              "feedback motor 4 (joint 3): error 9 (fault) position +12.5000 rad velocity +45.000 rad/s "
              "current +18.000");
    // 0 is as healthy as 1; the bytes after the current do not matter.
    EXPECT_EQ(describeFrame(makeFrame(0, {0x05, 0x00, 0x00, 0x00, 0x00, 0x00})),
              "feedback motor 5 (joint 4): error 0 (ok) position -12.5000 rad velocity -45.000 rad/s "
              "current -18.000");
    EXPECT_EQ(describeFrame(makeFrame(0, {0x22, 0x00, 0x00, 0x00, 0x00, 0x00})).substr(0, 35),
              "feedback motor 2 (joint 2): error 2");
    // The drivers do not check the length: a short answer is still one, and
    // says so.
    EXPECT_EQ(describeFrame(makeFrame(0, {0x14, 0x80, 0x00, 0x80})),
              "feedback motor 4 (joint 3): error 1 (ok) position +0.0002 rad velocity +0.011 rad/s "
              "current -18.000 (only 4 of 6 data bytes; the drivers take it all the same)");
}

TEST(FrameText, FramesNoMotorTakesAreUnknownWithTheReason) {
    CanFrame extended = makeFrame(0x12345678, {1});
    extended.can_id |= kExtendedFlag;
    CanFrame remote = makeFrame(4, {});
    remote.can_id |= kRemoteFlag;
    CanFrame error = makeFrame(kErrorFlag | 0x4, {0, 0, 0, 0, 0, 0, 0, 0});

    EXPECT_EQ(describeFrame(hw_interface::packEnableFrame(3)), "unknown: identifier 0x003 is not one of the arm's motors");
    EXPECT_EQ(describeFrame(makeFrame(0x123, {0x11})), "unknown: identifier 0x123 is not one of the arm's motors");
    EXPECT_EQ(describeFrame(makeFrame(5, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC})),
              "unknown: 7 data bytes for motor 5 (joint 4) (8 needed)");
    EXPECT_EQ(describeFrame(makeFrame(0, {0x13, 0x00, 0x00, 0x00, 0x00, 0x00})),
              "unknown: feedback from motor 3, which is not on the arm");
    EXPECT_EQ(describeFrame(extended), "unknown: extended identifier 0x12345678 (the motors use standard ones)");
    EXPECT_EQ(describeFrame(remote), "unknown: remote frame on identifier 0x004");
    EXPECT_EQ(describeFrame(error), "unknown: error frame");
    for (const CanFrame& frame : {extended, remote, error}) {
        EXPECT_EQ(decodeFrame(frame).kind, FrameKind::kUnknown);
    }
}

TEST(FrameText, LinesInTheCandumpLayoutAndBack) {
    const CanFrame zero = hw_interface::packImpedanceFrame(1, 28, HybridJointCmd{});
    const std::string line = frameLine(1436509052249713, "vcan0", zero);
    EXPECT_EQ(line,
              "(1436509052.249713) vcan0 001#7FFF7FF0000007FF  command motor 1 (joint 1): kp 0.00 kd 0.000 "
              "position -0.0002 rad velocity -0.011 rad/s torque -0.007 Nm");
    EXPECT_EQ(frameLine(5, "can0", makeFrame(0x7FF, {})), "(0.000005) can0 7FF#  unknown: identifier 0x7FF is not one of the arm's motors");

    // A line of our own output reads back as the frame it shows.
    CandumpLine parsed;
    std::string error;
    ASSERT_TRUE(parseCandumpLine(line, &parsed, &error)) << error;
    EXPECT_EQ(parsed.time_us, 1436509052249713);
    EXPECT_EQ(parsed.interface, "vcan0");
    EXPECT_FALSE(parsed.fd);
    EXPECT_EQ(parsed.frame.can_id, 1u);
    EXPECT_EQ(parsed.frame.can_dlc, 8);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(parsed.frame.data[i], zero.data[i]) << "byte " << i;

    ASSERT_TRUE(parseCandumpLine("  (12.5) can1 000#1880008008000000", &parsed, &error)) << error;
    EXPECT_EQ(parsed.time_us, 12500000);
    EXPECT_EQ(parsed.interface, "can1");
    EXPECT_EQ(describeFrame(parsed.frame).substr(0, 35), "feedback motor 8 (gripper): error 1");

    ASSERT_TRUE(parseCandumpLine("(1.000000) vcan0 1ABCDEF0#11.22", &parsed, &error)) << error;
    EXPECT_EQ(parsed.frame.can_id, 0x9ABCDEF0u);
    EXPECT_EQ(parsed.frame.can_dlc, 2);
    EXPECT_EQ(candumpFrameText(parsed.frame), "1ABCDEF0#1122");
    ASSERT_TRUE(parseCandumpLine("(1.000000) vcan0 004#R", &parsed, &error)) << error;
    EXPECT_EQ(parsed.frame.can_id, 4u | kRemoteFlag);
    EXPECT_EQ(candumpFrameText(parsed.frame), "004#R");
    ASSERT_TRUE(parseCandumpLine("(1.000000) vcan0 004#R8", &parsed, &error)) << error;
    EXPECT_EQ(parsed.frame.can_dlc, 8);
    ASSERT_TRUE(parseCandumpLine("(1.000000) vcan0 20000004#0000000000000000", &parsed, &error)) << error;
    EXPECT_EQ(parsed.frame.can_id, kErrorFlag | 4u);
    ASSERT_TRUE(parseCandumpLine("(1.000000) vcan0 004##1AABBCC", &parsed, &error)) << error;
    EXPECT_TRUE(parsed.fd);
    ASSERT_TRUE(parseCandumpLine("(1.000000) vcan0 002#", &parsed, &error)) << error;
    EXPECT_EQ(parsed.frame.can_dlc, 0);
    // The longest time that fits in 64-bit microseconds, and the first that
    // does not (it would wrap to a negative time).
    ASSERT_TRUE(parseCandumpLine("(9223372036853.999999) vcan0 002#", &parsed, &error)) << error;
    EXPECT_EQ(parsed.time_us, 9223372036853999999LL);
    for (const char* too_long : {"(9223372036854.000000) vcan0 002#", "(10000000000009.000000) vcan0 002#",
                                 "(99999999999999999999999.5) vcan0 002#"}) {
        error.clear();
        EXPECT_FALSE(parseCandumpLine(too_long, &parsed, &error)) << too_long;
        EXPECT_NE(error.find("out of range"), std::string::npos) << error;
    }

    for (const char* bad : {"", "vcan0 001#00", "(1436509052) vcan0 001#00", "(1.5 vcan0 001#00",
                            "(1.5) vcan0", "(1.5) vcan0 00100", "(1.5) vcan0 0001#00", "(1.5) vcan0 800#00",
                            "(1.5) vcan0 001#0", "(1.5) vcan0 001#0G", "(1.5) vcan0 001#001122334455667788",
                            "(1.5) vcan0 G01#00", "(1.5) vcan0 004#R9", "(1.5) vcan0 004##AB"}) {
        error.clear();
        EXPECT_FALSE(parseCandumpLine(bad, &parsed, &error)) << "'" << bad << "'";
        EXPECT_FALSE(error.empty()) << "'" << bad << "'";
    }
}

TEST(BusSummary, CountsRatesLastValuesAndSilencesPerMotor) {
    const CanFrame command4 = hw_interface::packImpedanceFrame(4, 28, command(1.0, 5, 0.5));
    auto feedback = [](int motor) {
        MotorFeedback f;
        f.motor_id = motor;
        f.error_code = 1;
        return decodeFrame(hw_interface::packFeedbackFrame(f));
    };
    BusSummary summary;
    summary.add(0, feedback(4));
    summary.add(0, feedback(5));
    summary.add(0, feedback(1));
    summary.add(0, decodeFrame(command4));
    summary.add(200000, feedback(4));   // 200 ms after the last: not yet a silence
    summary.add(450000, feedback(4));   // 250 ms: motor 4 counts as offline after 200
    summary.add(800000, feedback(5));   // 800 ms: motor 5 still online
    summary.add(1000000, decodeFrame(makeFrame(0x123, {})));
    summary.add(1600001, feedback(5));  // 800.001 ms: a silence
    summary.add(1700000, feedback(4));  // 1250 ms
    summary.add(2000000, decodeFrame(command4));

    const std::string text = summary.text();
    auto has = [&](const std::string& line) {
        EXPECT_NE(text.find(line + "\n"), std::string::npos) << "missing: " << line << "\nin:\n" << text;
    };
    has("summary: 11 frames over 2000.0 ms, 1 unknown");
    has("motor 4 (joint 3): 2 commands (1.0/s), 0 enables, 0 disables, 4 feedback (2.0/s), "
        "2 silences (longest 1250.0 ms), silent for the last 300.0 ms");
    has("  last command: kp 4.88 kd 0.499 position +0.9997 rad velocity -0.011 rad/s torque -0.007 Nm");
    has("motor 5 (joint 4): 0 commands (0.0/s), 0 enables, 0 disables, 3 feedback (1.5/s), "
        "1 silence (longest 800.0 ms)");
    has("motor 1 (joint 1): 0 commands (0.0/s), 0 enables, 0 disables, 1 feedback (0.5/s), "
        "0 silences, silent for the last 2000.0 ms");
    has("motor 2 (joint 2): 0 commands (0.0/s), 0 enables, 0 disables, 0 feedback (0.0/s), never answered");
    has("  last feedback: error 1 (ok) position -0.0002 rad velocity -0.011 rad/s current -0.004");

    // Only the motors asked for.
    const std::string only = summary.text({5});
    EXPECT_EQ(only.find("motor 4"), std::string::npos);
    EXPECT_NE(only.find("motor 5 (joint 4): "), std::string::npos);
}

}  // namespace
}  // namespace qel::tools
