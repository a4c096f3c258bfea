#include "qel/realtime/ThreadSettings.hpp"

#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "qel/output/Output.hpp"

namespace qel::realtime {
namespace {

int posixPolicy(ThreadSettings::Policy policy) {
    switch (policy) {
        case ThreadSettings::Policy::kFifo:
            return SCHED_FIFO;
        case ThreadSettings::Policy::kRoundRobin:
            return SCHED_RR;
        default:
            return SCHED_OTHER;
    }
}

const char* policyName(ThreadSettings::Policy policy) {
    switch (policy) {
        case ThreadSettings::Policy::kFifo:
            return "SCHED_FIFO";
        case ThreadSettings::Policy::kRoundRobin:
            return "SCHED_RR";
        default:
            return "SCHED_OTHER";
    }
}

void append(std::string& out, const std::string& what) {
    if (!out.empty()) out += "; ";
    out += what;
}

}  // namespace

std::string applyScheduling(pthread_t thread, const ThreadSettings& settings, const char* who) {
    std::string refused;
    if (settings.policy != ThreadSettings::Policy::kInherit) {
        const int policy = posixPolicy(settings.policy);
        sched_param param{};
        param.sched_priority = settings.priority;
        const int min = sched_get_priority_min(policy);
        const int max = sched_get_priority_max(policy);
        if (settings.priority < min || settings.priority > max) {
            // Checked here because the kernel's answer (EINVAL) would not say
            // what is wrong with the request.
            append(refused, std::string(who) + ": priority " + std::to_string(settings.priority) +
                                " is outside " + std::to_string(min) + " to " + std::to_string(max) +
                                " for " + policyName(settings.policy));
        } else if (const int error = pthread_setschedparam(thread, policy, &param); error != 0) {
            append(refused, std::string(who) + ": " + policyName(settings.policy) + " priority " +
                                std::to_string(settings.priority) + " refused (" +
                                std::strerror(error) + ")");
        }
    }
    if (!settings.cpus.empty()) {
        cpu_set_t set;
        CPU_ZERO(&set);
        bool valid = true;
        for (const int cpu : settings.cpus) {
            if (cpu < 0 || cpu >= CPU_SETSIZE) {
                valid = false;
                append(refused, std::string(who) + ": CPU " + std::to_string(cpu) + " does not exist");
            } else {
                CPU_SET(cpu, &set);
            }
        }
        if (valid) {
            if (const int error = pthread_setaffinity_np(thread, sizeof set, &set); error != 0) {
                std::string list;
                for (const int cpu : settings.cpus) list += (list.empty() ? "" : ",") + std::to_string(cpu);
                append(refused, std::string(who) + ": pinning to CPU " + list + " refused (" +
                                    std::strerror(error) + ")");
            }
        }
    }
    return refused;
}

std::string applyToCurrentThread(const ThreadSettings& settings, const char* name) {
    char short_name[16] = {};
    std::strncpy(short_name, name, sizeof short_name - 1);
    pthread_setname_np(pthread_self(), short_name);
    if (settings.timer_slack_ns < 0) return {};
    // Zero would mean "back to the default slack", not "none"; one
    // nanosecond is the least the kernel accepts.
    const unsigned long slack = settings.timer_slack_ns == 0 ? 1ul : static_cast<unsigned long>(settings.timer_slack_ns);
    if (prctl(PR_SET_TIMERSLACK, slack, 0, 0, 0) != 0) {
        return std::string(name) + ": timer slack of " + std::to_string(settings.timer_slack_ns) +
               " ns refused (" + std::strerror(errno) + ")";
    }
    return {};
}

std::string lockMemory() {
    if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
        return std::string("locking memory (mlockall) refused (") + std::strerror(errno) + ")";
    }
    return {};
}

void handleRefusal(OnRefusal on_refusal, const std::string& refused) {
    if (refused.empty()) return;
    if (on_refusal == OnRefusal::kThrow) {
        throw std::runtime_error("Real-time setting refused: " + refused);
    }
    output::writef(output::Level::kWarning, output::Stream::kStderr,
                   "Warning: real-time setting refused, running without it: %s", refused.c_str());
}

}  // namespace qel::realtime
