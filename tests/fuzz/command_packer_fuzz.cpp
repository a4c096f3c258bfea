// Arbitrary doubles (any bit pattern: NaN, infinities, subnormals) through
// the command packer of both driver families. The build's float-cast-overflow
// check aborts if a value that is not finite, or out of range, ever reaches an
// integer conversion.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstring>
#include <initializer_list>

#include "fuzz_check.hpp"
#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "qel/can_motor_dlc/Mtp1Dlc.hpp"
#include "qel/can_motor_dlc/Mtp2Dlc.hpp"

using namespace qel::hw_interface;

namespace {

// What the motor reads from a command field must be the clamped value to
// within one quantisation step. A value that is not finite (NaN or an
// infinity) is no value at all and goes out as 0.
void checkField(double sent, double got, double min, double max, int bits) {
    double expected = std::isfinite(sent) ? sent : 0.0;
    expected = expected > max ? max : (expected < min ? min : expected);
    QEL_FUZZ_CHECK(std::isfinite(got));
    QEL_FUZZ_CHECK(std::fabs(got - expected) <= (max - min) / ((1 << bits) - 1) * 1.001);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const int id = input.ConsumeIntegralInRange<int>(1, 15);
    HybridJointCmd command;
    command.k_p = anyDouble(input);
    command.k_d = anyDouble(input);
    command.position = anyDouble(input);
    command.velocity = anyDouble(input);
    command.torque = anyDouble(input);

    MotorType1 type1(id);
    MotorType2 type2(id);
    struct Family {
        MotorDlcBase* motor;
        double torque_limit;
    };
    for (const Family& family : {Family{&type1, 28.0}, Family{&type2, 10.0}}) {
        const CanFrame frame = family.motor->packMotorMsg(&command);
        const CanFrame same = family.motor->packMotorMsg(command.k_p, command.k_d, command.position,
                                                         command.velocity, command.torque);
        QEL_FUZZ_CHECK(std::memcmp(&frame, &same, sizeof frame) == 0);
        QEL_FUZZ_CHECK(frame.can_id == static_cast<uint32_t>(id) && frame.can_dlc == 8);
        QEL_FUZZ_CHECK(frame.__pad == 0 && frame.__res0 == 0 && frame.__res1 == 0);
        const HybridJointCmd seen = unpackImpedanceFrame(frame, family.torque_limit);
        // No stiffness towards a set-point that is not a number.
        const bool set_point = std::isfinite(command.position) && std::isfinite(command.velocity);
        checkField(set_point ? command.k_p : 0.0, seen.k_p, 0, 500, 12);
        checkField(command.k_d, seen.k_d, 0, 5, 12);
        checkField(command.position, seen.position, -12.5, 12.5, 16);
        checkField(command.velocity, seen.velocity, -45, 45, 12);
        checkField(command.torque, seen.torque, -family.torque_limit, family.torque_limit, 12);
    }
    return 0;
}
