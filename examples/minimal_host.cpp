// The smallest useful host: home the arm, switch to joint position control,
// move joint 2 and read it back. Ctrl-C (or SIGTERM) at any moment damps the
// arm and ends the program cleanly: during start-up it cancels the homing,
// afterwards it damps the arm at once and leaves the loop, and leaving the
// scope stops the control thread with the arm damped.
//
//   minimal_host <robot description> <CAN interface>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <thread>

#include "qel/interfaces/InterfacesThread.hpp"

namespace {

// What the signal handler may touch: lock-free atomics only.
std::atomic<qel::m4::InterfacesThread*> g_arm{nullptr};
qel::m4::StartupCancel* g_startup = nullptr;
volatile std::sig_atomic_t g_stop = 0;
static_assert(std::atomic<qel::m4::InterfacesThread*>::is_always_lock_free);

void onSignal(int) {
    g_stop = 1;
    if (qel::m4::InterfacesThread* arm = g_arm.load()) {
        arm->dampNow();
    } else if (g_startup != nullptr) {
        g_startup->cancel();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <robot description> <CAN interface>\n", argv[0]);
        return 2;
    }
    qel::m4::ControllerOptions options;
    options.cancel = std::make_shared<qel::m4::StartupCancel>();
    g_startup = options.cancel.get();
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    std::unique_ptr<qel::m4::InterfacesThread> arm;
    try {
        arm = std::make_unique<qel::m4::InterfacesThread>(argv[1], argv[2], 0, options);  // homes: a few seconds
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return g_stop ? 130 : 1;
    }
    g_arm = arm.get();

    // A state set after a damping request would resume from it: set none once
    // a stop was asked for, and damp again for one that came meanwhile.
    constexpr int kPositionControl = 5;
    if (!g_stop) arm->setArmStatus(kPositionControl);
    if (g_stop) arm->dampNow();
    arm->setJointPositions({0.0, 0.5, 0.0, 0.0, 0.0, 0.0});

    for (int i = 0; i < 300 && !g_stop; ++i) {  // up to 3 s
        if (std::fabs(arm->getJointPositons()[1] - 0.5) < 0.01) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double joint2 = arm->getJointPositons()[1];
    if (arm->faultLatched()) std::fprintf(stderr, "stopped: %s\n", arm->latchedFaultMessage().c_str());
    std::printf("joint 2 is at %.3f rad\n", joint2);

    g_arm = nullptr;  // the handler must not reach an arm being destroyed
    arm.reset();      // stops the control thread and damps the motors
    if (g_stop) return 130;
    return std::fabs(joint2 - 0.5) < 0.02 ? 0 : 1;
}
