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
#include <mutex>
#include <string>
#include <vector>

#include "apps/CommandLine.hpp"
#include "apps/FrameText.hpp"
#include "apps/PushOption.hpp"
#include "sim/VirtualArm.hpp"

namespace {

using qel::sim::VirtualArm;
using qel::tools::UsageError;
using qel::tools::parseMotorId;
using qel::tools::parseNumber;

const char* const kUsage =
    "usage: qel-virtual-arm [--can IFACE] [options]\n"
    "\n"
    "Simulates the arm's seven motors (identifiers 1, 2, 4, 5, 6, 7 and the gripper 8)\n"
    "on a CAN interface that is already up. Every frame addressed to a motor is\n"
    "answered with one feedback frame on identifier 0. The joints stop hard at\n"
    "their limits. Prints one status line a second; stops on SIGINT or SIGTERM.\n"
    "\n"
    "Arm:\n"
    "  --can IFACE             CAN interface (default vcan0)\n"
    "  --urdf PATH             robot description file (default: the built-in one)\n"
    "  --start Q1,...,Q6       start angles of joints 1 to 6 in rad, within the\n"
    "                          joint limits (default all 0)\n"
    "  --payload KG            payload at the flange, carried by the arm's gravity\n"
    "                          load (default 0)\n"
    "  --gripper-start RAW     gripper start position, motor units (default 0)\n"
    "  --gripper-stop RAW      gripper end stop, motor units (default -2)\n"
    "  --gripper-travel RAW    gripper travel above the end stop (default 5.5)\n"
    "  --seed N                seed of the random draws (default 1)\n"
    "  --trace                 print every frame the motors receive, decoded as\n"
    "                          qel-decode prints it\n"
    "  --quiet                 no status line\n"
    "\n"
    "Faults (ID is a motor's bus identifier, not its joint number: 1, 2 and 4\n"
    "drive joints 1 to 3, 5, 6 and 7 joints 4 to 6, 8 the gripper; SECONDS count\n"
    "from start; per-motor options may be repeated):\n"
    "  --silence ID[@SECONDS]  motor ID stops answering (at once, or after SECONDS)\n"
    "  --status-code ID=CODE   motor ID reports status CODE (0 to 15)\n"
    "  --current ID=VALUE      motor ID reports current VALUE (current units)\n"
    "  --drop ID=FRACTION      motor ID loses this share (0 to 1) of its answers\n"
    "  --delay ID=MS           motor ID answers MS milliseconds late (0 to 10000)\n"
    "  --bus-silent SECONDS    no motor answers from SECONDS on (0: from the start)\n"
    "  --random-frames RATE    send RATE frames a second with random identifiers\n"
    "                          and data (0 to 10000)\n"
    "\n"
    "A hand on the arm (JOINT is the joint number, 1 to 6; repeatable):\n"
    "  --push JOINT:TORQUE:START:DURATION\n"
    "                          push the joint with TORQUE N*m (-1000 to 1000,\n"
    "                          positive in its positive direction) from START\n"
    "                          seconds for DURATION seconds; pushes add up\n"
    "\n"
    "  -h, --help              this text\n"
    "  --version               the version\n"
    "\n"
    "Exit status: 0 after a signal, 1 if the arm cannot start (interface or\n"
    "description), 2 for a bad command line.\n";

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

// Frames for --trace, handed from the simulation thread to the main thread,
// which prints them: a slow terminal or a paused pager then delays only the
// trace, never the motors' answers. Past kLimit waiting frames the newest are
// counted and dropped instead.
class TraceQueue {
public:
    static constexpr std::size_t kLimit = 1 << 16;

    TraceQueue() {
        waiting_.reserve(kLimit);
        printing_.reserve(kLimit);
    }

    void push(const qel::hw_interface::CanFrame& frame) {
        const int64_t time_us = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::system_clock::now().time_since_epoch()).count();
        std::lock_guard<std::mutex> lock(mutex_);
        if (waiting_.size() >= kLimit) {
            ++dropped_;
            return;
        }
        waiting_.push_back({time_us, frame});
    }

