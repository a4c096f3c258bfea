// The motion layer's figures on the virtual arm in real time: what the
// set-points sent on the wire do (read by an independent peer on the bus,
// decoded as the motors decode them) and what the measured arm does, for a
// joint move, a 10 cm line, a 100 Hz stream of a sine and a stop. It reports
// and never fails; run it in a quiet window, since the arm's physics and the
// host's timing are in the numbers.
//
// Built twice: motion_figures runs on the kernel's vcan0 (inside
// scripts/with-vcan), motion_figures_inprocess natively on the in-process bus.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "qel/controller/ControllerThread.hpp"
#include "qel/solver/kinematic_dynamic_solver.hpp"
#include "sim/VirtualArm.hpp"
#include "support/CanRecorder.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using qel::m4::ControllerThread;

constexpr const char* kBus = "vcan0";
constexpr int kMotorIds[7] = {1, 2, 4, 5, 6, 7, 8};
constexpr double kTorqueRange[7] = {28, 28, 28, 10, 10, 10, 10};
constexpr double kCycle = 0.005;

// One control cycle as the peer read it.
struct WireCycle {
    Clock::time_point time;  // when its frame to motor 1 was read
    double position[6];
    double velocity[6];
    int seen;  // bit i: the frame of joint i + 1 was read
};

