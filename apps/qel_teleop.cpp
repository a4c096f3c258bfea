// qel-teleop: one arm drives another. Homes both arms at once, lets the
// leader float in gravity compensation and has the follower copy it every
// leader cycle, optionally writing the episode to a file; until Ctrl-C, the
// duration or a fault, which damps both. See --help.
#include <getopt.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "apps/ArmSession.hpp"
#include "apps/CommandLine.hpp"
#include "qel/interfaces/InterfacesThread.hpp"
#include "qel/teaching/LeaderFollower.hpp"

namespace {

using qel::m4::InterfacesThread;
using qel::m4::TeleopEnd;
using qel::m4::TeleopStatus;

constexpr int kProtect = 2;

// Exit statuses; see the usage text (the shared ones are in ArmSession.hpp).
constexpr int kExitDone = 0;
constexpr int kExitFault = 1;
using qel::tools::kExitOutput;

struct Options {
    qel::tools::ArmStart leader;
    qel::tools::ArmStart follower;
    std::string record;
    double duration_s = 0.0;  // 0: until a stop signal
};

void usage(FILE* to) {
    std::fprintf(to,
                 "usage: qel-teleop --leader IFACE --follower IFACE [--record FILE] [--duration SECONDS]\n"
                 "                  [--urdf FILE]\n"
                 "\n"
                 "Leader and follower: homes both arms at once, then lets the leader float in\n"
                 "gravity compensation (its gripper let go) so that an operator can move it by\n"
                 "hand, and has the follower copy it: every leader cycle the leader's measured\n"
                 "joints and gripper become the set-point of the follower's next cycle. Runs\n"
                 "until Ctrl-C, SIGTERM, the duration or a fault of either arm; then both arms\n"
                 "are damped. docs/teleoperation.md describes it and the episode file.\n"
                 "\n"
                 "WARNING: homing MOVES BOTH ARMS, and the follower moves as fast as the\n"
                 "leader is moved (up to %.2g rad/s). Clear both arms' reach and keep the\n"
                 "emergency stops at hand.\n"
                 "\n"
                 "  --leader IFACE      SocketCAN interface of the arm moved by hand\n"
                 "  --follower IFACE    SocketCAN interface of the arm that copies it\n"
                 "  --record FILE       write the episode (HDF5: /action, /observations/qpos,\n"
                 "                      qvel, effort, time stamps), replaced if it exists; its\n"
                 "                      folder is checked before the arms are started\n"
                 "  --duration SECONDS  stop after this long (default: at Ctrl-C)\n"
                 "  --urdf FILE         robot description of both arms (default: %s)\n"
                 "  -h, --help          this text\n"
                 "  --version           the version\n"
                 "\n"
                 "Exit status: 0 ended by a stop signal or the duration, 1 a fault of either\n"
                 "arm ended it (both damped) or the follower could not be moved onto the\n"
                 "leader's posture, 2 bad command line, 3 the episode file cannot be\n"
                 "written, 4 an arm could not be started, 130 or 143 stopped by SIGINT or\n"
                 "SIGTERM while homing.\n",
                 qel::m4::kTeleopCatchUpSpeed, qel::tools::defaultUrdf().c_str());
}

// Parses the command line into `options`; throws qel::tools::UsageError.
// Returns false when the run is already done (help or version printed).
bool parse(int argc, char** argv, Options* options) {
    enum Option { kLeader = 1000, kFollower, kUrdf, kRecord, kDuration, kHelp, kVersion };
    static const option long_options[] = {{"leader", required_argument, nullptr, kLeader},
                                          {"follower", required_argument, nullptr, kFollower},
                                          {"urdf", required_argument, nullptr, kUrdf},
                                          {"record", required_argument, nullptr, kRecord},
                                          {"duration", required_argument, nullptr, kDuration},
                                          {"help", no_argument, nullptr, kHelp},
                                          {"version", no_argument, nullptr, kVersion},
                                          {nullptr, 0, nullptr, 0}};
    options->leader.can.clear();
    options->follower.can.clear();
    const bool run = qel::tools::parseOptions(argc, argv, long_options, [&](int opt, const std::string& value) {
        switch (opt) {
            case kLeader: options->leader.can = value; break;
            case kFollower: options->follower.can = value; break;
            case kUrdf: options->leader.urdf = options->follower.urdf = value; break;
            case kRecord:
                if (value.empty()) throw qel::tools::UsageError{"--record needs a file name"};
                options->record = value;
                break;
            case kDuration:
                options->duration_s = qel::tools::parseDuration(value);
                break;
            case 'h':
            case kHelp: usage(stdout); return false;
            case kVersion: qel::tools::printVersion("qel-teleop"); return false;
        }
        return true;
    });
    if (!run) return false;
    if (optind < argc) throw qel::tools::UsageError{std::string("unexpected argument '") + argv[optind] + "'"};
    if (options->leader.can.empty()) throw qel::tools::UsageError{"--leader IFACE is required"};
    if (options->follower.can.empty()) throw qel::tools::UsageError{"--follower IFACE is required"};
    if (options->leader.can == options->follower.can) {
        throw qel::tools::UsageError{"the leader and the follower need a bus each (both are on '" +
                                     options->leader.can + "')"};
    }
    return true;
}

const char* whichArm(TeleopEnd end) { return end == TeleopEnd::kLeaderFault ? "leader" : "follower"; }

// Streams until a stop signal, the duration or a fault; returns the exit
// status. Both arms are damped before this returns.
int teleoperate(InterfacesThread& leader, InterfacesThread& follower, const Options& options) {
    qel::m4::LeaderFollowerOptions streaming;
    streaming.episode_path = options.record;
    streaming.robot_variant = options.leader.type;
    streaming.leader_interface = options.leader.can;
    streaming.follower_interface = options.follower.can;
    std::unique_ptr<qel::m4::LeaderFollower> teleop;
    try {
        teleop = std::make_unique<qel::m4::LeaderFollower>(leader, follower, streaming);
    } catch (const qel::m4::TeleopRefused& refused) {
        std::fprintf(stderr, "qel-teleop: %s\n", refused.what());
        return kExitFault;
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "qel-teleop: the episode file: %s\n", error.what());
        return kExitOutput;
    }
    std::printf("Streaming: move the leader (%s) by hand; the follower (%s) copies it.\n%s%s ends it.\n",
                options.leader.can.c_str(), options.follower.can.c_str(),
                options.record.empty() ? "" : ("Recording the episode to " + options.record + "; ").c_str(),
                options.duration_s > 0 ? "the duration or Ctrl-C" : "Ctrl-C");

