#include "apps/ArmSession.hpp"

#include "apps/CommandLine.hpp"

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <thread>

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
    catchStopSignals();
    std::printf("Connecting to the arm on %s and homing it (takes a few seconds)...\n", start.can.c_str());
    m4::ControllerOptions options;
    options.cancel = std::make_shared<m4::StartupCancel>();
    std::unique_ptr<m4::InterfacesThread> arm;
    std::exception_ptr failure;
    std::atomic<bool> constructed{false};
    std::thread builder;
    {
        StopSignalsBlocked blocked;  // the library's threads start from the builder
        const std::string urdf = start.urdf.empty() ? defaultUrdf() : start.urdf;
        builder = std::thread([&, urdf] {
            try {
                arm = std::make_unique<m4::InterfacesThread>(urdf, start.can, start.type, options);
            } catch (...) {
                failure = std::current_exception();
            }
            constructed = true;
        });
    }
    const auto homing_start = Clock::now();
    bool announced = false;
    while (!constructed) {
        std::this_thread::sleep_for(100ms);
        if (stopRequested() && !announced) {
            // Homing is abandoned at once: construction damps the arm and
            // throws, which is reported below as an interruption.
            std::printf("Stop requested: homing cancelled, the arm is being damped.\n");
            options.cancel->cancel();
            announced = true;
        }
        const auto elapsed = Clock::now() - homing_start;
        if (elapsed / 500ms != (elapsed - 100ms) / 500ms) {
            std::printf("  homing... %.1f s\n", std::chrono::duration<double>(elapsed).count());
        }
        std::fflush(stdout);
    }
    builder.join();
    if (failure && stopRequested()) {
        // The cancelled start-up has damped the arm and closed the bus.
        std::printf("\nInterrupted by %s: stopping the arm.\nArm stopped.\n", stopSignalName());
        *exit_status = kExitInterruptedBase + stopSignal();
        return nullptr;
    }
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: the arm could not be started: %s\n", program, e.what());
        } catch (...) {
            std::fprintf(stderr, "%s: the arm could not be started\n", program);
        }
        *exit_status = kExitArmStart;
        return nullptr;
    }
    std::printf("Homed in %.2f s.\n", std::chrono::duration<double>(Clock::now() - homing_start).count());
    return arm;
}

}  // namespace qel::tools
