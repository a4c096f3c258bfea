// qel-ros2-bridge: the arm on ROS 2. Homes the arm through the public threaded
// interface, then publishes its state and takes its commands on DDS under
// ROS 2's topic and type names (docs/ros2.md). See --help.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "apps/CommandLine.hpp"
#include "bridge/ArmPort.hpp"
#include "bridge/Ros2Bridge.hpp"
#include "bridge/RosNames.hpp"
#include "qel/interfaces/InterfacesThread.hpp"

namespace {

using qel::tools::UsageError;

// Exit statuses.
constexpr int kExitStopped = 0;
constexpr int kExitDds = 3;
constexpr int kExitArmStart = 4;

const char* const kUsage =
    "usage: qel-ros2-bridge --can IFACE [--namespace NAME] [--rate HZ] [--domain N]\n"
    "                       [--urdf FILE] [real-time options]\n"
    "\n"
    "Homes the arm, then serves it to ROS 2 over DDS (Cyclone DDS, ROS 2's own\n"
    "message types, topic names and default QoS; docs/ros2.md):\n"
    "  publishes  joint_states (sensor_msgs/JointState), diagnostics\n"
    "             (diagnostic_msgs/DiagnosticArray)\n"
    "  takes      joint_command (sensor_msgs/JointState), joint_trajectory\n"
    "             (trajectory_msgs/JointTrajectory), arm_state (std_msgs/Int32),\n"
    "             damp (std_msgs/Bool), resume (std_msgs/Int32), gripper_command\n"
    "             (control_msgs/GripperCommand)\n"
    "joint_command is a stream of targets (as a ros2_control hardware interface\n"
    "sends them): the first one moves the arm, from go home too; when the stream\n"
    "stops, the arm brakes to rest and holds. A newer joint_trajectory takes over\n"
    "from the running one without a velocity step.\n"
    "Commands that fail the checks (unknown or missing joints, wrong lengths,\n"
    "non-finite or out-of-limit values) or that the arm refuses (too fast, out of\n"
    "range, a fault latched) move nothing and are reported on diagnostics.\n"
    "\n"
    "WARNING: remote hosts MOVE THE ARM through this bridge. SIGINT (Ctrl-C) or\n"
    "SIGTERM stops the bridge and damps the arm.\n"
    "\n"
    "  --can IFACE        SocketCAN interface of the arm (required)\n"
    "  --namespace NAME   ROS namespace of the topics, e.g. left: /left/joint_states\n"
    "                     (default none)\n"
    "  --rate HZ          joint_states per second, above 0 and at most 200\n"
    "                     (default 100)\n"
    "  --domain N         DDS domain, 0 to 232 (default ROS_DOMAIN_ID, else 0)\n"
    "  --urdf FILE        robot description (default: the one installed with the\n"
    "                     library, else the source tree's)\n"
    "  -h, --help         this text\n"
    "  --version          the version\n"
    "\n"
    "%s"
    "\n"
    "CYCLONEDDS_URI chooses the network interface and discovery (docs/ros2.md).\n"
    "\n"
    "Exit status: 0 stopped by SIGINT or SIGTERM, 2 bad command line, 3 DDS could\n"
    "not start, 4 the arm could not be started.\n";

void usage(FILE* to) { std::fprintf(to, kUsage, qel::tools::kRealtimeUsage); }

struct Options {
    std::string can;
    std::string urdf;
    qel::ros2::BridgeOptions bridge;
    std::optional<int> domain;
    qel::m4::RealtimeOptions realtime;
};


// Parses the command line; throws UsageError. False when the run is done
// (help or version printed).
bool parse(int argc, char** argv, Options* options) {
    enum Option { kCan = 1000, kNamespace, kRate, kDomain, kUrdf, kHelp, kVersion };
    static const option kOwn[] = {{"can", required_argument, nullptr, kCan},
                                  {"namespace", required_argument, nullptr, kNamespace},
                                  {"rate", required_argument, nullptr, kRate},
                                  {"domain", required_argument, nullptr, kDomain},
                                  {"urdf", required_argument, nullptr, kUrdf},
                                  {"help", no_argument, nullptr, kHelp},
                                  {"version", no_argument, nullptr, kVersion},
                                  {nullptr, 0, nullptr, 0}};
    static const std::vector<option> kAll = qel::tools::withRealtimeOptions(kOwn);
    const bool run = qel::tools::parseOptions(argc, argv, kAll.data(), [&](int opt, const std::string& value) {
        if (qel::tools::applyRealtimeOption(opt, value, &options->realtime)) return true;
        switch (opt) {
            case kCan: options->can = value; break;
            case kNamespace:
                try {
                    options->bridge.ros_namespace = qel::ros2::normaliseNamespace(value);
                } catch (const std::invalid_argument& error) {
                    throw UsageError{error.what()};
                }
                break;
            case kRate: {
                const double rate = qel::tools::parseNumber(value, "--rate");
                if (rate <= 0 || rate > qel::ros2::Ros2Bridge::kMaxRateHz) {
                    throw UsageError{"--rate must be above 0 and at most 200"};
                }
                options->bridge.rate_hz = rate;
                break;
            }
            case kDomain: {
                const double domain = qel::tools::parseNumber(value, "--domain");
                if (domain < 0 || domain > 232 || domain != std::floor(domain)) {
                    throw UsageError{"--domain must be a whole number from 0 to 232"};
                }
                options->domain = static_cast<int>(domain);
                break;
            }
            case kUrdf: options->urdf = value; break;
            case 'h':
            case kHelp: usage(stdout); return false;
            case kVersion: qel::tools::printVersion("qel-ros2-bridge"); return false;
        }
        return true;
    });
    if (!run) return false;
    if (optind < argc) throw UsageError{std::string("unexpected argument '") + argv[optind] + "'"};
    if (options->can.empty()) throw UsageError{"--can is required"};
    try {
        options->bridge.domain = qel::ros2::chooseDomain(options->domain);
    } catch (const std::invalid_argument& error) {
        throw UsageError{error.what()};
    }
    options->bridge.hardware_id = options->can;
    if (options->urdf.empty()) options->urdf = qel::tools::defaultUrdf();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    try {
        if (!parse(argc, argv, &options)) return 0;
    } catch (const UsageError& error) {
        std::fprintf(stderr, "qel-ros2-bridge: %s\n", error.message.c_str());
        usage(stderr);
        return qel::tools::kExitUsage;
    }

    // Before any thread starts (the library's, DDS's, the bridge's).
    const sigset_t stop_signals = qel::tools::blockStopSignals();

    // DDS first: a bridge that cannot reach the network does not move the arm.
    std::unique_ptr<qel::ros2::Ros2Bridge> bridge;
    try {
        bridge = std::make_unique<qel::ros2::Ros2Bridge>(options.bridge);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "qel-ros2-bridge: %s\n", error.what());
        return kExitDds;
    }

