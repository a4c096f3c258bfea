#pragma once

// Two virtual arms, one on each test bus, each driven by its own controller
// in this one process, with what tells their frames apart in a send trace:
// the controller's socket (learnt from the thread that built it, which sends
// start-up's frames) and the arm's simulation thread (which writes its
// feedback). Header-only so that only the executables that use it link the
// simulator.

#include <sys/types.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "sim/VirtualArm.hpp"
#include "support/CanRecorder.hpp"
#include "support/SendTrace.hpp"

namespace qel::test {

// `Controller` is ControllerThread or InterfacesThread.
template <typename Controller>
struct BusStation {
    std::string bus;
    int variant = 0;
    std::unique_ptr<sim::VirtualArm> arm;
    std::unique_ptr<Controller> controller;
    std::atomic<pid_t> arm_thread{0};  // the arm's simulation thread
    pid_t builder = 0;                 // the thread that built the controller
    int fd = -1;                       // the controller's CAN socket

    // The controller's control thread: frames on its socket from any thread
    // but the builder; 0 if there is none in `events`.
    pid_t controlThread(const std::vector<SentEvent>& events) const {
        for (const SentEvent& e : events) {
            if (e.kind == SentEvent::kFrame && e.fd == fd && e.thread != builder) return e.thread;
        }
        return 0;
    }
};

// Starts a virtual arm on each test bus (vcan0, vcan1) and builds both
// controllers at once, each on a thread of its own, with the robot
// description at `urdf` and each station's variant. `trace` must be
// recording from before the call. Throws what a controller throws.
template <typename Controller>
void startStations(BusStation<Controller> (&stations)[2], const SendTrace& trace, const std::string& urdf) {
    const char* buses[2] = {kTestBus, kSecondTestBus};
    std::future<void> built[2];
    for (int i = 0; i < 2; ++i) {
        BusStation<Controller>& s = stations[i];
        s.bus = buses[i];
        sim::VirtualArmOptions options;
        options.interface = s.bus;
        options.on_frame = [&s](const hw_interface::CanFrame&) {
            if (s.arm_thread == 0) s.arm_thread = SendTrace::currentThread();
        };
        s.arm = std::make_unique<sim::VirtualArm>(options);
        s.arm->start();
        built[i] = std::async(std::launch::async, [&s, urdf] {
            s.builder = SendTrace::currentThread();
            s.controller = std::make_unique<Controller>(urdf, s.bus, s.variant);
        });
    }
    for (auto& b : built) b.get();
    for (const SentEvent& e : trace.events()) {
        for (BusStation<Controller>& s : stations) {
            if (e.kind == SentEvent::kFrame && e.thread == s.builder) s.fd = e.fd;
        }
    }
}

}  // namespace qel::test
