// Timing of the running controller, as a host and the wire see it.
//
// Starts the virtual arm and a controller on vcan0 and, over a stretch of
// position control, reports the control period measured from the frames on
// the wire (median, 99th percentile, maximum), the latency from
// setJointPositions to the first frame carrying the moved set-point, and the
// cost of getJointPositons; then the same period figures in end-effector
// control with an unreachable target, where every cycle searches for the
// furthest reachable point.
//
// Built twice: controller_timing runs on the kernel's vcan (inside
// scripts/with-vcan), controller_timing_inprocess natively on the in-process
// bus, which shows the controller's own timing on a machine without CAN.
//
//   controller_timing [seconds per phase, default 10]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "qel/interfaces/InterfacesThread.hpp"
#include "sim/VirtualArm.hpp"
#include "support/CanRecorder.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kEndControl = 4;
constexpr int kPositionControl = 5;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void printStats(const char* what, std::vector<double> values, const char* unit) {
    if (values.empty()) {
        std::printf("%-44s no samples\n", what);
        return;
    }
    std::sort(values.begin(), values.end());
    auto at = [&](double q) { return values[static_cast<size_t>(q * (values.size() - 1))]; };
    std::printf("%-44s n %6zu  median %7.3f  p99 %7.3f  max %7.3f %s\n", what, values.size(), at(0.5),
                at(0.99), values.back(), unit);
}

// Gaps between consecutive frames to motor 1: one per control cycle.
std::vector<double> cyclePeriods(const qel::test::CanRecorder& wire) {
    std::vector<double> periods;
    auto frames = wire.framesWithId(1);
    for (size_t i = 1; i < frames.size(); ++i) periods.push_back(ms(frames[i].time - frames[i - 1].time));
    return periods;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const auto phase = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));

    qel::sim::VirtualArm sim;
    sim.start();
    qel::m4::InterfacesThread arm(QEL_URDF_PATH, "vcan0", 0);
    arm.setArmStatus(kPositionControl);
    std::this_thread::sleep_for(500ms);

    // Position control, with a new joint-2 target every half second.
    std::vector<double> latencies;
    std::vector<std::vector<double>> periods_seen;
    {
        qel::test::CanRecorder wire("vcan0");
        const auto start = Clock::now();
        double target = 0.3;
        while (Clock::now() - start < phase) {
            auto decode = [](const qel::hw_interface::CanFrame& f) {
                return qel::hw_interface::unpackImpedanceFrame(f, 28.0).position;
            };
            const auto previous = wire.framesWithId(2);
            const double before = previous.empty() ? 0.0 : decode(previous.back().frame);
            const bool up = target > before;
            auto movedOn = [&](const qel::hw_interface::CanFrame& f) {
                return f.can_id == 2 && (up ? decode(f) > before + 1e-3 : decode(f) < before - 1e-3);
            };
            periods_seen.push_back(cyclePeriods(wire));
            wire.clear();
            const auto sent = Clock::now();
            arm.setJointPositions({0.0, target, 0.0, 0.0, 0.0, 0.0});
            if (wire.waitFor(movedOn, 1, 1s)) {
                for (const auto& r : wire.framesWithId(2)) {
                    if (movedOn(r.frame)) {
                        latencies.push_back(ms(r.time - sent));
                        break;
                    }
                }
            }
            std::this_thread::sleep_until(sent + 500ms);
            target = target > 0.2 ? 0.1 : 0.3;
        }
        periods_seen.push_back(cyclePeriods(wire));
        std::printf("position control, %.0f s:\n", seconds);
        std::vector<double> periods;
        for (const auto& stretch : periods_seen) periods.insert(periods.end(), stretch.begin(), stretch.end());
        printStats("  control period (frames to motor 1)", periods, "ms");
        printStats("  setJointPositions to first moved frame", latencies, "ms");
    }

    {
        constexpr int kCalls = 200000;
        const auto start = Clock::now();
        double sink = 0.0;
        for (int i = 0; i < kCalls; ++i) sink += arm.getJointPositons()[1];
        const double per_call_ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kCalls;
        std::printf("  getJointPositons: %.0f ns per call (checksum %.1f)\n", per_call_ns, sink);
    }

    // End-effector control towards a point far out of reach.
    {
        // Inside the workspace box the targets are clamped to, but about 0.9 m
        // from the zero pose: far beyond the arm's reach.
        Eigen::Isometry3d far_away = arm.getEndPose();
        far_away.translation() = Eigen::Vector3d(0.5, 0.5, 0.5);
        arm.setEndPose(far_away);
        arm.setArmStatus(kEndControl);
        std::this_thread::sleep_for(300ms);
        qel::test::CanRecorder wire("vcan0");
        std::this_thread::sleep_for(phase);
        std::printf("end-effector control, unreachable target, %.0f s:\n", seconds);
        printStats("  control period (frames to motor 1)", cyclePeriods(wire), "ms");
        arm.setArmStatus(kPositionControl);
    }
    const auto codes = arm.getErrorCode();
    std::printf("error codes during the run: %zu\n", codes.size());
    return 0;
}