    std::printf("qel-ros2-bridge: homing the arm on %s (takes a few seconds)...\n", options.can.c_str());
    qel::m4::ControllerOptions controller;
    controller.realtime = options.realtime;
    controller.cancel = std::make_shared<qel::m4::StartupCancel>();
    std::unique_ptr<qel::m4::InterfacesThread> arm;
    std::exception_ptr failure;
    std::atomic<bool> constructed{false};
    std::thread builder([&] {
        try {
            arm = std::make_unique<qel::m4::InterfacesThread>(options.urdf, options.can, 0, controller);
        } catch (...) {
            failure = std::current_exception();
        }
        constructed = true;
    });
    bool stopped = false;
    const timespec poll{0, 50000000};
    while (!constructed) {
        const int signal = sigtimedwait(&stop_signals, nullptr, &poll);
        if ((signal == SIGINT || signal == SIGTERM) && !stopped) {
            // Construction damps the arm and throws.
            controller.cancel->cancel();
            stopped = true;
        }
    }
    builder.join();
    if (failure) {
        if (stopped) {
            std::printf("qel-ros2-bridge: stopped during homing; the arm is damped\n");
            return kExitStopped;
        }
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "qel-ros2-bridge: the arm could not be started: %s\n", error.what());
        }
        return kExitArmStart;
    }

    qel::ros2::InterfacesArm port(*arm);
    bridge->attach(port);
    const std::string ns = options.bridge.ros_namespace.empty() ? "" : "/" + options.bridge.ros_namespace;
    std::printf("qel-ros2-bridge: serving %s/joint_states at %g Hz on DDS domain %d\n", ns.c_str(),
                options.bridge.rate_hz, options.bridge.domain);
    while (!stopped) {
        const int signal = sigwaitinfo(&stop_signals, nullptr);
        stopped = signal == SIGINT || signal == SIGTERM;
    }
    std::printf("qel-ros2-bridge: stopping; the arm is being damped\n");
    bridge.reset();
    arm.reset();  // damps every motor
    std::printf("qel-ros2-bridge: stopped\n");
    return kExitStopped;
}
