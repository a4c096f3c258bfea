// qel-teach: teaching by hand. Homes the arm, lets it float in gravity
// compensation so that an operator can guide it, and records every control
// cycle until Ctrl-C or the duration; then damps the arm. See --help.
#include <getopt.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <thread>

#include "apps/ArmSession.hpp"
#include "apps/CommandLine.hpp"
#include "qel/interfaces/InterfacesThread.hpp"

namespace {

using namespace std::chrono_literals;
using qel::m4::InterfacesThread;
using qel::m4::RecordingFormat;
using qel::m4::RecordingStatus;

constexpr int kProtect = 2;
constexpr int kGravityCompensation = 3;
constexpr double kCycleRateHz = 200.0;

// Exit statuses; see the usage text (the shared ones are in ArmSession.hpp).
constexpr int kExitRecorded = 0;
constexpr int kExitFault = 1;
using qel::tools::kExitOutput;

struct Options {
    qel::tools::ArmStart arm;
    std::string out;
    double duration_s = 0.0;  // 0: until a stop signal
};

void usage(FILE* to) {
    std::fprintf(to,
                 "usage: qel-teach --out FILE [--can IFACE] [--duration SECONDS] [--urdf FILE]\n"
                 "\n"
                 "Teaching by hand: homes the arm, then switches it to gravity compensation so\n"
                 "that it floats and can be guided by hand, and records every control cycle\n"
                 "(targets, commands sent, measured positions, velocities and currents, error\n"
                 "codes) until Ctrl-C, SIGTERM or the duration. Then the arm is damped, the\n"
                 "file completed and the bus closed. docs/recording.md describes the file.\n"
                 "\n"
                 "WARNING: homing MOVES THE ARM, and in gravity compensation it holds no\n"
                 "position: it rests where a hand leaves it only while its payload is right\n"
                 "(none by default). Clear its reach and keep the emergency stop at hand.\n"
                 "\n"
                 "  --out FILE          the recording: HDF5, or CSV if FILE ends in .csv;\n"
                 "                      replaced if it exists; its folder is checked before\n"
                 "                      the arm is started\n"
                 "  --can IFACE         SocketCAN interface of the arm (default vcan0, where\n"
                 "                      qel-virtual-arm can stand in for the arm)\n"
                 "  --duration SECONDS  stop recording after this long (default: at Ctrl-C)\n"
                 "  --urdf FILE         robot description (default: %s)\n"
                 "  -h, --help          this text\n"
                 "  --version           the version\n"
                 "\n"
                 "Exit status: 0 recorded until a stop signal or the duration, 1 a fault of\n"
                 "the arm ended the teaching (the file holds it), 2 bad command line, 3 the\n"
                 "file cannot be written, 4 the arm could not be started, 130 or 143 stopped\n"
                 "by SIGINT or SIGTERM while homing (nothing recorded).\n",
                 qel::tools::defaultUrdf().c_str());
}

// Parses the command line into `options`; throws qel::tools::UsageError.
// Returns false when the run is already done (help or version printed).
bool parse(int argc, char** argv, Options* options) {
    enum Option { kCan = 1000, kUrdf, kOut, kDuration, kHelp, kVersion };
    static const option long_options[] = {{"can", required_argument, nullptr, kCan},
                                          {"urdf", required_argument, nullptr, kUrdf},
                                          {"out", required_argument, nullptr, kOut},
                                          {"duration", required_argument, nullptr, kDuration},
                                          {"help", no_argument, nullptr, kHelp},
                                          {"version", no_argument, nullptr, kVersion},
                                          {nullptr, 0, nullptr, 0}};
    const bool run = qel::tools::parseOptions(argc, argv, long_options, [&](int opt, const std::string& value) {
        switch (opt) {
            case kCan: options->arm.can = value; break;
            case kUrdf: options->arm.urdf = value; break;
            case kOut: options->out = value; break;
            case kDuration:
                options->duration_s = qel::tools::parseDuration(value);
                break;
            case 'h':
            case kHelp: usage(stdout); return false;
            case kVersion: qel::tools::printVersion("qel-teach"); return false;
        }
        return true;
    });
    if (!run) return false;
    if (optind < argc) throw qel::tools::UsageError{std::string("unexpected argument '") + argv[optind] + "'"};
    if (options->out.empty()) throw qel::tools::UsageError{"--out FILE is required"};
    return true;
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Teaches until a stop signal, the duration or a fault; returns the exit
// status. The arm is damped before this returns.
int teach(InterfacesThread& arm, const Options& options) {
    const RecordingFormat format = endsWith(options.out, ".csv") ? RecordingFormat::kCsv : RecordingFormat::kHdf5;
    try {
        arm.startRecording(options.out, format);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "qel-teach: %s\n", error.what());
        return kExitOutput;
    }
    arm.setArmStatus(kGravityCompensation);
    std::printf("Teaching: the arm floats in gravity compensation; guide it by hand.\n"
                "Recording to %s; %s ends it.\n",
                options.out.c_str(), options.duration_s > 0 ? "the duration or Ctrl-C" : "Ctrl-C");

    int status = kExitRecorded;
    qel::tools::runSession(
        options.duration_s,
        [&] {
            if (arm.faultLatched()) {
                std::fprintf(stderr, "qel-teach: the arm stopped: %s (code %d)\n", arm.latchedFaultMessage().c_str(),
                             arm.latchedFaultCode());
                status = kExitFault;
                return false;
            }
            const RecordingStatus recording = arm.recordingStatus();
            if (!recording.active) {
                std::fprintf(stderr, "qel-teach: the recording stopped: %s\n", recording.error.c_str());
                status = kExitOutput;
                return false;
            }
            return true;
        },
        [&](double seconds) {
            std::printf("  recording... %.0f s, %llu cycles\n", seconds,
                        static_cast<unsigned long long>(arm.recordingStatus().written));
        },
        "ending the recording");

    // Damped first, so the file ends with the arm at rest under damping.
    arm.setArmStatus(kProtect);
    std::this_thread::sleep_for(50ms);
    const RecordingStatus recorded = arm.stopRecording();
    if (!recorded.error.empty()) {
        std::fprintf(stderr, "qel-teach: %s\n", recorded.error.c_str());
        return kExitOutput;
    }
    std::printf("Recorded %llu cycles (%.1f s) to %s", static_cast<unsigned long long>(recorded.written),
                static_cast<double>(recorded.written) / kCycleRateHz, recorded.path.c_str());
    if (recorded.lost > 0) {
        std::printf("; %llu cycles were lost (the recorder fell behind)", static_cast<unsigned long long>(recorded.lost));
    }
    std::printf(".\n");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    const int done = qel::tools::parseOrExit("qel-teach", [&] { return parse(argc, argv, &options); }, usage);
    if (done >= 0) return done;
    // Before anything moves: a teaching whose record cannot be kept is not
    // worth starting.
    if (!qel::tools::outputWritable(options.out, "qel-teach")) return kExitOutput;

    int status = 0;
    std::unique_ptr<InterfacesThread> arm = qel::tools::startArm(options.arm, "qel-teach", &status);
    if (!arm) return status;

    status = teach(*arm, options);
    arm.reset();  // damps every motor and closes the bus
    std::printf("Arm damped.\n");
    return status;
}
