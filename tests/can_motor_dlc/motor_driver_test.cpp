#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "qel/can_motor_dlc/Mtp1Dlc.hpp"
#include "qel/can_motor_dlc/Mtp2Dlc.hpp"
#include "support/CanRecorder.hpp"

namespace qel::hw_interface {
namespace {

using test::hexBytes;
using test::makeFrame;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(MotorCommandFrame, PacksTheKnownVectorsInBothFamilies) {
    MotorType1 joint2(2);
    MotorType2 joint5(5);

    CanFrame rest = joint2.packMotorMsg(0, 0, 0, 0, 0);
    EXPECT_EQ(rest.can_id, 2u);
    EXPECT_EQ(rest.can_dlc, 8);
    EXPECT_EQ(rest.__pad + rest.__res0 + rest.__res1, 0);
    // Zero lands just below the midpoint because quantisation truncates.
    EXPECT_EQ(hexBytes(rest), "7F FF 7F F0 00 00 07 FF");
    EXPECT_EQ(hexBytes(joint5.packMotorMsg(0, 0, 0, 0, 0)), "7F FF 7F F0 00 00 07 FF");

    // The families differ only in their torque range.
    EXPECT_EQ(hexBytes(joint2.packMotorMsg(0, 0, 0, 0, 1.0)).substr(18), "08 48");
    EXPECT_EQ(hexBytes(joint5.packMotorMsg(0, 0, 0, 0, 1.0)).substr(18), "08 CC");

    EXPECT_EQ(hexBytes(joint2.packMotorMsg(5, 0.5, 1.0, 0, 0)), "8A 3C 7F F0 28 19 97 FF");

    HybridJointCmd command;
    command.k_p = 5;
    command.k_d = 0.5;
    command.position = 1.0;
    EXPECT_EQ(hexBytes(joint5.packMotorMsg(&command)), "8A 3C 7F F0 28 19 97 FF");
}

// Each field of these commands lands one step higher (the last torque one
// lower) when quantised in single precision than it would in double
// arithmetic, so the bytes pin the precision rule as well as every range.
TEST(MotorCommandFrame, QuantisesInSinglePrecision) {
    MotorType1 joint1(1);
    MotorType2 joint4(5);
    // P 24303, V 3062, KP 2657, KD 2557, TQ 234 over +-28 (double: 24302,
    // 3061, 2656, 2556, 233).
    EXPECT_EQ(hexBytes(joint1.packMotorMsg(324.42, 3.1221, -3.229, 22.2967, -24.8)),
              "5E EF BF 6A 61 9F D0 EA");
    // The same with TQ 3526 over +-10 (double: 3525).
    EXPECT_EQ(hexBytes(joint4.packMotorMsg(324.42, 3.1221, -3.229, 22.2967, 7.221)),
              "5E EF BF 6A 61 9F DD C6");
    // P 24940, V 1506, KP 3476, KD 1738, TQ 350 (double: 24939, 1505, 3475,
    // 1737, 351).
    HybridJointCmd command;
    command.k_p = 424.42;
    command.k_d = 2.1221;
    command.position = -2.986;
    command.velocity = -11.9011;
    command.torque = -23.2;
    EXPECT_EQ(hexBytes(joint1.packMotorMsg(&command)), "61 6C 5E 2D 94 6C A1 5E");
}

// Decoded values are the single-precision results widened, not the double
// computation (which differs from the seventh digit on).
TEST(MotorFeedback, DecodesInSinglePrecision) {
    MotorType2 joint4(5);
    MotorType1 joint2(2);
    CanFrame a = makeFrame(0, {0x35, 0x30, 0x39, 0x4D, 0x2B, 0xB8, 0x00, 0x00});  // P 12345, V 1234, C 3000
    CanFrame b = makeFrame(0, {0x02, 0x9C, 0x40, 0xD0, 0x53, 0x09, 0x00, 0x00});  // P 40000, V 3333, C 777
    for (MotorDlcBase* motor : {static_cast<MotorDlcBase*>(&joint4), static_cast<MotorDlcBase*>(&joint2)}) {
        motor->CanAnalyze(&a);
        motor->CanAnalyze(&b);
        motor->ExchangeMotorMsg();
    }
    EXPECT_EQ(joint4.getErrorCode(), 3);
    EXPECT_EQ(joint4.GetMotorMsg().position, -7.790684223175049);
    EXPECT_EQ(joint4.GetMotorMsg().velocity, -17.879121780395508);
    EXPECT_EQ(joint4.GetMotorMsg().current, 8.373626708984375);
    EXPECT_EQ(joint2.getErrorCode(), 0);
    EXPECT_EQ(joint2.GetMotorMsg().position, 2.759021759033203);
    EXPECT_EQ(joint2.GetMotorMsg().velocity, 28.25274658203125);
    EXPECT_EQ(joint2.GetMotorMsg().current, -11.169231414794922);
}

TEST(MotorCommandFrame, ClampsOutOfRangeAndNonFiniteValues) {
    MotorType1 motor(1);
    EXPECT_EQ(hexBytes(motor.packMotorMsg(1e9, 1e9, 1e9, 1e9, 1e9)), "FF FF FF FF FF FF FF FF");
    EXPECT_EQ(hexBytes(motor.packMotorMsg(-1e9, -1e9, -1e9, -1e9, -1e9)),
              "00 00 00 00 00 00 00 00");
    // A non-finite value never reaches the integer conversion and never
    // becomes a limit: it counts as zero, so a non-finite gain gives no
    // stiffness and a non-finite torque no torque.
    const std::string zero = "7F FF 7F F0 00 00 07 FF";
    for (double bad : {kNaN, kInf, -kInf}) {
        EXPECT_EQ(hexBytes(motor.packMotorMsg(bad, bad, bad, bad, bad)), zero) << bad;
        EXPECT_EQ(hexBytes(motor.packMotorMsg(5, 0.5, 1.0, 0, bad)),
                  hexBytes(motor.packMotorMsg(5, 0.5, 1.0, 0, 0))) << bad;
        EXPECT_EQ(hexBytes(motor.packMotorMsg(bad, 0.5, 1.0, 0, 0)),
                  hexBytes(motor.packMotorMsg(0, 0.5, 1.0, 0, 0))) << bad;
        // Without a set-point the stiffness goes too (k_p 150 towards 0 rad
        // would pull the joint there); the damping stays and brakes it.
        EXPECT_EQ(hexBytes(motor.packMotorMsg(150, 1.0, bad, 0, 2.0)),
                  hexBytes(motor.packMotorMsg(0, 1.0, 0, 0, 2.0))) << bad;
        EXPECT_EQ(hexBytes(motor.packMotorMsg(150, 1.0, 0.7, bad, 2.0)),
                  hexBytes(motor.packMotorMsg(0, 1.0, 0.7, 0, 2.0))) << bad;
    }
}

TEST(MotorCommandFrame, EnableAndDisableFrames) {
    MotorType2 gripper(8);
    CanFrame enable = gripper.packEnableMotor();
    EXPECT_EQ(enable.can_id, 8u);
    EXPECT_EQ(hexBytes(enable), "FF FF FF FF FF FF FF FC");
    EXPECT_EQ(hexBytes(gripper.packDisableMotor()), "FF FF FF FF FF FF FF FD");
    EXPECT_TRUE(isEnableFrame(enable));
    EXPECT_FALSE(isDisableFrame(enable));
}

TEST(MotorCommandFrame, VirtualMotorSideDecodesWhatTheDriverPacks) {
    MotorType1 motor(4);
    CanFrame frame = motor.packMotorMsg(120.0, 2.5, -1.25, 3.0, -7.5);
    HybridJointCmd decoded = unpackImpedanceFrame(frame, MotorType1::kTorqueLimit);
    // One quantisation step of each field.
    EXPECT_NEAR(decoded.k_p, 120.0, 500.0 / 4095);
    EXPECT_NEAR(decoded.k_d, 2.5, 5.0 / 4095);
    EXPECT_NEAR(decoded.position, -1.25, 25.0 / 65535);
    EXPECT_NEAR(decoded.velocity, 3.0, 90.0 / 4095);
    EXPECT_NEAR(decoded.torque, -7.5, 56.0 / 4095);
}

TEST(MotorFeedback, DecodesOnlyItsOwnFramesOnIdentifierZero) {
    std::vector<std::unique_ptr<MotorDlcBase>> motors;
    for (int id : {1, 2, 4}) motors.push_back(std::make_unique<MotorType1>(id));
    for (int id : {5, 6, 7, 8}) motors.push_back(std::make_unique<MotorType2>(id));

    CanFrame feedback = makeFrame(0, {0x18, 0x80, 0x00, 0x80, 0x08, 0x00, 0x00, 0x00});
    for (auto& motor : motors) {
        motor->CanAnalyze(&feedback);
        motor->ExchangeMotorMsg();
    }
    HybridJointStatus gripper = motors[6]->GetMotorMsg();
    EXPECT_EQ(motors[6]->getErrorCode(), 1);
    EXPECT_DOUBLE_EQ(gripper.position, 0.00019073486328125);
    EXPECT_DOUBLE_EQ(gripper.velocity, 0.010990142822265625);
    EXPECT_DOUBLE_EQ(gripper.current, 0.0043964385986328125);
    EXPECT_DOUBLE_EQ(gripper.torque, 0.0);

    for (int i = 0; i < 6; ++i) {
        HybridJointStatus other = motors[i]->GetMotorMsg();
        EXPECT_EQ(other.position, 0.0) << "motor index " << i;
        EXPECT_EQ(other.current, 0.0) << "motor index " << i;
        // No feedback yet: the initial "no fault" code comes through the swap.
        EXPECT_EQ(motors[i]->getErrorCode(), 1) << "motor index " << i;
    }

    // The same payload on another identifier is not feedback.
    CanFrame elsewhere = makeFrame(0x18, {0xA8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0});
    motors[6]->CanAnalyze(&elsewhere);
    motors[6]->ExchangeMotorMsg();
    EXPECT_DOUBLE_EQ(motors[6]->GetMotorMsg().position, 0.00019073486328125);
    EXPECT_EQ(motors[6]->getErrorCode(), 1);
}

TEST(MotorFeedback, RangeEndsAndErrorNibble) {
    MotorType2 motor(5);
    CanFrame low = makeFrame(0, {0xA5, 0x00, 0x00, 0x00, 0x00, 0x00});
    motor.CanAnalyze(&low);
    // Not visible before the swap.
    EXPECT_EQ(motor.GetMotorMsg().position, 0.0);
    motor.ExchangeMotorMsg();
    EXPECT_EQ(motor.getErrorCode(), 10);
    EXPECT_DOUBLE_EQ(motor.GetMotorMsg().position, -12.5);
    EXPECT_DOUBLE_EQ(motor.GetMotorMsg().velocity, -45.0);
    EXPECT_DOUBLE_EQ(motor.GetMotorMsg().current, -18.0);

    // A short frame is still accepted: the length is not examined.
    CanFrame high = makeFrame(0, {0x05, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    high.can_dlc = 2;
    motor.CanAnalyze(&high);
    motor.ExchangeMotorMsg();
    EXPECT_EQ(motor.getErrorCode(), 0);
    EXPECT_DOUBLE_EQ(motor.GetMotorMsg().position, 12.5);
    EXPECT_DOUBLE_EQ(motor.GetMotorMsg().current, 18.0);
}

TEST(MotorFeedback, FeedbackFrameRoundTrip) {
    MotorFeedback sent{7, 3, 1.5, -2.0, 4.25};
    CanFrame frame = packFeedbackFrame(sent);
    MotorFeedback got;
    ASSERT_TRUE(decodeFeedbackFrame(frame, &got));
    EXPECT_EQ(got.motor_id, 7);
    EXPECT_EQ(got.error_code, 3);
    EXPECT_NEAR(got.position, 1.5, 25.0 / 65535);
    EXPECT_NEAR(got.velocity, -2.0, 90.0 / 4095);
    EXPECT_NEAR(got.current, 4.25, 36.0 / 4095);
}

// The age limits are checked against the test's own clock, bracketing each
// feedback swap and each verdict: a verdict only counts where the bracket
// decides it, so a stalled or slow machine can make a check inconclusive but
// never wrong. Polled every millisecond, most checks are conclusive.
TEST(MotorOnline, AgeLimitFollowsTheIdentifierAndLatches) {
    using Clock = std::chrono::steady_clock;
    using namespace std::chrono_literals;
    MotorType1 joint3(4);
    MotorType2 joint4(5);
    MotorType2 gripper(8);
    struct Watched {
        MotorDlcBase& motor;
        std::chrono::milliseconds limit;
        CanFrame feedback;
        Clock::time_point swapped_after{};   // the swap happened after this
        Clock::time_point swapped_before{};  // and before this
        int conclusive_online = 0;
        int conclusive_offline = 0;
        bool latched = false;
    };
    Watched watched[] = {
        {joint3, 200ms, makeFrame(0, {0x14, 0x80, 0, 0x80, 0x08, 0})},
        {joint4, 800ms, makeFrame(0, {0x15, 0x80, 0, 0x80, 0x08, 0})},
        {gripper, 800ms, makeFrame(0, {0x18, 0x80, 0, 0x80, 0x08, 0})},
    };
    for (Watched& w : watched) {
        w.swapped_after = Clock::now();
        w.motor.CanAnalyze(&w.feedback);
        w.motor.ExchangeMotorMsg();
        w.swapped_before = Clock::now();
    }
    const Clock::time_point end = Clock::now() + 1100ms;
    while (Clock::now() < end) {
        for (Watched& w : watched) {
            const Clock::time_point asked = Clock::now();
            const bool online = w.motor.online();
            const Clock::time_point answered = Clock::now();
            const std::string what = "motor " + std::to_string(&w - watched) + ", limit " +
                                     std::to_string(w.limit.count()) + " ms";
            if (online) {
                EXPECT_FALSE(w.latched) << what << ": offline is for good";
                // Online means its age was within the limit at some moment
                // of the call.
                EXPECT_LE(asked - w.swapped_before, w.limit + std::chrono::microseconds(1)) << what;
                if (answered - w.swapped_after <= w.limit - 1ms) ++w.conclusive_online;
            } else {
                EXPECT_GT(answered - w.swapped_after, w.limit) << what;
                if (asked - w.swapped_before > w.limit + 1ms) ++w.conclusive_offline;
                if (!w.latched) {
                    w.latched = true;
                    // Feedback again does not bring a motor back.
                    w.motor.CanAnalyze(&w.feedback);
                    w.motor.ExchangeMotorMsg();
                }
            }
        }
        std::this_thread::sleep_for(1ms);
    }
    for (const Watched& w : watched) {
        EXPECT_TRUE(w.latched) << w.limit.count() << " ms";
        EXPECT_GT(w.conclusive_online, 0) << w.limit.count() << " ms";
        EXPECT_GT(w.conclusive_offline, 0) << w.limit.count() << " ms";
    }
}

TEST(MotorOnline, NeverSwappedMotorIsOffline) {
    MotorType2 gripper(8);
    EXPECT_FALSE(gripper.online());
}

TEST(MotorDriver, RejectsIdentifiersThatDoNotFitTheNibble) {
    EXPECT_THROW(MotorType1(0), std::invalid_argument);
    EXPECT_THROW(MotorType2(16), std::invalid_argument);
}

}  // namespace
}  // namespace qel::hw_interface
