// qel-demo: a scripted session on the arm (the virtual one, or a real one).
//
// Homes the arm through the public threaded interface, then runs gravity
// compensation, three joint moves (moveJ), a 10 cm straight line of the tool
// (moveL), a streamed sine (servoJ), a move stopped half-way (stopMotion), the
// gripper, a payload change and a read of the error codes. Every control
// cycle's targets and measurements go to <out>/trajectory.csv, the tool's
// path during the line and the line itself to <out>/line.csv; a summary table
// of the moves (duration, errors, path error) and of the control-cycle period
// is printed at the end. Exits 0 only if every move reached its target; see
// --help for the other exit statuses.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

#include "apps/ArmSession.hpp"
#include "apps/CommandLine.hpp"
#include "qel/interfaces/InterfacesThread.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using qel::m4::InterfacesThread;

enum ArmState { kSoft = 0, kGoHome = 1, kProtect = 2, kGravity = 3, kEndControl = 4, kPosition = 5 };

constexpr int kJoints = 6;
constexpr double kJointTolerance = 0.02;     // rad
constexpr double kGripperTolerance = 0.15;   // gripper motor units
constexpr auto kMoveTimeout = 20s;

// Exit statuses; the tools' shared ones (output, arm start, interrupted) are
// in ArmSession.hpp.
constexpr int kExitPassed = 0;
constexpr int kExitMoveFailed = 1;
using qel::tools::kExitInterruptedBase;
using qel::tools::kExitOutput;

struct Options {
    qel::tools::ArmStart arm;
    std::string out = "demo-out";
};

using qel::tools::stopRequested;
using qel::tools::StopSignalsBlocked;

// Sleeps for `duration` in short steps; false as soon as a stop is requested.
bool pause(Clock::duration duration) {
    const auto end = Clock::now() + duration;
    while (Clock::now() < end) {
        if (stopRequested()) return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(10ms, end - Clock::now()));
    }
    return !stopRequested();
}

// What the logger writes per control cycle: the demo's current targets.
struct Targets {
    std::mutex mutex;
    int state = kGoHome;
    std::vector<double> joints = std::vector<double>(7, 0.0);
};

// One measurement as the host saw it.
struct Sample {
    double time_s;                 // since the logger started
    std::vector<double> joints;    // seven positions
    std::vector<double> velocities;
    Eigen::Vector3d tool;          // measured tool position (m, from the zero pose)
};

// Samples the arm at the control rate into the CSV file and into memory, and
// keeps the gaps between distinct published samples as a measure of the
// cycle period.
class TrajectoryLogger {
public:
    // `csv` is open for writing.
    TrajectoryLogger(InterfacesThread& arm, Targets& targets, std::ofstream csv)
        : arm_(arm), targets_(targets), csv_(std::move(csv)), start_(Clock::now()) {
        csv_ << "time_s,state";
        for (int i = 1; i <= 7; ++i) csv_ << ",target" << i;
        for (int i = 1; i <= 7; ++i) csv_ << ",measured" << i;
        csv_ << ",tool_x,tool_y,tool_z\n";
        StopSignalsBlocked blocked;
        thread_ = std::thread([this] { run(); });
    }
    ~TrajectoryLogger() {
        stop_ = true;
        thread_.join();
    }
    std::vector<double> periodsMs() const { return periods_ms_; }
    double now() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
    // The samples taken from `from` seconds on.
    std::vector<Sample> since(double from) const {
        std::lock_guard<std::mutex> guard(samples_mutex_);
        std::vector<Sample> out;
        for (const Sample& s : samples_) {
            if (s.time_s >= from) out.push_back(s);
        }
        return out;
    }

private:
    void run() {
        auto next = start_;
        std::vector<double> previous;
        auto previous_change = start_;
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
            Sample sample{std::chrono::duration<double>(now - start_).count(), measured,
                          arm_.getJointVelocities(), arm_.getEndPose().translation()};
            {
                std::lock_guard<std::mutex> guard(targets_.mutex);
                csv_ << sample.time_s << "," << targets_.state;
                for (double t : targets_.joints) csv_ << "," << t;
            }
            for (double m : measured) csv_ << "," << m;
            csv_ << "," << sample.tool.x() << "," << sample.tool.y() << "," << sample.tool.z() << "\n";
            std::lock_guard<std::mutex> guard(samples_mutex_);
            samples_.push_back(std::move(sample));
        }
    }

    InterfacesThread& arm_;
    Targets& targets_;
    std::ofstream csv_;
    const Clock::time_point start_;
    std::atomic<bool> stop_{false};
    std::vector<double> periods_ms_;
    mutable std::mutex samples_mutex_;
    std::vector<Sample> samples_;
    std::thread thread_;
};

