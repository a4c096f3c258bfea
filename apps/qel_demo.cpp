// qel-demo: a scripted session on the arm (the virtual one, or a real one).
//
// Homes the arm through the public threaded interface, then runs gravity
// compensation, three joint-space moves, one end-effector move, the gripper,
// a payload change and a read of the error codes. Every control cycle's
// targets and measurements go to <out>/trajectory.csv; a summary table of the
// moves and of the control-cycle period is printed at the end. Exits 0 only if
// every move reached its target; see --help for the other exit statuses.
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

#include "apps/CommandLine.hpp"
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

// Exit statuses; an interrupted session exits with 128 + the signal number
// (130 for SIGINT, 143 for SIGTERM), as a shell reports a killed program.
constexpr int kExitPassed = 0;
constexpr int kExitMoveFailed = 1;
constexpr int kExitOutput = 3;
constexpr int kExitArmStart = 4;
constexpr int kExitInterruptedBase = 128;

// Everything the arm is started with: the one record the construction of the
// interface takes, so that start-up settings can join it in one place.
struct ArmStart {
    std::string urdf;
    std::string can = "vcan0";
    int type = 0;
    // Cancelled by the main thread when a stop is requested during homing.
    std::shared_ptr<qel::m4::StartupCancel> cancel = std::make_shared<qel::m4::StartupCancel>();
};

struct Options {
    ArmStart arm;
    std::string out = "demo-out";
};

// Set by the SIGINT/SIGTERM handler, read by the session. The handler does
// nothing else: everything that stops the arm runs on the main thread, where
// destroying the interface damps the arm as in a normal shutdown.
volatile sig_atomic_t g_stop_signal = 0;

// The first signal decides; a second one while stopping changes nothing.
void onStopSignal(int signal) {
    if (g_stop_signal == 0) g_stop_signal = signal;
}

bool stopRequested() { return g_stop_signal != 0; }

// Blocks the stop signals in the calling thread for its lifetime; threads
// started meanwhile inherit the block. The library's threads, the homing
// thread and the logger must never take a signal: an interrupted wait of the
// CAN receive thread counts as a silent second on the bus.
class StopSignalsBlocked {
public:
    StopSignalsBlocked() {
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, SIGINT);
        sigaddset(&stop, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stop, &previous_);
    }
    ~StopSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

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

