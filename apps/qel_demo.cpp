// qel-demo: a scripted session on the arm (the virtual one, or a real one).
//
// Homes the arm through the public threaded interface, then runs gravity
// compensation, three joint-space moves, one end-effector move, the gripper,
// a payload change and a read of the error codes. Every control cycle's
// targets and measurements go to <out>/trajectory.csv; a summary table of the
// moves and of the control-cycle period is printed at the end. Exits 0 only if
// every move reached its target.
#include <getopt.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include <Eigen/Geometry>

#include "qel/interfaces/InterfacesThread.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using qel::m4::InterfacesThread;

enum ArmState { kSoft = 0, kGoHome = 1, kProtect = 2, kGravity = 3, kEndControl = 4, kPosition = 5 };

constexpr int kJoints = 6;
constexpr double kJointTolerance = 0.02;     // rad
constexpr double kPoseTolerance = 0.005;     // m
constexpr double kGripperTolerance = 0.15;   // gripper motor units
constexpr auto kMoveTimeout = 20s;

struct Options {
    std::string can = "vcan0";
    std::string urdf;
    std::string out = "demo-out";
};

// What the logger writes per control cycle: the demo's current targets.
struct Targets {
    std::mutex mutex;
    int state = kGoHome;
    std::vector<double> joints = std::vector<double>(7, 0.0);
};

// Samples the arm at the control rate into the CSV file and keeps the gaps
// between distinct published samples as a measure of the cycle period.
class TrajectoryLogger {
public:
    TrajectoryLogger(InterfacesThread& arm, Targets& targets, const std::string& path)
        : arm_(arm), targets_(targets), csv_(path) {
        csv_ << "time_s,state";
        for (int i = 1; i <= 7; ++i) csv_ << ",target" << i;
        for (int i = 1; i <= 7; ++i) csv_ << ",measured" << i;
        csv_ << "\n";
        thread_ = std::thread([this] { run(); });
    }
    ~TrajectoryLogger() {
        stop_ = true;
        thread_.join();
    }
    std::vector<double> periodsMs() const { return periods_ms_; }

private:
    void run() {
        const auto start = Clock::now();
        auto next = start;
        std::vector<double> previous;
        auto previous_change = start;
        while (!stop_) {
            next += 1ms;
            std::this_thread::sleep_until(next);
            std::vector<double> measured = arm_.getJointPositons();
            const auto now = Clock::now();
            if (measured == previous) continue;
            if (!previous.empty()) {
                periods_ms_.push_back(std::chrono::duration<double, std::milli>(now - previous_change).count());
            }
            previous = measured;
            previous_change = now;
            std::lock_guard<std::mutex> guard(targets_.mutex);
            csv_ << std::chrono::duration<double>(now - start).count() << "," << targets_.state;
            for (double t : targets_.joints) csv_ << "," << t;
            for (double m : measured) csv_ << "," << m;
            csv_ << "\n";
        }
    }

    InterfacesThread& arm_;
    Targets& targets_;
    std::ofstream csv_;
    std::atomic<bool> stop_{false};
    std::vector<double> periods_ms_;
    std::thread thread_;
};

struct MoveResult {
    std::string name;
    bool reached = false;
    double seconds = 0.0;
    std::vector<double> final_error;
};

