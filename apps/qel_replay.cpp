// qel-replay: plays a taught motion back. Reads a cycle recording (qel-teach
// writes them), checks it against this arm before anything moves, homes the
// arm, moves it to the recording's first posture and follows the recorded
// joint path, gripper included, as a time-stamped trajectory; then damps the
// arm. See --help.
#include <getopt.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <thread>

#include "apps/ArmSession.hpp"
#include "apps/CommandLine.hpp"
#include "qel/interfaces/InterfacesThread.hpp"
#include "qel/teaching/Replay.hpp"

namespace {

using namespace std::chrono_literals;
using qel::m4::InterfacesThread;
using qel::m4::ReplayOutcome;

constexpr int kProtect = 2;
constexpr double kMinSpeed = 0.01;
constexpr double kMaxSpeed = 100.0;

// Exit statuses; see the usage text (the shared ones are in ArmSession.hpp).
constexpr int kExitReplayed = 0;
constexpr int kExitFault = 1;
constexpr int kExitRecordingRefused = 5;
constexpr int kExitMotionRefused = 6;
using qel::tools::kExitInterruptedBase;

struct Options {
    qel::tools::ArmStart arm;
    std::string file;
    double speed = 1.0;
};

void usage(FILE* to) {
    std::fprintf(to,
                 "usage: qel-replay FILE [--can IFACE] [--speed FACTOR] [--urdf FILE]\n"
                 "\n"
                 "Plays a taught motion back: FILE is a cycle recording (HDF5, as qel-teach\n"
                 "writes it). The recording is checked before the arm is started: one from\n"
                 "another robot variant, or one that leaves the joint limits, is refused.\n"
                 "Then the arm is homed, moved to the recording's first posture with a joint\n"
                 "move and made to follow the recorded joint path, gripper included, as a\n"
                 "time-stamped trajectory that passes within %.3g rad of every recorded\n"
                 "sample; then it is damped. docs/recording.md describes the replay.\n"
                 "\n"
                 "WARNING: this MOVES THE ARM along the whole recorded path. Clear its reach\n"
                 "and keep the emergency stop at hand. Ctrl-C (SIGINT) or SIGTERM brings the\n"
                 "motion to rest along its path, then damps the arm.\n"
                 "\n"
                 "  FILE                the recording to replay (its taught part: the cycles\n"
                 "                      in gravity compensation, or all of them if none is)\n"
                 "  --can IFACE         SocketCAN interface of the arm (default vcan0, where\n"
                 "                      qel-virtual-arm can stand in for the arm)\n"
                 "  --speed FACTOR      2 replays twice as fast, 0.5 half as fast (default 1;\n"
                 "                      0.01 to 100); the motion layer refuses a replay that\n"
                 "                      would move a joint faster than its limit\n"
                 "  --urdf FILE         robot description (default: %s)\n"
                 "  -h, --help          this text\n"
                 "  --version           the version\n"
                 "\n"
                 "Exit status: 0 replayed to the end, 1 a fault of the arm (or a state\n"
                 "change) ended the replay, 2 bad command line, 4 the arm could not be\n"
                 "started, 5 the recording was refused (unreadable, not a cycle recording,\n"
                 "another robot variant, beyond the joint limits, too short; nothing moved),\n"
                 "6 the motion layer refused the replay (for example too fast at this\n"
                 "speed), 130 or 143 stopped by SIGINT or SIGTERM.\n",
                 qel::m4::kReplayTolerance, qel::tools::defaultUrdf().c_str());
}

// Parses the command line into `options`; throws qel::tools::UsageError.
// Returns false when the run is already done (help or version printed).
bool parse(int argc, char** argv, Options* options) {
    enum Option { kCan = 1000, kUrdf, kSpeed, kHelp, kVersion };
    static const option long_options[] = {{"can", required_argument, nullptr, kCan},
                                          {"urdf", required_argument, nullptr, kUrdf},
                                          {"speed", required_argument, nullptr, kSpeed},
                                          {"help", no_argument, nullptr, kHelp},
                                          {"version", no_argument, nullptr, kVersion},
                                          {nullptr, 0, nullptr, 0}};
    const bool run = qel::tools::parseOptions(argc, argv, long_options, [&](int opt, const std::string& value) {
        switch (opt) {
            case kCan: options->arm.can = value; break;
            case kUrdf: options->arm.urdf = value; break;
            case kSpeed:
                options->speed = qel::tools::parseNumber(value, "--speed");
                if (options->speed < kMinSpeed || options->speed > kMaxSpeed) {
                    throw qel::tools::UsageError{"--speed must be from 0.01 to 100"};
                }
                break;
            case 'h':
            case kHelp: usage(stdout); return false;
            case kVersion: qel::tools::printVersion("qel-replay"); return false;
        }
        return true;
    });
    if (!run) return false;
    if (optind >= argc) throw qel::tools::UsageError{"name the recording to replay"};
    options->file = argv[optind++];
    if (optind < argc) throw qel::tools::UsageError{std::string("unexpected argument '") + argv[optind] + "'"};
    return true;
}

// Replays until the end, a stop signal, a fault or a refusal; returns the
// exit status. The arm holds where it ended; the caller damps it.
int replay(InterfacesThread& arm, const qel::m4::ReplayPlan& plan) {
    const qel::m4::ReplayResult result = qel::m4::runReplay(arm, plan, qel::tools::stopRequested, [&](qel::m4::ReplayPhase phase) {
        if (phase == qel::m4::ReplayPhase::kApproach) {
            std::printf("Moving to the recording's first posture (joint move at %.2g rad/s).\n",
                        qel::m4::kReplayApproachSpeed);
        } else {
            std::printf("Following the recorded path (%.1f s).\n", plan.duration_s);
        }
    });
    switch (result.outcome) {
        case ReplayOutcome::kDone:
            std::printf("Replayed: the arm is at the recording's last posture.\n");
            return kExitReplayed;
        case ReplayOutcome::kStopped:
            std::printf("\n%s: the motion was brought to rest.\n", qel::tools::stopSignalName());
            return kExitInterruptedBase + qel::tools::stopSignal();
        case ReplayOutcome::kRefused:
            std::fprintf(stderr, "qel-replay: the motion layer refused the replay: %s\n", result.reason.c_str());
            return kExitMotionRefused;
        case ReplayOutcome::kFailed:
            break;
    }
    std::fprintf(stderr, "qel-replay: the replay ended early: %s\n", result.reason.c_str());
    if (arm.faultLatched()) {
        std::fprintf(stderr, "qel-replay: the arm stopped: %s (code %d)\n", arm.latchedFaultMessage().c_str(),
                     arm.latchedFaultCode());
    }
    return kExitFault;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    const int done = qel::tools::parseOrExit("qel-replay", [&] { return parse(argc, argv, &options); }, usage);
    if (done >= 0) return done;

    // Before anything moves: a recording this arm cannot replay is refused.
    qel::m4::ReplayPlan plan;
    try {
        qel::m4::ReplayOptions replay_options;
        replay_options.robot_variant = options.arm.type;
        replay_options.speed = options.speed;
        plan = qel::m4::planReplay(options.file, replay_options);
    } catch (const qel::m4::ReplayRefused& refused) {
        std::fprintf(stderr, "qel-replay: %s\n", refused.what());
        return kExitRecordingRefused;
    }
    std::printf("Replaying %s: cycles %llu to %llu (%zu recorded), %zu trajectory points within %.3g rad "
                "of every sample (at most %.3g), %.1f s at speed %g.\n",
                options.file.c_str(), static_cast<unsigned long long>(plan.first_cycle),
                static_cast<unsigned long long>(plan.last_cycle), plan.samples, plan.points.size(),
                qel::m4::kReplayTolerance, plan.deviation, plan.duration_s, options.speed);

    int status = 0;
    std::unique_ptr<InterfacesThread> arm = qel::tools::startArm(options.arm, "qel-replay", &status);
    if (!arm) return status;
    status = qel::tools::stopRequested() ? kExitInterruptedBase + qel::tools::stopSignal() : replay(*arm, plan);
    // Damped first, then the interface goes, which damps every motor and
    // closes the bus.
    arm->setArmStatus(kProtect);
    std::this_thread::sleep_for(20ms);
    arm.reset();
    std::printf("Arm damped.\n");
    return status;
}
