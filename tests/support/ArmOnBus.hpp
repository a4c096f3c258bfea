#pragma once

// The virtual arm on the test bus, and small waiting helpers for tests that
// drive it through the controller. Header-only so that only tests that use it
// link the simulator.

#include <chrono>
#include <functional>
#include <thread>

#include "sim/VirtualArm.hpp"
#include "support/CanRecorder.hpp"

namespace qel::test {

// Polls `condition` every 10 ms until it holds or `timeout` passes.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A virtual arm started on the test bus for the lifetime of the object.
class ArmOnBus {
public:
    explicit ArmOnBus(sim::VirtualArmOptions options = {}) : arm_(withBus(std::move(options))) {
        arm_.start();
    }
    sim::VirtualArm& arm() { return arm_; }

private:
    static sim::VirtualArmOptions withBus(sim::VirtualArmOptions options) {
        options.interface = kTestBus;
        return options;
    }
    sim::VirtualArm arm_;
};

}  // namespace qel::test
