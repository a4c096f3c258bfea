#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "qel/can_motor_dlc/Mtp1Dlc.hpp"
#include "qel/can_motor_dlc/Mtp2Dlc.hpp"
#include "sim/SimulatedMotor.hpp"

namespace qel::sim {
namespace {

using hw_interface::CanFrame;
using hw_interface::MotorType1;
using hw_interface::MotorType2;
using Kind = SimulatedMotor::FrameKind;

const MotorSpec& specOf(int motor_id) { return kMotorLayout[axisOfMotor(motor_id)]; }

// What the controller's driver makes of an answer.
struct Decoded {
    int error;
    hw_interface::HybridJointStatus status;
};
Decoded decodeWithDriver(hw_interface::ImpedanceMotor& driver, CanFrame frame) {
    driver.CanAnalyze(&frame);
    driver.ExchangeMotorMsg();
    return {driver.getErrorCode(), driver.GetMotorMsg()};
}

TEST(SimulatedMotor, SpeaksTheDriversWireFormat) {
    MotorType1 driver(4);
    SimulatedMotor motor(specOf(4));

    // Disabled until enabled: status 0, no torque.
    EXPECT_EQ(decodeWithDriver(driver, motor.answer({})).error, 0);
    EXPECT_EQ(motor.receive(driver.packEnableMotor()), Kind::kEnable);
    EXPECT_TRUE(motor.enabled());
    EXPECT_EQ(decodeWithDriver(driver, motor.answer({})).error, 1);

    // A command comes out as the driver quantised it.
    const CanFrame command = driver.packMotorMsg(150.0, 1.0, 0.7, -0.25, 3.5);
    EXPECT_EQ(motor.receive(command), Kind::kCommand);
    EXPECT_NEAR(motor.command().k_p, 150.0, 500.0 / 4095);
    EXPECT_NEAR(motor.command().k_d, 1.0, 5.0 / 4095);
    EXPECT_NEAR(motor.command().position, 0.7, 25.0 / 65535);
    EXPECT_NEAR(motor.command().velocity, -0.25, 90.0 / 4095);
    EXPECT_NEAR(motor.command().torque, 3.5, 56.0 / 4095);
    // Re-packing the decoded command gives the same bytes: both ends share
    // one quantisation.
    hw_interface::HybridJointCmd again = motor.command();
    EXPECT_EQ(std::memcmp(driver.packMotorMsg(&again).data, command.data, 8), 0);

    // Position, velocity and current (torque over the torque constant) arrive.
    const Decoded fed = decodeWithDriver(driver, motor.answer({0.5, -1.0, 2.8}));
    EXPECT_NEAR(fed.status.position, 0.5, 25.0 / 65535);
    EXPECT_NEAR(fed.status.velocity, -1.0, 90.0 / 4095);
    EXPECT_NEAR(fed.status.current, 2.8 / specOf(4).torque_constant, 36.0 / 4095);

    // Disable drops the command and the status.
    EXPECT_EQ(motor.receive(driver.packDisableMotor()), Kind::kDisable);
    EXPECT_FALSE(motor.enabled());
    EXPECT_EQ(motor.command().k_p, 0.0);
    EXPECT_EQ(decodeWithDriver(driver, motor.answer({})).error, 0);
}

TEST(SimulatedMotor, IgnoresFramesThatAreNotForIt) {
    SimulatedMotor motor(specOf(5));
    MotorType2 other(6);
    EXPECT_EQ(motor.receive(other.packEnableMotor()), Kind::kIgnored);
    CanFrame shortFrame = MotorType2(5).packEnableMotor();
    shortFrame.can_dlc = 7;
    EXPECT_EQ(motor.receive(shortFrame), Kind::kIgnored);
    CanFrame extended = MotorType2(5).packEnableMotor();
    extended.can_id |= 0x80000000u;
    EXPECT_EQ(motor.receive(extended), Kind::kIgnored);
    EXPECT_FALSE(motor.enabled());
}

TEST(SimulatedMotor, FaultsShapeTheAnswers) {
    using namespace std::chrono_literals;
    MotorType2 driver(7);
    SimulatedMotor motor(specOf(7));
    const SimClock::time_point t0{std::chrono::seconds(100)};

    EXPECT_TRUE(motor.planAnswer(t0, 0.0).send);
    EXPECT_EQ(motor.planAnswer(t0, 0.0).due, t0);

    MotorFaults faults;
    faults.status_code = 9;
    faults.current = 15.0;
    motor.setFaults(faults);
    const Decoded faulty = decodeWithDriver(driver, motor.answer({0.0, 0.0, 1.0}));
    EXPECT_EQ(faulty.error, 9);
    EXPECT_NEAR(faulty.status.current, 15.0, 36.0 / 4095);

    faults = {};
    faults.silent_from = t0;
    motor.setFaults(faults);
    EXPECT_TRUE(motor.planAnswer(t0 - 1ms, 0.5).send);
    EXPECT_FALSE(motor.planAnswer(t0, 0.5).send);
    EXPECT_FALSE(motor.planAnswer(t0 + 1h, 0.5).send);

    faults = {};
    faults.drop_fraction = 0.25;
    motor.setFaults(faults);
    EXPECT_FALSE(motor.planAnswer(t0, 0.2).send);
    EXPECT_TRUE(motor.planAnswer(t0, 0.3).send);
    faults.drop_fraction = 1.0;
    motor.setFaults(faults);
    EXPECT_FALSE(motor.planAnswer(t0, 0.999999).send);

    faults = {};
    faults.delay = 50ms;
    motor.setFaults(faults);
    EXPECT_EQ(motor.planAnswer(t0, 0.0).due, t0 + 50ms);

    // Bad settings are refused and leave the previous ones in place.
    MotorFaults bad_code;
    bad_code.status_code = 16;
    MotorFaults bad_current;
    bad_current.current = std::numeric_limits<double>::infinity();
    MotorFaults bad_drop;
    bad_drop.drop_fraction = std::numeric_limits<double>::quiet_NaN();
    MotorFaults bad_delay;
    bad_delay.delay = -1ms;
    for (const MotorFaults& bad : {bad_code, bad_current, bad_drop, bad_delay}) {
        EXPECT_THROW(motor.setFaults(bad), std::invalid_argument);
        EXPECT_EQ(motor.faults().delay, 50ms);
    }
}

}  // namespace
}  // namespace qel::sim
