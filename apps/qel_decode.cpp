// qel-decode: the arm's CAN traffic in words. Reads a live interface or a
// candump -L log and prints every frame decoded in the motors' protocol, and
// on request a per-motor summary. See --help.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "apps/BusSummary.hpp"
#include "apps/CommandLine.hpp"
#include "apps/FrameText.hpp"
#include "sim/RawCanSocket.hpp"

namespace {

using namespace qel::tools;

constexpr int kExitInput = 1;      // the log or the interface cannot be read
constexpr int kExitBadLines = 3;   // some lines were no candump -L lines

const char* const kUsage =
    "usage: qel-decode [options] --can IFACE\n"
    "       qel-decode [options] LOG|-\n"
    "\n"
    "Prints every CAN frame of the arm decoded in its motors' protocol: command\n"
    "frames (k_p, k_d, position, velocity, torque), enable and disable frames,\n"
    "feedback (error code, position, velocity, current) and unknown frames. Each\n"
    "line is the frame as candump -L writes it, followed by its meaning:\n"
    "  (1436509052.249713) can0 001#7FFF7FF0000007FF  command motor 1 (joint 1): ...\n"
    "Positions are in rad (the gripper's in its motor's own unit, 'raw'),\n"
    "velocities in rad/s, torques in Nm. Motor identifiers are the bus ones:\n"
    "1, 2 and 4 drive joints 1 to 3, 5, 6 and 7 joints 4 to 6, 8 the gripper.\n"
    "\n"
    "Input (one of):\n"
    "  --can IFACE      a live CAN interface (already up); stops on SIGINT/SIGTERM\n"
    "  LOG              a candump -L log file; '-' reads standard input\n"
    "\n"
    "Options:\n"
    "  --motor ID       only frames of motor ID (may be repeated; 4 is joint 3)\n"
    "  --summary        after the frames, a per-motor summary: frame counts and\n"
    "                   rates, last values, and silences (feedback gaps longer\n"
    "                   than 200 ms for motors 1, 2, 4 and 800 ms for 5 to 8,\n"
    "                   the ages at which the controller takes a motor offline)\n"
    "  --summary-only   the summary without the frames\n"
    "  -h, --help       this text\n"
    "  --version        the version\n"
    "\n"
    "Exit status: 0 done, 1 the log or interface cannot be read, 2 bad command\n"
    "line, 3 some log lines were not candump -L lines (they are reported on\n"
    "standard error and skipped).\n";

volatile sig_atomic_t g_stop = 0;

void onStopSignal(int) { g_stop = 1; }

struct Settings {
    std::string interface;
    std::string log;
    std::vector<int> motors;
    bool frames = true;
    bool summary = false;
};

// Prints decoded frames and feeds the summary.
class Printer {
public:
    explicit Printer(const Settings& settings) : settings_(settings) {}

    void frame(int64_t time_us, const std::string& interface, const CanFrame& frame) {
        const DecodedFrame decoded = decodeFrame(frame);
        if (!wanted(decoded)) return;
        summary_.add(time_us, decoded);
        if (settings_.frames) std::printf("%s\n", frameLine(time_us, interface, frame).c_str());
    }

    // A CAN FD line of a log: none of the motors' frames, shown as it is.
    void fdFrame(const CandumpLine& line) {
        DecodedFrame decoded;
        if (!wanted(decoded)) return;
        summary_.add(line.time_us, decoded);
        if (!settings_.frames) return;
        std::printf("(%lld.%06lld) %s %s  unknown: CAN FD frame (the motors use classic frames)\n",
                    static_cast<long long>(line.time_us / 1000000), static_cast<long long>(line.time_us % 1000000),
                    line.interface.c_str(), line.frame_text.c_str());
    }

    void finish() {
        if (settings_.summary) std::printf("%s", summary_.text(settings_.motors).c_str());
        std::fflush(stdout);
    }

private:
    bool wanted(const DecodedFrame& decoded) const {
        if (settings_.motors.empty()) return true;
        if (decoded.kind == FrameKind::kUnknown) return false;
        return std::find(settings_.motors.begin(), settings_.motors.end(), decoded.motor_id) !=
               settings_.motors.end();
    }