struct MoveResult {
    std::string name;
    bool reached = false;
    double seconds = 0.0;
    std::vector<double> final_error;
    std::string detail;  // figures of the move, printed below the table
};

// Polls `error` every 10 ms until it is within `tolerance`, the time-out or a
// stop request.
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
        if (!pause(10ms)) break;
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Let it settle a little and report the error it settles at.
    pause(300ms);
    result.final_error = error();
    return result;
}

std::vector<double> jointError(InterfacesThread& arm, const std::vector<double>& target) {
    std::vector<double> measured = arm.getJointPositons();
    std::vector<double> error(kJoints);
    for (int i = 0; i < kJoints; ++i) error[i] = measured[i] - target[i];
    return error;
}

// Arrival as the library defines it: every joint within 0.02 rad of its goal
// and slower than 0.05 rad/s. The time of the first sample that shows it, or
// a negative number.
double arrivalTime(const std::vector<Sample>& samples, const std::vector<double>& goal) {
    for (const Sample& s : samples) {
        bool there = true;
        for (int i = 0; i < kJoints; ++i) {
            there = there && std::fabs(s.joints[i] - goal[i]) < 0.02 && std::fabs(s.velocities[i]) < 0.05;
        }
        if (there) return s.time_s;
    }
    return -1.0;
}

// A blocking motion call towards `goal` (six joints): how long it took, where
// the arm ended, and how long after the arm arrived the call returned.
MoveResult timedMove(const std::string& name, InterfacesThread& arm, const TrajectoryLogger& logger,
                     const std::vector<double>& goal, const std::function<bool()>& call) {
    MoveResult result;
    result.name = name;
    const double start = logger.now();
    result.reached = call();
    const double end = logger.now();
    result.seconds = end - start;
    result.final_error = jointError(arm, goal);
    if (!result.reached) {
        result.detail = "not at its goal: " + arm.motionStatus().reason;
        return result;
    }
    const double arrived = arrivalTime(logger.since(start), goal);
    if (arrived >= 0.0) {
        char text[96];
        std::snprintf(text, sizeof text, "returned %.0f ms after the arm arrived", (end - arrived) * 1000.0);
        result.detail = text;
    }
    return result;
}

double distanceFromLine(const Eigen::Vector3d& p, const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
    const Eigen::Vector3d ab = b - a;
    const double s = std::clamp((p - a).dot(ab) / ab.squaredNorm(), 0.0, 1.0);
    return (a + s * ab - p).norm();
}

// The tool `way` (m) from where it is, on a straight line: the measured tool
// path against the line goes to `line_csv`; the path error is the furthest
// the measured tool came from the line, the arrival error its distance from
// the goal at the end.
MoveResult lineMove(InterfacesThread& arm, const TrajectoryLogger& logger, std::ofstream& line_csv,
                    const Eigen::Vector3d& way, double speed, double acceleration) {
    const Eigen::Isometry3d from = arm.getEndPose();
    Eigen::Isometry3d goal = from;
    goal.translation() += way;
    const double start = logger.now();
    MoveResult result;
    result.name = "straight line of the tool";
    result.reached = arm.moveL(goal, speed, acceleration);
    const double end = logger.now();
    result.seconds = end - start;
    const Eigen::Vector3d a = from.translation();
    const Eigen::Vector3d b = goal.translation();
    const Eigen::Vector3d off = arm.getEndPose().translation() - b;
    result.final_error = {off.x(), off.y(), off.z()};
    double path_error = 0.0;
    line_csv << "time_s,tool_x,tool_y,tool_z,start_x,start_y,start_z,goal_x,goal_y,goal_z\n";
    for (const Sample& s : logger.since(start)) {
        if (s.time_s > end) break;
        path_error = std::max(path_error, distanceFromLine(s.tool, a, b));
        line_csv << s.time_s - start << "," << s.tool.x() << "," << s.tool.y() << "," << s.tool.z() << ","
                 << a.x() << "," << a.y() << "," << a.z() << "," << b.x() << "," << b.y() << "," << b.z() << "\n";
    }
    line_csv.flush();
    char text[160];
    std::snprintf(text, sizeof text, "measured tool at most %.2f mm from the line, %.2f mm from the goal at the end",
                  path_error * 1000.0, off.norm() * 1000.0);
    result.detail = result.reached ? text : "not at its goal: " + arm.motionStatus().reason;
    return result;
}

