#include "apps/ArmSession.hpp"

#include "apps/CommandLine.hpp"

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <thread>
#include <vector>

namespace qel::tools {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

volatile sig_atomic_t g_stop_signal = 0;

// The first signal decides; a second one while stopping changes nothing.
void onStopSignal(int signal) {
    if (g_stop_signal == 0) g_stop_signal = signal;
}

sigset_t stopSet() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    return stop;
}

}  // namespace

void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool stopRequested() { return g_stop_signal != 0; }
int stopSignal() { return g_stop_signal; }
const char* stopSignalName() { return g_stop_signal == SIGINT ? "SIGINT" : "SIGTERM"; }

StopSignalsBlocked::StopSignalsBlocked() {
    const sigset_t stop = stopSet();
    pthread_sigmask(SIG_BLOCK, &stop, &previous_);
}

StopSignalsBlocked::~StopSignalsBlocked() {
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

std::unique_ptr<m4::InterfacesThread> startArm(const ArmStart& start, const char* program, int* exit_status) {
    std::vector<std::unique_ptr<m4::InterfacesThread>> arms = startArms({start}, program, exit_status);
    return arms.empty() ? nullptr : std::move(arms.front());
}

std::vector<std::unique_ptr<m4::InterfacesThread>> startArms(const std::vector<ArmStart>& starts, const char* program,
                                                             int* exit_status) {
    catchStopSignals();
    const std::size_t n = starts.size();
    if (n == 1) {
        std::printf("Connecting to the arm on %s and homing it (takes a few seconds)...\n", starts[0].can.c_str());
    } else {
        std::string buses;
        for (std::size_t i = 0; i < n; ++i) buses += (i == 0 ? "" : (i + 1 == n ? " and " : ", ")) + starts[i].can;
        std::printf("Connecting to the arms on %s and homing them at once (takes a few seconds)...\n", buses.c_str());
    }
    m4::ControllerOptions options;
    options.cancel = std::make_shared<m4::StartupCancel>();
    std::vector<std::unique_ptr<m4::InterfacesThread>> arms(n);
    std::vector<std::exception_ptr> failures(n);
    std::atomic<std::size_t> constructed{0};
    // The first arm to fail: the others then fail because it cancelled them.
    std::atomic<std::size_t> first_failed{n};
    std::vector<std::thread> builders;
    {
        StopSignalsBlocked blocked;  // the library's threads start from the builders
        for (std::size_t i = 0; i < n; ++i) {
            const std::string urdf = starts[i].urdf.empty() ? defaultUrdf() : starts[i].urdf;
            builders.emplace_back([&, i, urdf] {
                try {
                    arms[i] = std::make_unique<m4::InterfacesThread>(urdf, starts[i].can, starts[i].type, options);
                } catch (...) {
                    failures[i] = std::current_exception();
                    std::size_t none = n;
                    first_failed.compare_exchange_strong(none, i);
                    // The others have no reason to go on homing.
                    options.cancel->cancel();
                }
                ++constructed;
            });
        }
    }
    const auto homing_start = Clock::now();
    bool announced = false;
    while (constructed < n) {
        std::this_thread::sleep_for(100ms);
        if (stopRequested() && !announced) {
            // Homing is abandoned at once: construction damps the arm and
            // throws, which is reported below as an interruption.
            std::printf("Stop requested: homing cancelled, the arm%s being damped.\n", n == 1 ? " is" : "s are");
            options.cancel->cancel();
            announced = true;
        }
        const auto elapsed = Clock::now() - homing_start;
        if (elapsed / 500ms != (elapsed - 100ms) / 500ms) {
            std::printf("  homing... %.1f s\n", std::chrono::duration<double>(elapsed).count());
        }
        std::fflush(stdout);
    }
    for (std::thread& builder : builders) builder.join();
    const std::size_t failed = first_failed;
    if (failed < n) {
        // Destroying the arms that did start damps them and closes their buses.
        arms.clear();
        if (stopRequested()) {
            // The cancelled start-up has damped the arm and closed the bus.
            std::printf("\nInterrupted by %s: stopping the arm%s.\nArm%s stopped.\n", stopSignalName(),
                        n == 1 ? "" : "s", n == 1 ? "" : "s");
            *exit_status = kExitInterruptedBase + stopSignal();
            return {};
        }
        const std::exception_ptr failure = failures[failed];
        const std::string which = n == 1 ? "the arm" : "the arm on " + starts[failed].can;
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s could not be started: %s\n", program, which.c_str(), e.what());
        } catch (...) {
            std::fprintf(stderr, "%s: %s could not be started\n", program, which.c_str());
        }
        *exit_status = kExitArmStart;
        return {};
    }
    std::printf("Homed in %.2f s.\n", std::chrono::duration<double>(Clock::now() - homing_start).count());
    return arms;
}

SessionEnd runSession(double duration_s, const std::function<bool()>& step,
                      const std::function<void(double seconds)>& progress, const char* stopping) {
    constexpr auto kProgressEvery = 5s;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(duration_s));
    auto next_progress = start + kProgressEvery;
    while (!stopRequested()) {
        std::this_thread::sleep_for(20ms);
        const auto now = Clock::now();
        if (duration_s > 0 && now >= end) return SessionEnd::kDuration;
        if (!step()) return SessionEnd::kStep;
        if (now >= next_progress) {
            progress(std::chrono::duration<double>(now - start).count());
            next_progress += kProgressEvery;
        }
    }
    std::printf("\n%s: %s.\n", stopSignalName(), stopping);
    return SessionEnd::kStopSignal;
}

}  // namespace qel::tools
