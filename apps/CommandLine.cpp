#include "apps/CommandLine.hpp"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qel/controller/ControlLaw.hpp"

namespace qel::tools {

const char* projectVersion() { return QEL_PROJECT_VERSION; }

void printVersion(const char* program) { std::printf("%s %s\n", program, projectVersion()); }

sigset_t blockStopSignals() {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    return stop_signals;
}

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

bool outputWritable(const std::string& path, const char* program) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        std::fprintf(stderr, "%s: cannot write in '%s': %s\n", program, folder.c_str(), std::strerror(errno));
        return false;
    }
    if (access(path.c_str(), F_OK) == 0 && access(path.c_str(), W_OK) != 0) {
        std::fprintf(stderr, "%s: cannot replace '%s': %s\n", program, path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

double parseNumber(const std::string& text, const std::string& what) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(value)) {
        throw UsageError{what + " must be a finite number, got '" + text + "'"};
    }
    return value;
}

double parseDuration(const std::string& text) {
    constexpr double kMaxDuration = 1e6;  // s
    const double seconds = parseNumber(text, "--duration");
    if (!(seconds > 0) || seconds > kMaxDuration) {
        throw UsageError{"--duration must be above 0 and at most 1e6 seconds"};
    }
    return seconds;
}

int parseMotorId(const std::string& text) {
    const double value = parseNumber(text, "motor identifier");
    for (const auto& slot : m4::control::kMotorLayout) {
        if (value == slot.motor_id) return slot.motor_id;
    }
    throw UsageError{"no motor with identifier '" + text +
                     "' (the arm has 1, 2, 4, 5, 6, 7 and the gripper 8; joint 3 is motor 4)"};
}

bool parseOptions(int argc, char** argv, const option* options,
                  const std::function<bool(int option, const std::string& value)>& handle) {
    opterr = 0;  // the messages are ours
    int result;
    while ((result = getopt_long(argc, argv, ":h", options, nullptr)) != -1) {
        if (result == ':' || result == '?') throw UsageError{badOptionMessage(result, argv)};
        if (!handle(result, optarg ? optarg : "")) return false;
    }
    return true;
}

const char* const kRealtimeUsage =
    "Real time (docs/realtime.md; needs root, CAP_SYS_NICE and CAP_IPC_LOCK, or rtprio\n"
    "and memlock limits):\n"
    "  --realtime           control thread SCHED_FIFO 80, CAN receive thread 81,\n"
    "                       1 us timer slack, memory locked; a refused setting\n"
    "                       stops the start\n"
    "  --rt-priority N      as --realtime, control thread at N (1 to 98), receive\n"
    "                       thread at N + 1\n"
    "  --rt-cpu N           pin the control and receive threads to CPU N\n";

std::vector<option> withRealtimeOptions(const option* options) {
    std::vector<option> all;
    for (; options->name != nullptr; ++options) all.push_back(*options);
    all.push_back({"realtime", no_argument, nullptr, kOptionRealtime});
    all.push_back({"rt-priority", required_argument, nullptr, kOptionRtPriority});
    all.push_back({"rt-cpu", required_argument, nullptr, kOptionRtCpu});
    all.push_back({nullptr, 0, nullptr, 0});
    return all;
}

bool applyRealtimeOption(int code, const std::string& value, m4::RealtimeOptions* realtime) {
    using Policy = m4::ThreadSettings::Policy;
    auto fifo = [realtime](int control_priority) {
        realtime->control.policy = Policy::kFifo;
        realtime->control.priority = control_priority;
        realtime->control.timer_slack_ns = 1000;
        // Above the control thread: it decodes the feedback the next cycle
        // reads and holds the drivers' lock while it does.
        realtime->receive.policy = Policy::kFifo;
        realtime->receive.priority = control_priority + 1;
        realtime->receive.timer_slack_ns = 1000;
        realtime->lock_memory = true;
        realtime->on_refusal = m4::OnRefusal::kThrow;
    };
    switch (code) {
        case kOptionRealtime:
            fifo(80);
            return true;
        case kOptionRtPriority: {
            const double priority = parseNumber(value, "--rt-priority");
            if (priority < 1 || priority > 98 || priority != static_cast<int>(priority)) {
                throw UsageError{"--rt-priority must be a whole number from 1 to 98"};
            }
            fifo(static_cast<int>(priority));
            return true;
        }
        case kOptionRtCpu: {
            const double cpu = parseNumber(value, "--rt-cpu");
            if (cpu < 0 || cpu > 4095 || cpu != static_cast<int>(cpu)) {
                throw UsageError{"--rt-cpu must be a CPU number from 0"};
            }
            realtime->control.cpus = {static_cast<int>(cpu)};
            realtime->receive.cpus = {static_cast<int>(cpu)};
            return true;
        }
        default:
            return false;
    }
}

int parseOrExit(const char* program, const std::function<bool()>& parse, void (*usage)(FILE* to)) {
    try {
        return parse() ? -1 : 0;
    } catch (const UsageError& error) {
        std::fprintf(stderr, "%s: %s\n", program, error.message.c_str());
        usage(stderr);
        return kExitUsage;
    }
}

std::string badOptionMessage(int result, char** argv) {
    // getopt_long leaves optind past the offending word. optopt holds a short
    // option's letter, or a long option's value code, which is no letter.
    const std::string word = optind > 0 ? argv[optind - 1] : "";
    const bool letter = optopt > 0 && optopt < 128;
    if (result == ':') return "option '" + word + "' needs a value";
    if (letter) return std::string("unknown option '-") + static_cast<char>(optopt) + "'";
    const auto equals = word.find('=');
    if (optopt != 0 && equals != std::string::npos) {
        return "option '" + word.substr(0, equals) + "' takes no value";
    }
    return "unknown option '" + word + "'";
}

}  // namespace qel::tools
