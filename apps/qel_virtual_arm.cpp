// qel-virtual-arm: the arm's seven motors simulated on a CAN interface, for
// running a host program without hardware. See --help.
#include <getopt.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "sim/VirtualArm.hpp"

namespace {

using qel::sim::VirtualArm;

constexpr int kExitUsage = 2;

const char* const kUsage =
    "usage: qel-virtual-arm [--can IFACE] [options]\n"
    "\n"
    "Simulates the arm's seven motors (identifiers 1, 2, 4, 5, 6, 7 and the gripper 8)\n"
    "on a CAN interface that is already up. Every frame addressed to a motor is\n"
    "answered with one feedback frame on identifier 0. Prints one status line a\n"
    "second; stops on SIGINT or SIGTERM.\n"
    "\n"
    "Arm:\n"
    "  --can IFACE             CAN interface (default vcan0)\n"
    "  --urdf PATH             robot description file (default: the built-in one)\n"
    "  --start Q1,...,Q6       start angles of joints 1 to 6 in rad (default all 0)\n"
    "  --gripper-start RAW     gripper start position, motor units (default 0)\n"
    "  --gripper-stop RAW      gripper end stop, motor units (default -2)\n"
    "  --gripper-travel RAW    gripper travel above the end stop (default 5.5)\n"
    "  --seed N                seed of the random draws (default 1)\n"
    "  --quiet                 no status line\n"
    "\n"
    "Faults (SECONDS count from start; per-motor options may be repeated):\n"
    "  --silence ID[@SECONDS]  motor ID stops answering (at once, or after SECONDS)\n"
    "  --status-code ID=CODE   motor ID reports status CODE (0 to 15)\n"
    "  --current ID=VALUE      motor ID reports current VALUE (current units)\n"
    "  --drop ID=FRACTION      motor ID loses this share (0 to 1) of its answers\n"
    "  --delay ID=MS           motor ID answers MS milliseconds late (0 to 10000)\n"
    "  --bus-silent SECONDS    no motor answers from SECONDS on (0: from the start)\n"
    "  --random-frames RATE    send RATE frames a second with random identifiers\n"
    "                          and data (0 to 10000)\n"
    "  --help                  this text\n"
    "\n"
    "Exit status: 0 after a signal, 1 if the arm cannot start (interface or\n"
    "description), 2 for a bad command line.\n";

// A command-line mistake; main prints it with the usage hint.
struct UsageError {
    std::string message;
};

double parseNumber(const std::string& text, const std::string& what) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(value)) {
        throw UsageError{what + " must be a finite number, got '" + text + "'"};
    }
    return value;
}

int parseMotorId(const std::string& text) {
    const double value = parseNumber(text, "motor identifier");
    for (int id : VirtualArm::kMotorIds) {
        if (value == id) return id;
    }
    throw UsageError{"no motor with identifier '" + text + "' (the arm has 1, 2, 4, 5, 6, 7 and 8)"};
}

// Splits "ID<sep>VALUE"; the value may be optional.
std::pair<int, std::string> splitMotorArgument(const std::string& text, char separator,
                                               bool value_required, const char* option) {
    const auto at = text.find(separator);
    if (at == std::string::npos) {
        if (value_required) {
            throw UsageError{std::string(option) + " needs ID" + separator + "VALUE, got '" + text + "'"};
        }
        return {parseMotorId(text), ""};
    }
    return {parseMotorId(text.substr(0, at)), text.substr(at + 1)};
}

std::chrono::microseconds seconds(double value) {
    return std::chrono::microseconds(static_cast<long long>(std::llround(value * 1e6)));
}