// A 0.5 Hz sine of 0.2 rad on joint 1, one target every 10 ms reached 10 ms
// later: how far behind the measured joint followed, and how far it went
// past the last target once the stream stopped.
MoveResult streamSine(InterfacesThread& arm, const TrajectoryLogger& logger) {
    constexpr double kAmplitude = 0.2;  // rad
    constexpr double kOmega = M_PI;     // 0.5 Hz
    constexpr int kTargets = 400;       // 4 s at 100 Hz
    std::vector<double> base = arm.getJointPositons();
    base.resize(kJoints);
    MoveResult result;
    result.name = "sine streamed to joint 1";
    const double start = logger.now();
    const auto first = Clock::now();
    std::vector<double> target = base;
    double last_velocity = 0.0;
    bool accepted = true;
    for (int k = 0; k < kTargets && !stopRequested(); ++k) {
        const double t = k * 0.01;
        target[0] = base[0] + kAmplitude * std::sin(kOmega * t);
        last_velocity = kAmplitude * kOmega * std::cos(kOmega * t);
        accepted = arm.servoJ(target, 0.01) && accepted;
        std::this_thread::sleep_until(first + (k + 1) * 10ms);
    }
    const double stream_end = logger.now();
    result.reached = arm.waitMotion(5.0) && accepted;
    result.seconds = logger.now() - start;
    result.final_error = jointError(arm, target);
    // The lag that best lays the measured joint over the sine.
    const std::vector<Sample> samples = logger.since(start);
    double best_lag = 0.0;
    double best_error = 1e9;
    for (double lag = 0.0; lag <= 0.1; lag += 0.001) {
        double error = 0.0;
        int n = 0;
        for (const Sample& s : samples) {
            const double t = s.time_s - start - lag;
            if (t < 0.5 || s.time_s > stream_end) continue;
            error += std::fabs(s.joints[0] - (base[0] + kAmplitude * std::sin(kOmega * t)));
            ++n;
        }
        if (n > 0 && error / n < best_error) {
            best_error = error / n;
            best_lag = lag;
        }
    }
    double overshoot = 0.0;
    for (const Sample& s : samples) {
        if (s.time_s > stream_end) overshoot = std::max(overshoot, (s.joints[0] - target[0]) * (last_velocity < 0 ? -1 : 1));
    }
    char text[192];
    std::snprintf(text, sizeof text,
                  "the measured joint followed %.0f ms behind the targets (mean error %.4f rad there); "
                  "it went %.4f rad past the last target (moving at %.2f rad/s) once the stream stopped",
                  best_lag * 1000.0, best_error, overshoot, std::fabs(last_velocity));
    result.detail = result.reached ? text : "stream not at rest: " + arm.motionStatus().reason;
    return result;
}