    void print(const std::string& interface) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            printing_.swap(waiting_);
        }
        for (const Entry& entry : printing_) {
            std::printf("%s\n", qel::tools::frameLine(entry.time_us, interface, entry.frame).c_str());
        }
        printing_.clear();
        uint64_t dropped = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            std::swap(dropped, dropped_);
        }
        if (dropped > 0) {
            std::printf("qel-virtual-arm: the trace fell behind; %llu frames not shown\n",
                        static_cast<unsigned long long>(dropped));
        }
        std::fflush(stdout);
    }

private:
    struct Entry {
        int64_t time_us;
        qel::hw_interface::CanFrame frame;
    };
    std::mutex mutex_;
    std::vector<Entry> waiting_;
    std::vector<Entry> printing_;
    uint64_t dropped_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    enum Option {
        kCan = 1000, kUrdf, kStart, kGripperStart, kGripperStop, kGripperTravel, kSeed, kQuiet,
        kSilence, kStatusCode, kCurrent, kDrop, kDelay, kBusSilent, kRandomFrames, kHelp,
        kVersion, kTrace, kPayload, kPush,
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
        {"version", no_argument, nullptr, kVersion},
        {"trace", no_argument, nullptr, kTrace},
        {"payload", required_argument, nullptr, kPayload},
        {"push", required_argument, nullptr, kPush},
        {nullptr, 0, nullptr, 0},
    };

    qel::sim::VirtualArmOptions options;
    bool quiet = false;
    bool trace = false;
    // Faults are applied once the arm exists, relative to its start time.
    std::vector<std::function<void(VirtualArm&, VirtualArm::Clock::time_point)>> faults;

    try {
        const bool run = qel::tools::parseOptions(argc, argv, kOptions, [&](int option, const std::string& value) {
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
            case kPayload: {
                options.payload = parseNumber(value, "--payload");
                if (options.payload < 0) throw UsageError{"--payload must not be negative"};
                break;
            }
            case kPush: {
                const qel::tools::PushOption push = qel::tools::parsePushOption(value);
                faults.push_back([push](VirtualArm& arm, VirtualArm::Clock::time_point t0) {
                    arm.push(push.joint, push.torque, t0 + seconds(push.start_s), seconds(push.duration_s));
                });
                break;
            }
            case kTrace: trace = true; break;
            case 'h':
            case kHelp: std::fputs(kUsage, stdout); return false;
            case kVersion: qel::tools::printVersion("qel-virtual-arm"); return false;
            }
            return true;
        });
        if (!run) return 0;
        if (optind < argc) throw UsageError{std::string("unexpected argument '") + argv[optind] + "'"};
    } catch (const UsageError& error) {
        std::fprintf(stderr, "qel-virtual-arm: %s\n%s", error.message.c_str(), kUsage);
        return qel::tools::kExitUsage;
    }

    // Signals are taken synchronously below; blocking them first keeps the
    // simulation thread from ever receiving one.
    const sigset_t stop_signals = qel::tools::blockStopSignals();

    TraceQueue trace_queue;
    if (trace) options.on_frame = [&trace_queue](const auto& frame) { trace_queue.push(frame); };

    try {
        VirtualArm arm(options);
        const auto started = VirtualArm::Clock::now();
        for (const auto& fault : faults) fault(arm, started);
        arm.start();
        std::fprintf(stderr, "qel-virtual-arm: running on %s\n", options.interface.c_str());
        uint64_t last_received = 0;
        // The trace is printed every 50 ms, the status line every second.
        const timespec wait = trace ? timespec{0, 50000000} : timespec{1, 0};
        auto next_status = started + std::chrono::seconds(1);
        while (true) {
            const int signal = sigtimedwait(&stop_signals, nullptr, &wait);
            if (trace) trace_queue.print(options.interface);
            if (signal == SIGINT || signal == SIGTERM) break;
            if (VirtualArm::Clock::now() < next_status) continue;
            next_status += std::chrono::seconds(1);
            if (!quiet) printStatus(arm, started, last_received);
        }
        arm.stop();
        if (trace) trace_queue.print(options.interface);
        std::fprintf(stderr, "qel-virtual-arm: stopped\n");
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "qel-virtual-arm: %s\n%s", error.what(), kUsage);
        return qel::tools::kExitUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "qel-virtual-arm: %s\n", error.what());
        return 1;
    }
    return 0;
}