// Polls `error` every 10 ms until it is within `tolerance` or the time-out.
MoveResult waitUntil(const std::string& name, const std::function<std::vector<double>()>& error,
                     double tolerance) {
    MoveResult result;
    result.name = name;
    const auto start = Clock::now();
    while (Clock::now() - start < kMoveTimeout) {
        result.final_error = error();
        double worst = 0.0;
        for (double e : result.final_error) worst = std::max(worst, std::fabs(e));
        if (worst <= tolerance) {
            result.reached = true;
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Let it settle a little and report the error it settles at.
    std::this_thread::sleep_for(300ms);
    result.final_error = error();
    return result;
}

std::vector<double> jointError(InterfacesThread& arm, const std::vector<double>& target) {
    std::vector<double> measured = arm.getJointPositons();
    std::vector<double> error(kJoints);
    for (int i = 0; i < kJoints; ++i) error[i] = measured[i] - target[i];
    return error;
}

void usage(const char* program, FILE* to) {
    std::fprintf(to,
                 "usage: %s [--can IFACE] [--urdf FILE] [--out DIR]\n"
                 "  --can IFACE  SocketCAN interface of the arm (default vcan0)\n"
                 "  --urdf FILE  robot description (default: the one shipped with the library)\n"
                 "  --out DIR    where trajectory.csv goes (default demo-out)\n",
                 program);
}

bool parse(int argc, char** argv, Options* options) {
    static const option long_options[] = {{"can", required_argument, nullptr, 'c'},
                                          {"urdf", required_argument, nullptr, 'u'},
                                          {"out", required_argument, nullptr, 'o'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        switch (opt) {
            case 'c': options->can = optarg; break;
            case 'u': options->urdf = optarg; break;
            case 'o': options->out = optarg; break;
            case 'h': usage(argv[0], stdout); std::exit(0);
            default: return false;
        }
    }
    return optind == argc;
}

void printSummary(const std::vector<MoveResult>& moves, std::vector<double> periods) {
    std::printf("\n%-34s %-8s %8s   %s\n", "move", "reached", "time s", "final error per joint");
    for (const auto& move : moves) {
        std::printf("%-34s %-8s %8.2f  ", move.name.c_str(), move.reached ? "yes" : "NO", move.seconds);
        for (double e : move.final_error) std::printf(" %+.4f", e);
        std::printf("\n");
    }
    if (periods.empty()) return;
    std::sort(periods.begin(), periods.end());
    auto at = [&](double q) { return periods[static_cast<size_t>(q * (periods.size() - 1))]; };
    std::printf("\ncontrol period as seen by the host over %zu cycles: median %.2f ms, "
                "p99 %.2f ms, max %.2f ms\n",
                periods.size(), at(0.5), at(0.99), periods.back());
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, &options)) {
        usage(argv[0], stderr);
        return 2;
    }
    if (options.urdf.empty()) options.urdf = QEL_DEFAULT_URDF;
    mkdir(options.out.c_str(), 0755);

    std::printf("Connecting to the arm on %s and homing it (takes a few seconds)...\n",
                options.can.c_str());
    std::unique_ptr<InterfacesThread> arm;
    std::exception_ptr failure;
    std::atomic<bool> constructed{false};
    std::thread builder([&] {
        try {
            arm = std::make_unique<InterfacesThread>(options.urdf, options.can, 0);
        } catch (...) {
            failure = std::current_exception();
        }
        constructed = true;
    });
    const auto homing_start = Clock::now();
    while (!constructed) {
        std::this_thread::sleep_for(500ms);
        std::printf("  homing... %.1f s\n", std::chrono::duration<double>(Clock::now() - homing_start).count());
        std::fflush(stdout);
    }
    builder.join();
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "qel-demo: the arm could not be started: %s\n", e.what());
        }
        return 1;
    }
    std::printf("Homed in %.2f s.\n", std::chrono::duration<double>(Clock::now() - homing_start).count());

    Targets targets;
    std::vector<MoveResult> moves;
    {
        TrajectoryLogger logger(*arm, targets, options.out + "/trajectory.csv");
        auto setState = [&](int state) {
            std::lock_guard<std::mutex> guard(targets.mutex);
            targets.state = state;
            arm->setArmStatus(state);
        };

        std::printf("Gravity compensation for 2 s: the arm floats where it is.\n");
        std::vector<double> before = arm->getJointPositons();
        setState(kGravity);
        std::this_thread::sleep_for(2s);
        {
            std::vector<double> after = arm->getJointPositons();
            MoveResult drift{"gravity compensation holds still", true, 2.0, std::vector<double>{}};
            for (int i = 0; i < kJoints; ++i) {
                drift.final_error.push_back(after[i] - before[i]);
                drift.reached = drift.reached && std::fabs(after[i] - before[i]) < 0.05;
            }
            moves.push_back(drift);
        }

        // Hold the current posture before switching, so the switch is smooth.
        std::vector<double> hold = arm->getJointPositons();
        hold.resize(kJoints);
        arm->setJointPositions(hold);
        setState(kPosition);

        const std::vector<std::vector<double>> joint_moves = {
            {0.0, 0.8, 0.6, 0.0, 0.3, 0.0},
            {0.6, 1.2, 1.0, 0.4, -0.4, 0.8},
            {-0.4, 0.5, 0.4, -0.3, 0.2, -0.5},
        };
        for (size_t m = 0; m < joint_moves.size(); ++m) {
            const auto& target = joint_moves[m];
            std::printf("Joint move %zu to [", m + 1);
            for (double t : target) std::printf(" %.2f", t);
            std::printf(" ]\n");
            {
                std::lock_guard<std::mutex> guard(targets.mutex);
                std::copy(target.begin(), target.end(), targets.joints.begin());
            }
            arm->setJointPositions(target);
            moves.push_back(waitUntil("joint move " + std::to_string(m + 1),
                                      [&] { return jointError(*arm, target); }, kJointTolerance));
        }

        std::printf("End-effector move: 3 cm up and 2 cm sideways from here.\n");
        Eigen::Isometry3d pose = arm->getEndPose();
        pose.translation() += Eigen::Vector3d(0.0, 0.02, 0.03);
        arm->setEndPose(pose);
        setState(kEndControl);
        moves.push_back(waitUntil("end-effector move", [&] {
            Eigen::Vector3d d = arm->getEndPose().translation() - pose.translation();
            return std::vector<double>{d.x(), d.y(), d.z()};
        }, kPoseTolerance));
        {
            // Keep the joint targets in the log in step with where IK took the arm.
            std::vector<double> now = arm->getJointPositons();
            std::lock_guard<std::mutex> guard(targets.mutex);
            std::copy(now.begin(), now.begin() + kJoints, targets.joints.begin());
            now.resize(kJoints);
            arm->setJointPositions(now);
        }
        setState(kPosition);

        for (double gripper : {2.5, 0.0}) {
            std::printf("Gripper %s (target %.1f).\n", gripper > 0 ? "opens" : "closes", gripper);
            {
                std::lock_guard<std::mutex> guard(targets.mutex);
                targets.joints[6] = gripper;
            }
            arm->setCatch(gripper);
            moves.push_back(waitUntil(gripper > 0 ? "gripper open" : "gripper close", [&] {
                return std::vector<double>{arm->getJointPositons()[6] - gripper};
            }, kGripperTolerance));
        }

        std::printf("Payload of 0.3 kg: the arm must hold its posture.\n");
        std::vector<double> held;
        {
            std::lock_guard<std::mutex> guard(targets.mutex);
            held.assign(targets.joints.begin(), targets.joints.begin() + kJoints);
        }
        arm->setEndEffectorMass(0.3);
        std::this_thread::sleep_for(1s);
        moves.push_back(waitUntil("hold with a 0.3 kg payload",
                                  [&] { return jointError(*arm, held); }, kJointTolerance));
        arm->setEndEffectorMass(0.0);

        std::vector<int> codes = arm->getErrorCode();
        std::printf("Error codes reported: %zu", codes.size());
        for (size_t i = 0; i < codes.size() && i < 10; ++i) std::printf(" %d", codes[i]);
        std::printf("\n");
        moves.push_back({"no error codes", codes.empty(), 0.0, {}});

        setState(kProtect);
        std::this_thread::sleep_for(200ms);
        printSummary(moves, logger.periodsMs());
    }

    std::printf("\nShutting down.\n");
    std::fflush(stdout);
    arm.reset();
    const bool all_reached =
        std::all_of(moves.begin(), moves.end(), [](const MoveResult& m) { return m.reached; });
    std::printf("%s\n", all_reached ? "Demo passed: every move reached its target."
                                    : "Demo FAILED: some move did not reach its target.");
    return all_reached ? 0 : 1;
}