// Samples the arm at the control rate into the CSV file and keeps the gaps
// between distinct published samples as a measure of the cycle period.
class TrajectoryLogger {
public:
    // `csv` is open for writing.
    TrajectoryLogger(InterfacesThread& arm, Targets& targets, std::ofstream csv)
        : arm_(arm), targets_(targets), csv_(std::move(csv)) {
        csv_ << "time_s,state";
        for (int i = 1; i <= 7; ++i) csv_ << ",target" << i;
        for (int i = 1; i <= 7; ++i) csv_ << ",measured" << i;
        csv_ << "\n";
        StopSignalsBlocked blocked;
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

// The robot description next to the installed program (<prefix>/bin/../share
// /qel_m4/urdf), or else the one in the source tree the program was built
// from.
std::string defaultUrdf() {
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        std::string path(self, static_cast<std::size_t>(length));
        path = path.substr(0, path.rfind('/') + 1) + QEL_INSTALLED_URDF;
        if (access(path.c_str(), R_OK) == 0) return path;
    }
    return QEL_DEFAULT_URDF;
}

void usage(FILE* to) {
    std::fprintf(to,
                 "usage: qel-demo [--can IFACE] [--urdf FILE] [--out DIR]\n"
                 "\n"
                 "Runs a scripted session on the arm: homes it, then gravity compensation,\n"
                 "three joint moves, an end-effector move, the gripper and a payload change.\n"
                 "\n"
                 "WARNING: this MOVES THE ARM. On real hardware clear the arm's whole reach,\n"
                 "keep the emergency stop at hand and start with the arm near its home pose.\n"
                 "SIGINT (Ctrl-C) or SIGTERM stops the session and damps the arm; during\n"
                 "homing it cancels homing at once and damps the arm.\n"
                 "\n"
                 "  --can IFACE  SocketCAN interface of the arm (default vcan0, where\n"
                 "               qel-virtual-arm can stand in for the arm)\n"
                 "  --urdf FILE  robot description (default: %s)\n"
                 "  --out DIR    where trajectory.csv goes, created if missing (default\n"
                 "               demo-out); checked before the arm is started\n"
                 "  -h, --help   this text\n"
                 "  --version    the version\n"
                 "\n"
                 "Exit status: 0 every move reached its target, 1 some move did not,\n"
                 "2 bad command line, 3 the output folder cannot be written, 4 the arm could\n"
                 "not be started, 130 or 143 stopped by SIGINT or SIGTERM.\n",
                 defaultUrdf().c_str());
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

// Creates `folder` and its missing parents and opens <folder>/trajectory.csv
// for writing. On failure prints why and returns a closed stream.
std::ofstream openOutput(const std::string& folder) {
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
    const std::string path = folder + "/trajectory.csv";
    errno = 0;
    csv.open(path);
    if (!csv) {
        std::fprintf(stderr, "qel-demo: cannot write '%s' in the output folder: %s\n", path.c_str(),
                     errno != 0 ? std::strerror(errno) : "open failed");
    }
    return csv;
}

// Constructs the interface, which enables the motors and homes the arm; runs
// on its own thread so that the main thread can show progress. Throws what the
// construction throws.
std::unique_ptr<InterfacesThread> connect(const ArmStart& start) {
    qel::m4::ControllerOptions options;
    options.cancel = start.cancel;
    return std::make_unique<InterfacesThread>(start.urdf, start.can, start.type, options);
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

// The session proper; returns what each step achieved. Stops early, with the
// steps done so far, when a stop is requested.
std::vector<MoveResult> runSession(InterfacesThread& arm_ref, std::ofstream csv) {
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
            if (stopRequested()) return false;
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
        if (stopRequested()) return false;
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
        moves.push_back({"no error codes", codes.empty(), 0.0, {}});

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
    try {
        if (!parse(argc, argv, &options)) return 0;
    } catch (const qel::tools::UsageError& error) {
        std::fprintf(stderr, "qel-demo: %s\n", error.message.c_str());
        usage(stderr);
        return qel::tools::kExitUsage;
    }
    if (options.arm.urdf.empty()) options.arm.urdf = defaultUrdf();
    // Before anything moves: a session whose record cannot be written is not
    // worth running.
    std::ofstream csv = openOutput(options.out);
    if (!csv.is_open()) return kExitOutput;

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    std::printf("Connecting to the arm on %s and homing it (takes a few seconds)...\n",
                options.arm.can.c_str());
    std::unique_ptr<InterfacesThread> arm;
    std::exception_ptr failure;
    std::atomic<bool> constructed{false};
    std::thread builder;
    {
        StopSignalsBlocked blocked;  // the library's threads start from the builder
        builder = std::thread([&] {
            try {
                arm = connect(options.arm);
            } catch (...) {
                failure = std::current_exception();
            }
            constructed = true;
        });
    }
    const auto homing_start = Clock::now();
    bool announced = false;
    while (!constructed) {
        std::this_thread::sleep_for(100ms);
        if (stopRequested() && !announced) {
            // Homing is abandoned at once: construction damps the arm and
            // throws, which the failure path below reports as interrupted.
            std::printf("Stop requested: homing cancelled, the arm is being damped.\n");
            options.arm.cancel->cancel();
            announced = true;
        }
        const auto elapsed = Clock::now() - homing_start;
        if (elapsed / 500ms != (elapsed - 100ms) / 500ms) {
            std::printf("  homing... %.1f s\n", std::chrono::duration<double>(elapsed).count());
        }
        std::fflush(stdout);
    }
    builder.join();
    if (failure && stopRequested()) {
        // The cancelled start-up has damped the arm and closed the bus.
        std::printf("\nInterrupted by %s: stopping the arm.\nArm stopped.\n",
                    g_stop_signal == SIGINT ? "SIGINT" : "SIGTERM");
        return kExitInterruptedBase + g_stop_signal;
    }
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "qel-demo: the arm could not be started: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "qel-demo: the arm could not be started\n");
        }
        return kExitArmStart;
    }
    std::printf("Homed in %.2f s.\n", std::chrono::duration<double>(Clock::now() - homing_start).count());

    std::vector<MoveResult> moves;
    if (!stopRequested()) moves = runSession(*arm, std::move(csv));

    if (stopRequested()) {
        std::printf("\nInterrupted by %s: stopping the arm.\n", g_stop_signal == SIGINT ? "SIGINT" : "SIGTERM");
    } else {
        std::printf("\nShutting down.\n");
    }
    std::fflush(stdout);
    arm.reset();  // damps every motor
    if (stopRequested()) {
        std::printf("Arm stopped.\n");
        return kExitInterruptedBase + g_stop_signal;
    }
    const bool all_reached =
        std::all_of(moves.begin(), moves.end(), [](const MoveResult& m) { return m.reached; });
    std::printf("%s\n", all_reached ? "Demo passed: every move reached its target."
                                    : "Demo FAILED: some move did not reach its target.");
    return all_reached ? kExitPassed : kExitMoveFailed;
}
