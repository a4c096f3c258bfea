// The host-facing setters of the vector interface with arbitrary numbers and
// lengths, against the virtual arm on the in-process bus. One controller is
// built at start-up and lives for the whole run. Checked: the setters' answers
// follow their contract, what the host reads back stays finite, every
// command frame on the wire decodes to values within the motors' ranges, and
// (through the build's float-cast-overflow check) no value that is not a
// number is ever converted to an integer on the way.
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "fuzz_check.hpp"
#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "qel/interfaces/InterfacesPy.hpp"
#include "sim/VirtualArm.hpp"
#include "support/CanRecorder.hpp"

namespace {

struct Rig {
    qel::sim::VirtualArm arm{[] {
        qel::sim::VirtualArmOptions options;
        options.interface = "vcan0";
        return options;
    }()};
    std::unique_ptr<qel::test::CanRecorder> recorder;
    std::unique_ptr<qel::m4::InterfacesPy> host;
};
Rig* rig = nullptr;

void tearDown() {
    if (rig == nullptr) return;
    rig->host.reset();
    rig->recorder.reset();
    rig->arm.stop();
    delete rig;
    rig = nullptr;
}

// Mostly sensible angles, so that the arm moves; otherwise any bit pattern.
double someDouble(FuzzedDataProvider& input) {
    if (input.ConsumeBool()) return input.ConsumeFloatingPointInRange(-4.0, 4.0);
    return anyDouble(input);
}

std::vector<double> anyVector(FuzzedDataProvider& input) {
    std::vector<double> values(input.ConsumeIntegralInRange<size_t>(0, 9));
    for (double& v : values) v = someDouble(input);
    return values;
}

bool finite(const std::vector<double>& values, size_t n) {
    if (values.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (!std::isfinite(values[i])) return false;
    return true;
}

void checkReadBack() {
    for (const std::vector<double>& values :
         {rig->host->get_joint_positions(), rig->host->get_joint_velocities(),
          rig->host->get_joint_currents(), rig->host->get_ee_pose(), rig->host->get_ee_pose_xyzrpy()}) {
        for (double v : values) QEL_FUZZ_CHECK(std::isfinite(v));
    }
}

// Command frames to the seven motors, decoded as the motors decode them.
void checkWire() {
    for (const qel::test::RecordedFrame& recorded : rig->recorder->frames()) {
        const qel::hw_interface::CanFrame& frame = recorded.frame;
        if (frame.can_id == 0 || frame.can_id > 8) continue;
        QEL_FUZZ_CHECK(frame.can_dlc == 8);
        if (qel::hw_interface::isEnableFrame(frame) || qel::hw_interface::isDisableFrame(frame)) continue;
        const double limit = frame.can_id <= 4 ? 28.0 : 10.0;
        const qel::hw_interface::HybridJointCmd command =
            qel::hw_interface::unpackImpedanceFrame(frame, limit);
        QEL_FUZZ_CHECK(std::isfinite(command.position) && std::fabs(command.position) <= 12.5);
        QEL_FUZZ_CHECK(command.k_p >= 0.0 && command.k_p <= 500.0);
        QEL_FUZZ_CHECK(std::fabs(command.torque) <= limit);
    }
    rig->recorder->clear();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    rig = new Rig;
    rig->arm.start();
    rig->recorder = std::make_unique<qel::test::CanRecorder>("vcan0");
    rig->host = std::make_unique<qel::m4::InterfacesPy>(QEL_FUZZ_URDF, "vcan0", 0);
    std::atexit(tearDown);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    while (input.remaining_bytes() > 0) {
        switch (input.ConsumeIntegralInRange<int>(0, 4)) {
            case 0: {
                const std::vector<double> positions = anyVector(input);
                QEL_FUZZ_CHECK(rig->host->set_joint_positions(positions) == finite(positions, 6));
                break;
            }
            case 1: {
                const std::vector<double> pose = anyVector(input);
                const bool accepted = rig->host->set_ee_pose(pose);
                if (!finite(pose, 7)) QEL_FUZZ_CHECK(!accepted);
                break;
            }
            case 2: {
                const double position = someDouble(input);
                QEL_FUZZ_CHECK(rig->host->set_catch(position) == std::isfinite(position));
                break;
            }
            case 3:
                // Mostly the states that move the arm; sometimes anything.
                rig->host->set_arm_status(input.ConsumeBool() ? input.ConsumeIntegralInRange<int>(3, 5)
                                                              : input.ConsumeIntegral<int>());
                break;
            case 4: {
                const double a = someDouble(input), b = someDouble(input), c = someDouble(input);
                bool threw = false;
                try {
                    rig->host->qel_x(a, b, c);
                } catch (const std::invalid_argument&) {
                    threw = true;
                }
                if (!std::isfinite(a) || !std::isfinite(b)) QEL_FUZZ_CHECK(threw);
                break;
            }
        }
    }
    // Let a few control cycles carry the commands onto the wire.
    std::this_thread::sleep_for(std::chrono::milliseconds(12));
    checkReadBack();
    checkWire();
    return 0;
}