    qel::tools::runSession(
        options.duration_s,
        [&] {
            const TeleopStatus status = teleop->status();
            return status.end == TeleopEnd::kRunning && status.episode.error.empty();
        },
        [&](double seconds) {
            std::printf("  streaming... %.0f s, %llu steps\n", seconds,
                        static_cast<unsigned long long>(teleop->status().steps));
        },
        "ending the teleoperation");
    const TeleopStatus done = teleop->stop();
    // Both damped, whatever ended it.
    leader.setArmStatus(kProtect);
    follower.setArmStatus(kProtect);

    int status = kExitDone;
    switch (done.end) {
        case TeleopEnd::kLeaderFault:
        case TeleopEnd::kFollowerFault:
            std::fprintf(stderr, "qel-teleop: the %s stopped: %s (code %d); both arms are damped\n",
                         whichArm(done.end), done.fault_message.c_str(), done.fault_code);
            status = kExitFault;
            break;
        case TeleopEnd::kLeaderSilent:
            std::fprintf(stderr, "qel-teleop: the leader published no cycle for %.0f ms; both arms are damped\n",
                         qel::m4::kTeleopLeaderSilence * 1000.0);
            status = kExitFault;
            break;
        case TeleopEnd::kRunning:
        case TeleopEnd::kStopped:
            break;
    }
    std::printf("Streamed %llu steps in %.1f s (%llu leader cycles missed, %llu steps held to the catch-up speed, "
                "%llu refused); the streaming thread used %.1f%% of a CPU.\n",
                static_cast<unsigned long long>(done.steps), done.wall_seconds,
                static_cast<unsigned long long>(done.missed_cycles), static_cast<unsigned long long>(done.caught_up),
                static_cast<unsigned long long>(done.refused),
                done.wall_seconds > 0 ? 100.0 * done.cpu_seconds / done.wall_seconds : 0.0);
    if (done.refused > 0) std::printf("First refusal: %s\n", done.first_refusal.c_str());
    if (!options.record.empty()) {
        if (!done.episode.error.empty()) {
            std::fprintf(stderr, "qel-teleop: the episode file: %s\n", done.episode.error.c_str());
            if (status == kExitDone) status = kExitOutput;
        } else {
            std::printf("Episode: %llu rows in %s", static_cast<unsigned long long>(done.episode.written),
                        done.episode.path.c_str());
            if (done.episode.lost > 0) {
                std::printf("; %llu rows were lost (the writer fell behind)",
                            static_cast<unsigned long long>(done.episode.lost));
            }
            std::printf(".\n");
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    const int done = qel::tools::parseOrExit("qel-teleop", [&] { return parse(argc, argv, &options); }, usage);
    if (done >= 0) return done;
    // Before anything moves: an episode that cannot be kept is not worth
    // starting.
    if (!options.record.empty() && !qel::tools::outputWritable(options.record, "qel-teleop")) return kExitOutput;

    int status = 0;
    std::vector<std::unique_ptr<InterfacesThread>> arms =
        qel::tools::startArms({options.leader, options.follower}, "qel-teleop", &status);
    if (arms.empty()) return status;
    if (qel::tools::stopRequested()) {
        status = qel::tools::kExitInterruptedBase + qel::tools::stopSignal();
    } else {
        status = teleoperate(*arms[0], *arms[1], options);
    }
    arms.clear();  // damps every motor and closes both buses
    std::printf("Arms damped.\n");
    return status;
}