void printStatus(const VirtualArm& arm, VirtualArm::Clock::time_point started, uint64_t& last_received) {
    const auto states = arm.states();
    const auto stats = arm.stats();
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(VirtualArm::Clock::now() - started);
    std::string enabled;
    for (const auto& motor : states) {
        if (motor.enabled) enabled += (enabled.empty() ? "" : ",") + std::to_string(motor.motor_id);
    }
    std::printf("%5llds enabled [%s] joints", static_cast<long long>(elapsed.count()),
                enabled.empty() ? "none" : enabled.c_str());
    for (std::size_t i = 0; i < qel::sim::kArmJoints; ++i) std::printf(" %+.3f", states[i].position);
    std::printf(" rad gripper %+.3f | %llu frames/s\n", states[qel::sim::kGripperAxis].position,
                static_cast<unsigned long long>(stats.frames_received - last_received));
    std::fflush(stdout);
    last_received = stats.frames_received;
}

}  // namespace

int main(int argc, char** argv) {
    enum Option {
        kCan = 1000, kUrdf, kStart, kGripperStart, kGripperStop, kGripperTravel, kSeed, kQuiet,
        kSilence, kStatusCode, kCurrent, kDrop, kDelay, kBusSilent, kRandomFrames, kHelp,
    };
    static const option kOptions[] = {
        {"can", required_argument, nullptr, kCan},
        {"urdf", required_argument, nullptr, kUrdf},
        {"start", required_argument, nullptr, kStart},
        {"gripper-start", required_argument, nullptr, kGripperStart},
        {"gripper-stop", required_argument, nullptr, kGripperStop},
        {"gripper-travel", required_argument, nullptr, kGripperTravel},
        {"seed", required_argument, nullptr, kSeed},
        {"quiet", no_argument, nullptr, kQuiet},
        {"silence", required_argument, nullptr, kSilence},
        {"status-code", required_argument, nullptr, kStatusCode},
        {"current", required_argument, nullptr, kCurrent},
        {"drop", required_argument, nullptr, kDrop},
        {"delay", required_argument, nullptr, kDelay},
        {"bus-silent", required_argument, nullptr, kBusSilent},
        {"random-frames", required_argument, nullptr, kRandomFrames},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };

    qel::sim::VirtualArmOptions options;
    bool quiet = false;
    // Faults are applied once the arm exists, relative to its start time.
    std::vector<std::function<void(VirtualArm&, VirtualArm::Clock::time_point)>> faults;

    try {
        opterr = 0;
        int option;
        while ((option = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
            const std::string value = optarg ? optarg : "";
            switch (option) {
            case kCan: options.interface = value; break;
            case kUrdf: options.urdf_path = value; break;
            case kStart: {
                std::size_t begin = 0;
                for (std::size_t i = 0; i < qel::sim::kArmJoints; ++i) {
                    const auto comma = value.find(',', begin);
                    const bool last = i + 1 == qel::sim::kArmJoints;
                    if (last != (comma == std::string::npos)) {
                        throw UsageError{"--start needs six comma-separated angles, got '" + value + "'"};
                    }
                    options.start_joints[i] = parseNumber(value.substr(begin, comma - begin), "start angle");
                    begin = comma + 1;
                }
                break;
            }
            case kGripperStart: options.gripper_start = parseNumber(value, "--gripper-start"); break;
            case kGripperStop: options.gripper_end_stop = parseNumber(value, "--gripper-stop"); break;
            case kGripperTravel: options.gripper_travel = parseNumber(value, "--gripper-travel"); break;
            case kSeed: {
                const double seed = parseNumber(value, "--seed");
                if (seed < 0 || seed > 4294967295.0 || seed != std::floor(seed)) {
                    throw UsageError{"--seed must be a whole number from 0 to 4294967295"};
                }
                options.random_seed = static_cast<uint32_t>(seed);
                break;
            }
            case kQuiet: quiet = true; break;
            case kSilence: {
                const auto [id, at] = splitMotorArgument(value, '@', false, "--silence");
                const double after = at.empty() ? 0.0 : parseNumber(at, "--silence time");
                if (after < 0 || after > 1e6) throw UsageError{"--silence time must be 0 to 1e6 seconds"};
                faults.push_back([id = id, after](VirtualArm& arm, VirtualArm::Clock::time_point t0) {
                    arm.silenceMotor(id, t0 + seconds(after));
                });
                break;
            }
            case kStatusCode: {
                const auto [id, text] = splitMotorArgument(value, '=', true, "--status-code");
                const double code = parseNumber(text, "status code");
                if (code < 0 || code > 15 || code != std::floor(code)) {
                    throw UsageError{"status code must be a whole number from 0 to 15"};
                }
                faults.push_back([id = id, code](VirtualArm& arm, auto) {
                    arm.setStatusCode(id, static_cast<int>(code));
                });
                break;
            }
            case kCurrent: {
                const auto [id, text] = splitMotorArgument(value, '=', true, "--current");
                const double current = parseNumber(text, "current");
                faults.push_back([id = id, current](VirtualArm& arm, auto) { arm.setReportedCurrent(id, current); });
                break;
            }
            case kDrop: {
                const auto [id, text] = splitMotorArgument(value, '=', true, "--drop");
                const double fraction = parseNumber(text, "drop fraction");
                if (fraction < 0 || fraction > 1) throw UsageError{"drop fraction must be 0 to 1"};
                faults.push_back([id = id, fraction](VirtualArm& arm, auto) { arm.setDropFraction(id, fraction); });
                break;
            }
            case kDelay: {
                const auto [id, text] = splitMotorArgument(value, '=', true, "--delay");
                const double ms = parseNumber(text, "delay");
                if (ms < 0 || ms > 10000) throw UsageError{"delay must be 0 to 10000 ms"};
                faults.push_back([id = id, ms](VirtualArm& arm, auto) { arm.setAnswerDelay(id, seconds(ms / 1000.0)); });
                break;
            }
            case kBusSilent: {
                const double after = parseNumber(value, "--bus-silent");
                if (after < 0 || after > 1e6) throw UsageError{"--bus-silent must be 0 to 1e6 seconds"};
                faults.push_back([after](VirtualArm& arm, VirtualArm::Clock::time_point t0) {
                    arm.silenceBus(t0 + seconds(after));
                });
                break;
            }
            case kRandomFrames: {
                const double rate = parseNumber(value, "--random-frames");
                if (rate < 0 || rate > 10000) throw UsageError{"--random-frames must be 0 to 10000 a second"};
                faults.push_back([rate](VirtualArm& arm, auto) { arm.setRandomFrameRate(rate); });
                break;
            }
            case kHelp: std::fputs(kUsage, stdout); return 0;
            default: {
                const std::string given = argv[optind - 1];
                throw UsageError{optopt != 0 ? "option '" + given + "' needs a value"
                                             : "unknown option '" + given + "'"};
            }
            }
        }
        if (optind < argc) throw UsageError{std::string("unexpected argument '") + argv[optind] + "'"};
    } catch (const UsageError& error) {
        std::fprintf(stderr, "qel-virtual-arm: %s\n%s", error.message.c_str(), kUsage);
        return kExitUsage;
    }

    // Signals are taken synchronously below; blocking them first keeps the
    // simulation thread from ever receiving one.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    try {
        VirtualArm arm(options);
        const auto started = VirtualArm::Clock::now();
        for (const auto& fault : faults) fault(arm, started);
        arm.start();
        std::fprintf(stderr, "qel-virtual-arm: running on %s\n", options.interface.c_str());
        uint64_t last_received = 0;
        const timespec second{1, 0};
        while (true) {
            const int signal = sigtimedwait(&stop_signals, nullptr, &second);
            if (signal == SIGINT || signal == SIGTERM) break;
            if (!quiet) printStatus(arm, started, last_received);
        }
        arm.stop();
        std::fprintf(stderr, "qel-virtual-arm: stopped\n");
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "qel-virtual-arm: %s\n%s", error.what(), kUsage);
        return kExitUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "qel-virtual-arm: %s\n", error.what());
        return 1;
    }
    return 0;
}