// The complete cycles read from `from` on (one still being read is left out).
std::vector<WireCycle> wireCycles(const qel::test::CanRecorder& recorder, Clock::time_point from) {
    std::vector<WireCycle> out;
    for (const qel::test::RecordedFrame& recorded : recorder.frames()) {
        if (recorded.time < from) continue;
        for (int i = 0; i < 6; ++i) {
            if (recorded.frame.can_id != static_cast<uint32_t>(kMotorIds[i])) continue;
            if (i == 0) out.push_back(WireCycle{recorded.time, {}, {}, 0});
            if (out.empty()) break;
            const auto command = qel::hw_interface::unpackImpedanceFrame(recorded.frame, kTorqueRange[i]);
            out.back().position[i] = command.position;
            out.back().velocity[i] = command.velocity;
            out.back().seen |= 1 << i;
        }
    }
    out.erase(std::remove_if(out.begin(), out.end(), [](const WireCycle& c) { return c.seen != 0x3F; }), out.end());
    return out;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Samples the measured arm every millisecond while it lives.
class Probe {
public:
    struct Sample {
        Clock::time_point time;
        std::vector<double> joints;
        std::vector<double> velocities;
        Eigen::Vector3d tool;
    };
    explicit Probe(ControllerThread& arm) : arm_(arm), thread_([this] { run(); }) {}
    ~Probe() { finish(); }
    std::vector<Sample> finish() {
        if (thread_.joinable()) {
            stop_ = true;
            thread_.join();
        }
        return samples_;
    }

private:
    void run() {
        while (!stop_) {
            samples_.push_back({Clock::now(), arm_.getJointPositons(), arm_.getJointVelocities(),
                                arm_.getEndPose().translation()});
            std::this_thread::sleep_for(1ms);
        }
    }
    ControllerThread& arm_;
    std::atomic<bool> stop_{false};
    std::vector<Sample> samples_;
    std::thread thread_;
};

double distanceFromLine(const Eigen::Vector3d& p, const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
    const Eigen::Vector3d ab = b - a;
    const double s = std::clamp((p - a).dot(ab) / ab.squaredNorm(), 0.0, 1.0);
    return (a + s * ab - p).norm();
}

void jointMove(ControllerThread& arm, qel::test::CanRecorder& wire) {
    const std::vector<double> goal{0.4, 0.9, 0.7, 0.3, -0.3, 0.4};
    const double speed = 1.0;
    const double acceleration = 2.0;
    const Clock::time_point start = Clock::now();
    Probe probe(arm);
    const bool ok = arm.moveJ(goal, speed, acceleration);
    const Clock::time_point returned = Clock::now();
    const std::vector<Probe::Sample> samples = probe.finish();
    const std::vector<WireCycle> cycles = wireCycles(wire, start);
    double peak = 0.0;
    double step = 0.0;
    // Synchronised joints stand at the same share of their way in every
    // cycle; the wire resolves a share to a position quantum over the way.
    double spread = 0.0;
    double shortest = 1e9;
    for (int i = 0; i < 6; ++i) shortest = std::min(shortest, std::fabs(goal[i] - cycles.front().position[i]));
    for (std::size_t k = 0; k < cycles.size(); ++k) {
        double low = 1e9;
        double high = -1e9;
        for (int i = 0; i < 6; ++i) {
            peak = std::max(peak, std::fabs(cycles[k].velocity[i]));
            if (k > 0) step = std::max(step, std::fabs(cycles[k].velocity[i] - cycles[k - 1].velocity[i]));
            const double share = (cycles[k].position[i] - cycles.front().position[i]) / (goal[i] - cycles.front().position[i]);
            low = std::min(low, share);
            high = std::max(high, share);
        }
        spread = std::max(spread, high - low);
    }
    Clock::time_point arrived = returned;
    for (const Probe::Sample& s : samples) {
        bool there = true;
        for (int i = 0; i < 6; ++i) there = there && std::fabs(s.joints[i] - goal[i]) < 0.02 && std::fabs(s.velocities[i]) < 0.05;
        if (there) {
            arrived = s.time;
            break;
        }
    }
    std::printf("moveJ %s at %.1f rad/s, %.1f rad/s²:\n", ok ? "done" : "NOT DONE", speed, acceleration);
    std::printf("  wire: peak set-point velocity %.3f rad/s (%.1f%% of the speed); largest change per cycle "
                "%.4f rad/s (a·dt = %.4f; the field's quantum is 0.022)\n",
                peak, 100.0 * peak / speed, step, acceleration * kCycle);
    std::printf("  wire: in every cycle the joints stand at the same share of their way to within %.4f "
                "(one position quantum of the shortest way is %.4f)\n",
                spread, 25.0 / 65535 / shortest);
    std::printf("  the call returned %.1f ms after the measured arm arrived\n", 1000.0 * seconds(returned - arrived));
}

void lineMove(ControllerThread& arm, qel::test::CanRecorder& wire) {
    qel::KinematicDynamicSolver fk(QEL_URDF_PATH, "base_link", "link6");
    const Eigen::Isometry3d from = arm.getEndPose();
    Eigen::Isometry3d goal = from;
    goal.translation() += Eigen::Vector3d(0.0, 0.06, 0.08);
    const Clock::time_point start = Clock::now();
    Probe probe(arm);
    const bool ok = arm.moveL(goal, 0.1, 0.5);
    const std::vector<Probe::Sample> samples = probe.finish();
    const std::vector<WireCycle> cycles = wireCycles(wire, start);
    // The line the set-points follow starts at the set-point's pose.
    auto toolOf = [&](const WireCycle& c) -> Eigen::Vector3d {
        KDL::JntArray q(6);
        for (int i = 0; i < 6; ++i) q(i) = c.position[i];
        const KDL::Frame f = fk.computeForwardKinematics(q);
        return {f.p.x(), f.p.y(), f.p.z()};
    };
    const Eigen::Vector3d set_start = toolOf(cycles.front());
    double wire_error = 0.0;
    for (const WireCycle& c : cycles) wire_error = std::max(wire_error, distanceFromLine(toolOf(c), set_start, goal.translation()));
    double measured_error = 0.0;
    for (const Probe::Sample& s : samples) {
        measured_error = std::max(measured_error, distanceFromLine(s.tool, from.translation(), goal.translation()));
    }
    std::printf("moveL of 10 cm at 0.1 m/s, 0.5 m/s² %s:\n", ok ? "done" : "NOT DONE");
    std::printf("  wire: forward kinematics of the set-points at most %.3f mm from the line\n", wire_error * 1000);
    std::printf("  measured tool at most %.2f mm from the line; at arrival %.2f mm from the goal\n", measured_error * 1000,
                (samples.back().tool - goal.translation()).norm() * 1000);
}

void stream(ControllerThread& arm, qel::test::CanRecorder& wire) {
    std::vector<double> base = arm.getJointPositons();
    base.resize(6);
    const double amplitude = 0.2;
    const double omega = M_PI;
    std::vector<double> target = base;
    Probe probe(arm);
    const Clock::time_point start = Clock::now();
    double last_velocity = 0.0;
    for (int k = 0; k < 400; ++k) {
        const double t = k * 0.01;
        target[0] = base[0] + amplitude * std::sin(omega * t);
        last_velocity = amplitude * omega * std::cos(omega * t);
        arm.servoJ(target, 0.01);
        std::this_thread::sleep_until(start + (k + 1) * 10ms);
    }
    const Clock::time_point stream_end = Clock::now();
    arm.waitMotion(5.0);
    std::this_thread::sleep_for(300ms);
    const std::vector<Probe::Sample> samples = probe.finish();
    const std::vector<WireCycle> cycles = wireCycles(wire, start);
    auto sineAt = [&](Clock::time_point when, double lag) {
        return base[0] + amplitude * std::sin(omega * (seconds(when - start) - lag));
    };
    auto bestLag = [&](const std::function<bool(std::size_t)>& use, const std::function<Clock::time_point(std::size_t)>& when,
                       const std::function<double(std::size_t)>& value, std::size_t n, double* error) {
        double best = 0.0;
        *error = 1e9;
        for (double lag = 0.0; lag <= 0.1; lag += 0.0005) {
            double worst = 0.0;
            for (std::size_t k = 0; k < n; ++k) {
                if (use(k)) worst = std::max(worst, std::fabs(value(k) - sineAt(when(k), lag)));
            }
            if (worst < *error) {
                *error = worst;
                best = lag;
            }
        }
        return best;
    };
    auto inStream = [&](Clock::time_point t) { return t > start + 500ms && t < stream_end; };
    double wire_error = 0.0;
    const double wire_lag = bestLag([&](std::size_t k) { return inStream(cycles[k].time); },
                                    [&](std::size_t k) { return cycles[k].time; },
                                    [&](std::size_t k) { return cycles[k].position[0]; }, cycles.size(), &wire_error);
    double arm_error = 0.0;
    const double arm_lag = bestLag([&](std::size_t k) { return inStream(samples[k].time); },
                                   [&](std::size_t k) { return samples[k].time; },
                                   [&](std::size_t k) { return samples[k].joints[0]; }, samples.size(), &arm_error);
    const double sign = last_velocity < 0 ? -1.0 : 1.0;
    double wire_over = 0.0;
    double arm_over = 0.0;
    for (const WireCycle& c : cycles) {
        if (c.time > stream_end) wire_over = std::max(wire_over, sign * (c.position[0] - target[0]));
    }
    for (const Probe::Sample& s : samples) {
        if (s.time > stream_end) arm_over = std::max(arm_over, sign * (s.joints[0] - target[0]));
    }
    std::printf("servoJ, a 0.5 Hz sine of 0.2 rad on joint 1 at 100 Hz, each target 10 ms ahead:\n");
    std::printf("  wire: set-point lag %.1f ms behind the calls (largest error at that lag %.4f rad)\n", wire_lag * 1000,
                wire_error);
    std::printf("  measured joint lag %.1f ms (largest error %.4f rad)\n", arm_lag * 1000, arm_error);
    std::printf("  after the stream stopped at %.2f rad/s: set-point %.4f rad, measured arm %.4f rad past the last target\n",
                std::fabs(last_velocity), wire_over, arm_over);
}

void stop(ControllerThread& arm, qel::test::CanRecorder& wire) {
    std::vector<double> goal = arm.getJointPositons();
    goal.resize(6);
    goal[0] += goal[0] > 0.0 ? -1.4 : 1.4;
    const double deceleration = 2.0;
    const Clock::time_point start = Clock::now();
    arm.moveJ(goal, 1.0, 4.0, true);
    while (arm.motionStatus().progress < 0.5) std::this_thread::sleep_for(1ms);
    const Clock::time_point called = Clock::now();
    arm.stopMotion(deceleration);
    arm.waitMotion(5.0);
    std::this_thread::sleep_for(100ms);
    const std::vector<WireCycle> cycles = wireCycles(wire, start);
    std::size_t first = 0;
    while (first < cycles.size() && cycles[first].time < called) ++first;
    double v0 = 0.0;
    if (first > 0) {
        for (int i = 0; i < 6; ++i) v0 = std::max(v0, std::fabs(cycles[first - 1].velocity[i]));
    }
    std::size_t rest = first;
    double largest_drop = 0.0;
    for (; rest < cycles.size(); ++rest) {
        double fastest = 0.0;
        double before = 0.0;
        for (int i = 0; i < 6; ++i) {
            fastest = std::max(fastest, std::fabs(cycles[rest].velocity[i]));
            before = std::max(before, std::fabs(cycles[rest - 1].velocity[i]));
        }
        largest_drop = std::max(largest_drop, before - fastest);
        if (fastest <= 0.5 * 90.0 / 4095 * 1.02) break;
    }
    std::printf("stopMotion at %.1f rad/s² from %.2f rad/s:\n", deceleration, v0);
    std::printf("  wire: at rest %zu cycles after the call (the deceleration implies %.0f; the last 2 or 3 "
                "cycles below the field's resolution look the same); largest velocity drop in a cycle %.4f rad/s "
                "(d·dt = %.4f)\n",
                rest - first, std::ceil(v0 / (deceleration * kCycle)), largest_drop, deceleration * kCycle);
}

}  // namespace

int main() {
    qel::sim::VirtualArmOptions options;
    options.interface = kBus;
    qel::sim::VirtualArm sim(options);
    sim.start();
    qel::test::CanRecorder wire(kBus);
    ControllerThread arm(QEL_URDF_PATH, kBus, 0);
    jointMove(arm, wire);
    wire.clear();
    lineMove(arm, wire);
    wire.clear();
    stream(arm, wire);
    wire.clear();
    stop(arm, wire);
    return 0;
}