    const Settings& settings_;
    BusSummary summary_;
};

int decodeLog(const Settings& settings, Printer& printer) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (settings.log != "-") {
        file.open(settings.log);
        if (!file) {
            std::fprintf(stderr, "qel-decode: cannot read '%s': %s\n", settings.log.c_str(), std::strerror(errno));
            return kExitInput;
        }
        in = &file;
    }
    std::string line;
    CandumpLine parsed;
    std::string error;
    long number = 0;
    long bad = 0;
    while (std::getline(*in, line)) {
        ++number;
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        if (!parseCandumpLine(line, &parsed, &error)) {
            ++bad;
            std::fprintf(stderr, "qel-decode: line %ld skipped: %s\n", number, error.c_str());
            continue;
        }
        if (parsed.fd) {
            printer.fdFrame(parsed);
        } else {
            printer.frame(parsed.time_us, parsed.interface, parsed.frame);
        }
    }
    if (in->bad()) {
        std::fprintf(stderr, "qel-decode: reading '%s' failed\n", settings.log.c_str());
        printer.finish();
        return kExitInput;
    }
    printer.finish();
    return bad > 0 ? kExitBadLines : 0;
}

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
}

int decodeLive(const Settings& settings, Printer& printer) {
    int fd = -1;
    try {
        fd = qel::sim::openRawCanSocket(settings.interface);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "qel-decode: %s\n", error.what());
        return kExitInput;
    }
    // The kernel's receive time, as candump shows it, rather than the time
    // this program got round to reading the frame.
    const int on = 1;
    const bool stamped = setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on) == 0;

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A pipe to another program shows each frame as it comes.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::fprintf(stderr, "qel-decode: listening on %s\n", settings.interface.c_str());

    while (!g_stop) {
        pollfd waiting{fd, POLLIN, 0};
        const int ready = poll(&waiting, 1, 200);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "qel-decode: waiting on %s failed: %s\n", settings.interface.c_str(), std::strerror(errno));
            break;
        }
        if (ready <= 0) continue;
        if (waiting.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            int error = 0;
            socklen_t size = sizeof error;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
            if (!(waiting.revents & POLLIN)) continue;
        }
        while (!g_stop) {
            CanFrame frame;
            iovec data{&frame, sizeof frame};
            char control[CMSG_SPACE(sizeof(timeval))];
            msghdr message{};
            message.msg_iov = &data;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t got = recvmsg(fd, &message, MSG_DONTWAIT);
            if (got < 0) break;
            if (got != static_cast<ssize_t>(sizeof frame)) continue;
            int64_t time_us = nowUs();
            if (stamped) {
                for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
                    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMP) {
                        timeval stamp;
                        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                        time_us = static_cast<int64_t>(stamp.tv_sec) * 1000000 + stamp.tv_usec;
                    }
                }
            }
            printer.frame(time_us, settings.interface, frame);
        }
    }
    close(fd);
    printer.finish();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    enum Option { kCan = 1000, kMotor, kSummary, kSummaryOnly, kHelp, kVersion };
    static const option kOptions[] = {
        {"can", required_argument, nullptr, kCan},
        {"motor", required_argument, nullptr, kMotor},
        {"summary", no_argument, nullptr, kSummary},
        {"summary-only", no_argument, nullptr, kSummaryOnly},
        {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    Settings settings;
    try {
        const bool run = parseOptions(argc, argv, kOptions, [&](int option, const std::string& value) {
            switch (option) {
            case kCan: settings.interface = value; break;
            case kMotor: {
                const int id = parseMotorId(value);
                if (std::find(settings.motors.begin(), settings.motors.end(), id) == settings.motors.end()) {
                    settings.motors.push_back(id);
                }
                break;
            }
            case kSummary: settings.summary = true; break;
            case kSummaryOnly:
                settings.summary = true;
                settings.frames = false;
                break;
            case 'h':
            case kHelp: std::fputs(kUsage, stdout); return false;
            case kVersion: printVersion("qel-decode"); return false;
            }
            return true;
        });
        if (!run) return 0;
        if (optind < argc) settings.log = argv[optind++];
        if (optind < argc) throw UsageError{std::string("unexpected argument '") + argv[optind] + "'"};
        if (settings.interface.empty() == settings.log.empty()) {
            throw UsageError{"give either --can IFACE or a log file (or '-' for standard input)"};
        }
    } catch (const UsageError& error) {
        std::fprintf(stderr, "qel-decode: %s\n%s", error.message.c_str(), kUsage);
        return kExitUsage;
    }
    Printer printer(settings);
    return settings.interface.empty() ? decodeLog(settings, printer) : decodeLive(settings, printer);
}