// Joint 1 on a 1.2 rad move at 1 rad/s, stopped at 2 rad/s² once cruising:
// how long the set-point took to stand still (the motion's status says so)
// against the 0.5 s the deceleration implies, and how long the arm took.
MoveResult stoppedMove(InterfacesThread& arm, const TrajectoryLogger& logger) {
    constexpr double kDeceleration = 2.0;  // rad/s²
    std::vector<double> goal = arm.getJointPositons();
    goal.resize(kJoints);
    goal[0] += goal[0] > 0.0 ? -1.2 : 1.2;
    MoveResult result;
    result.name = "move stopped half-way";
    const double start = logger.now();
    if (!arm.moveJ(goal, 1.0, 4.0, true)) {
        result.detail = "not started: " + arm.motionStatus().reason;
        return result;
    }
    while (arm.motionStatus().state == qel::m4::MotionState::kMoving && arm.motionStatus().progress < 0.5) {
        if (!pause(1ms)) return result;
    }
    const double stop = logger.now();
    arm.stopMotion(kDeceleration);
    arm.waitMotion(5.0);
    const double set_point_rest = logger.now();
    const qel::m4::MotionStatus status = arm.motionStatus();
    result.reached = status.state == qel::m4::MotionState::kStopped;
    pause(500ms);
    result.seconds = logger.now() - start;
    std::vector<double> held = arm.getJointPositons();
    held.resize(kJoints);
    result.final_error = jointError(arm, held);
    double arm_rest = -1.0;
    for (const Sample& s : logger.since(stop)) {
        bool still = true;
        for (int i = 0; i < kJoints; ++i) still = still && std::fabs(s.velocities[i]) < 0.05;
        if (still) {
            arm_rest = s.time_s;
            break;
        }
    }
    char text[192];
    std::snprintf(text, sizeof text,
                  "set-point at rest %.0f ms after stopMotion (1 rad/s at 2 rad/s² implies 500 ms), "
                  "the measured arm %.0f ms after",
                  (set_point_rest - stop) * 1000.0, arm_rest >= 0.0 ? (arm_rest - stop) * 1000.0 : -1.0);
    result.detail = result.reached ? text : "not stopped: " + status.reason;
    return result;
}

void usage(FILE* to) {
    std::fprintf(to,
                 "usage: qel-demo [--can IFACE] [--urdf FILE] [--out DIR]\n"
                 "\n"
                 "Runs a scripted session on the arm: homes it, then gravity compensation,\n"
                 "three joint moves, a straight line of the tool, a streamed sine, a move\n"
                 "stopped half-way, the gripper and a payload change.\n"
                 "\n"
                 "WARNING: this MOVES THE ARM. On real hardware clear the arm's whole reach,\n"
                 "keep the emergency stop at hand and start with the arm near its home pose.\n"
                 "SIGINT (Ctrl-C) or SIGTERM stops the session and damps the arm; during\n"
                 "homing it cancels homing at once and damps the arm.\n"
                 "\n"
                 "  --can IFACE  SocketCAN interface of the arm (default vcan0, where\n"
                 "               qel-virtual-arm can stand in for the arm)\n"
                 "  --urdf FILE  robot description (default: %s)\n"
                 "  --out DIR    where trajectory.csv and line.csv go, created if missing\n"
                 "               (default demo-out); checked before the arm is started\n"
                 "  -h, --help   this text\n"
                 "  --version    the version\n"
                 "\n"
                 "Exit status: 0 every move reached its target, 1 some move did not,\n"
                 "2 bad command line, 3 the output folder cannot be written, 4 the arm could\n"
                 "not be started, 130 or 143 stopped by SIGINT or SIGTERM.\n",
                 qel::tools::defaultUrdf().c_str());
}

// Parses the command line into `options`; throws qel::tools::UsageError.
// Returns false when the run is already done (help or version printed).
bool parse(int argc, char** argv, Options* options) {
    enum Option { kCan = 1000, kUrdf, kOut, kHelp, kVersion };
    static const option long_options[] = {{"can", required_argument, nullptr, kCan},
                                          {"urdf", required_argument, nullptr, kUrdf},
                                          {"out", required_argument, nullptr, kOut},
                                          {"help", no_argument, nullptr, kHelp},
                                          {"version", no_argument, nullptr, kVersion},
                                          {nullptr, 0, nullptr, 0}};
    const bool run = qel::tools::parseOptions(argc, argv, long_options, [&](int opt, const std::string& value) {
        switch (opt) {
            case kCan: options->arm.can = value; break;
            case kUrdf: options->arm.urdf = value; break;
            case kOut: options->out = value; break;
            case 'h':
            case kHelp: usage(stdout); return false;
            case kVersion: qel::tools::printVersion("qel-demo"); return false;
        }
        return true;
    });
    if (!run) return false;
    if (optind < argc) throw qel::tools::UsageError{std::string("unexpected argument '") + argv[optind] + "'"};
    if (options->out.empty()) throw qel::tools::UsageError{"--out needs a folder"};
    return true;
}

