// The host-facing setters and motion operations of the vector interface with
// arbitrary numbers and lengths, against the virtual arm on the in-process
// bus. One controller is built at start-up and lives for the whole run.
// Checked: the setters' answers follow their contract, a motion call throws
// exactly for malformed input (and otherwise answers), what the host reads
// back stays finite, every
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

// The motion operations' rules for their input, as the interface states them.
bool jointVector(const std::vector<double>& q) { return (q.size() == 6 || q.size() == 7) && finite(q, q.size()); }
bool positive(double value) { return std::isfinite(value) && value > 0.0; }

bool wellFormed(const std::vector<qel::m4::TrajectoryPoint>& points) {
    if (points.empty()) return false;
    const bool velocities = !points.front().velocities.empty();
    const bool accelerations = !points.front().accelerations.empty();
    if (accelerations && !velocities) return false;
    for (size_t k = 0; k < points.size(); ++k) {
        const qel::m4::TrajectoryPoint& p = points[k];
        if (!jointVector(p.positions) || p.positions.size() != points.front().positions.size()) return false;
        if (velocities != !p.velocities.empty() || accelerations != !p.accelerations.empty()) return false;
        if (velocities && (p.velocities.size() != p.positions.size() || !finite(p.velocities, p.velocities.size()))) {
            return false;
        }
        if (accelerations &&
            (p.accelerations.size() != p.positions.size() || !finite(p.accelerations, p.accelerations.size()))) {
            return false;
        }
        if (!std::isfinite(p.time_from_start) || p.time_from_start < 0.0) return false;
        if (k > 0 && !(p.time_from_start > points[k - 1].time_from_start)) return false;
    }
    return true;
}

// Runs a motion call; true if it threw std::invalid_argument.
template <typename Call>
bool throws(Call&& call) {
    try {
        call();
    } catch (const std::invalid_argument&) {
        return true;
    }
    return false;
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
        switch (input.ConsumeIntegralInRange<int>(0, 9)) {
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
            // Motions, all asynchronous: a blocking one would wait for the arm.
            case 5: {
                const std::vector<double> q = anyVector(input);
                const double speed = someDouble(input), acceleration = someDouble(input);
                const bool threw = throws([&] { rig->host->move_j(q, speed, acceleration, true); });
                QEL_FUZZ_CHECK(threw == !(jointVector(q) && positive(speed) && positive(acceleration)));
                break;
            }
            case 6: {
                const std::vector<double> pose = anyVector(input);
                const double speed = someDouble(input), acceleration = someDouble(input);
                const bool threw = throws([&] { rig->host->move_l(pose, speed, acceleration, true); });
                if (!(pose.size() == 7 && finite(pose, 7) && positive(speed) && positive(acceleration))) {
                    QEL_FUZZ_CHECK(threw);
                }
                break;
            }
            case 7: {
                std::vector<qel::m4::TrajectoryPoint> points(input.ConsumeIntegralInRange<size_t>(0, 3));
                double t = 0.0;
                for (qel::m4::TrajectoryPoint& point : points) {
                    point.positions = anyVector(input);
                    if (input.ConsumeBool()) point.velocities = anyVector(input);
                    t += input.ConsumeBool() ? input.ConsumeFloatingPointInRange(0.05, 1.0) : anyDouble(input);
                    point.time_from_start = t;
                }
                const bool threw = throws([&] { rig->host->follow_joint_trajectory(points, true); });
                QEL_FUZZ_CHECK(threw == !wellFormed(points));
                break;
            }
            case 8: {
                const std::vector<double> q = anyVector(input);
                const double time = someDouble(input);
                const bool threw = throws([&] { rig->host->servo_j(q, time); });
                QEL_FUZZ_CHECK(threw == !(jointVector(q) && positive(time)));
                break;
            }
            case 9: {
                const double deceleration = someDouble(input);
                QEL_FUZZ_CHECK(throws([&] { rig->host->stop_motion(deceleration); }) == !positive(deceleration));
                const qel::m4::MotionStatus status = rig->host->motion_status();
                QEL_FUZZ_CHECK(std::isfinite(status.progress) && status.progress >= 0.0 && status.progress <= 1.0);
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
