// Arbitrary frames through the feedback decoder of both driver families.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "fuzz_check.hpp"
#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "qel/can_motor_dlc/Mtp1Dlc.hpp"
#include "qel/can_motor_dlc/Mtp2Dlc.hpp"

using namespace qel::hw_interface;

namespace {

void checkStatus(const HybridJointStatus& status) {
    QEL_FUZZ_CHECK(status.position >= -12.5 && status.position <= 12.5);
    QEL_FUZZ_CHECK(status.velocity >= -45.0 && status.velocity <= 45.0);
    QEL_FUZZ_CHECK(status.current >= -18.0 && status.current <= 18.0);
    QEL_FUZZ_CHECK(status.torque == 0.0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MotorType1 type1[3] = {MotorType1(1), MotorType1(2), MotorType1(4)};
    static MotorType2 type2[4] = {MotorType2(5), MotorType2(6), MotorType2(7), MotorType2(8)};
    static MotorDlcBase* const motors[7] = {&type1[0], &type1[1], &type1[2], &type2[0],
                                            &type2[1], &type2[2], &type2[3]};
    // Each 16-byte chunk is one frame in the kernel's layout, taken as it is.
    for (size_t at = 0; at + sizeof(CanFrame) <= size || (at == 0 && size > 0); at += sizeof(CanFrame)) {
        CanFrame frame{};
        std::memcpy(&frame, data + at, size - at < sizeof frame ? size - at : sizeof frame);
        MotorFeedback decoded;
        if (decodeFeedbackFrame(frame, &decoded)) {
            QEL_FUZZ_CHECK(frame.can_id == 0);
            QEL_FUZZ_CHECK(decoded.motor_id >= 0 && decoded.motor_id <= 15);
            QEL_FUZZ_CHECK(decoded.error_code >= 0 && decoded.error_code <= 15);
        }
        for (MotorDlcBase* motor : motors) {
            motor->CanAnalyze(&frame);
            motor->ExchangeMotorMsg();
            checkStatus(motor->GetMotorMsg());
            QEL_FUZZ_CHECK(motor->getErrorCode() >= 0 && motor->getErrorCode() <= 15);
        }
        if (size - at <= sizeof frame) break;
    }
    return 0;
}