// Creates `folder` and its missing parents and opens <folder>/<name> for
// writing. On failure prints why and returns a closed stream.
std::ofstream openOutput(const std::string& folder, const char* name) {
    std::ofstream csv;
    for (std::size_t at = folder.find('/', 1);; at = folder.find('/', at + 1)) {
        const std::string part = folder.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "qel-demo: cannot create output folder '%s': %s\n", part.c_str(),
                         std::strerror(errno));
            return csv;
        }
        if (at == std::string::npos) break;
    }
    const std::string path = folder + "/" + name;
    errno = 0;
    csv.open(path);
    if (!csv) {
        std::fprintf(stderr, "qel-demo: cannot write '%s' in the output folder: %s\n", path.c_str(),
                     errno != 0 ? std::strerror(errno) : "open failed");
    }
    return csv;
}

void printSummary(const std::vector<MoveResult>& moves, std::vector<double> periods) {
    std::printf("\n%-34s %-8s %8s   %s\n", "move", "reached", "time s", "final error per joint");
    for (const auto& move : moves) {
        std::printf("%-34s %-8s %8.2f  ", move.name.c_str(), move.reached ? "yes" : "NO", move.seconds);
        for (double e : move.final_error) std::printf(" %+.4f", e);
        std::printf("\n");
    }
    std::printf("\n");
    for (const auto& move : moves) {
        if (!move.detail.empty()) std::printf("%s: %s\n", move.name.c_str(), move.detail.c_str());
    }
    if (periods.empty()) return;
    std::sort(periods.begin(), periods.end());
    auto at = [&](double q) { return periods[static_cast<size_t>(q * (periods.size() - 1))]; };
    std::printf("\ncontrol period as seen by the host over %zu cycles: median %.2f ms, "
                "p99 %.2f ms, max %.2f ms\n",
                periods.size(), at(0.5), at(0.99), periods.back());
}

}  // namespace

// The session proper; returns what each step achieved. Stops early, with the
// steps done so far, when a stop is requested.
std::vector<MoveResult> runSession(InterfacesThread& arm_ref, std::ofstream csv, std::ofstream line_csv) {
    InterfacesThread* arm = &arm_ref;
    Targets targets;
    std::vector<MoveResult> moves;
    TrajectoryLogger logger(*arm, targets, std::move(csv));
    auto setState = [&](int state) {
            std::lock_guard<std::mutex> guard(targets.mutex);
            targets.state = state;
            arm->setArmStatus(state);
        };

    // Each step returns false when a stop was requested during it.
    auto steps = [&]() -> bool {
        std::printf("Gravity compensation for 2 s: the arm floats where it is.\n");
        std::vector<double> before = arm->getJointPositons();
        setState(kGravity);
        if (!pause(2s)) return false;
        {
            std::vector<double> after = arm->getJointPositons();
            MoveResult drift{"gravity compensation holds still", true, 2.0, std::vector<double>{}, {}};
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
        auto showTargets = [&](const std::vector<double>& joints) {
            std::lock_guard<std::mutex> guard(targets.mutex);
            std::copy(joints.begin(), joints.begin() + kJoints, targets.joints.begin());
        };

        const std::vector<std::vector<double>> joint_moves = {
            {0.0, 0.8, 0.6, 0.0, 0.3, 0.0},
            {0.6, 1.2, 1.0, 0.4, -0.4, 0.8},
            {-0.4, 0.5, 0.4, -0.3, 0.2, -0.5},
        };
        constexpr double kJointSpeed = 1.0;         // rad/s
        constexpr double kJointAcceleration = 2.0;  // rad/s²
        for (size_t m = 0; m < joint_moves.size(); ++m) {
            const auto& target = joint_moves[m];
            std::printf("Joint move %zu to [", m + 1);
            for (double t : target) std::printf(" %.2f", t);
            std::printf(" ] at %.1f rad/s, %.1f rad/s²\n", kJointSpeed, kJointAcceleration);
            showTargets(target);
            moves.push_back(timedMove("joint move " + std::to_string(m + 1), *arm, logger, target,
                                      [&] { return arm->moveJ(target, kJointSpeed, kJointAcceleration); }));
            if (stopRequested()) return false;
        }

        std::printf("Straight line of the tool: 6 cm sideways and 8 cm up (10 cm) at 0.1 m/s.\n");
        moves.push_back(lineMove(*arm, logger, line_csv, Eigen::Vector3d(0.0, 0.06, 0.08), 0.1, 0.5));
        if (stopRequested()) return false;
        showTargets(arm->getJointPositons());

        std::printf("Streaming a 0.5 Hz sine of 0.2 rad on joint 1 at 100 Hz for 4 s.\n");
        moves.push_back(streamSine(*arm, logger));
        if (stopRequested()) return false;
        showTargets(arm->getJointPositons());

        std::printf("Joint 1 on its way 1.2 rad at 1 rad/s, stopped at 2 rad/s² half-way.\n");
        moves.push_back(stoppedMove(*arm, logger));
        if (stopRequested()) return false;
        showTargets(arm->getJointPositons());

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
            if (stopRequested()) return false;
        }

        std::printf("Payload of 0.3 kg: the arm must hold its posture.\n");
        std::vector<double> held;
        {
            std::lock_guard<std::mutex> guard(targets.mutex);
            held.assign(targets.joints.begin(), targets.joints.begin() + kJoints);
        }
        arm->setEndEffectorMass(0.3);
        if (!pause(1s)) return false;
        moves.push_back(waitUntil("hold with a 0.3 kg payload",
                                  [&] { return jointError(*arm, held); }, kJointTolerance));
        arm->setEndEffectorMass(0.0);
        if (stopRequested()) return false;

        std::vector<int> codes = arm->getErrorCode();
        std::printf("Error codes reported: %zu", codes.size());
        for (size_t i = 0; i < codes.size() && i < 10; ++i) std::printf(" %d", codes[i]);
        std::printf("\n");
        moves.push_back({"no error codes", codes.empty(), 0.0, {}, {}});

        setState(kProtect);
        pause(200ms);
        return true;
    };
    steps();
    printSummary(moves, logger.periodsMs());
    return moves;
}

int main(int argc, char** argv) {
    // Progress shows line by line also through a pipe or in a log file.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    const int done = qel::tools::parseOrExit("qel-demo", [&] { return parse(argc, argv, &options); }, usage);
    if (done >= 0) return done;
    // Before anything moves: a session whose record cannot be written is not
    // worth running.
    std::ofstream csv = openOutput(options.out, "trajectory.csv");
    if (!csv.is_open()) return kExitOutput;
    std::ofstream line_csv = openOutput(options.out, "line.csv");
    if (!line_csv.is_open()) return kExitOutput;

    int status = 0;
    std::unique_ptr<InterfacesThread> arm = qel::tools::startArm(options.arm, "qel-demo", &status);
    if (!arm) return status;

    std::vector<MoveResult> moves;
    if (!stopRequested()) moves = runSession(*arm, std::move(csv), std::move(line_csv));

    if (stopRequested()) {
        std::printf("\nInterrupted by %s: stopping the arm.\n", qel::tools::stopSignalName());
    } else {
        std::printf("\nShutting down.\n");
    }
    std::fflush(stdout);
    arm.reset();  // damps every motor
    if (stopRequested()) {
        std::printf("Arm stopped.\n");
        return kExitInterruptedBase + qel::tools::stopSignal();
    }
    const bool all_reached =
        std::all_of(moves.begin(), moves.end(), [](const MoveResult& m) { return m.reached; });
    std::printf("%s\n", all_reached ? "Demo passed: every move reached its target."
                                    : "Demo FAILED: some move did not reach its target.");
    return all_reached ? kExitPassed : kExitMoveFailed;
}
