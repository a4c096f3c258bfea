#pragma once

// The virtual arm on the test bus, for tests that drive it through the
// controller. Header-only so that only tests that use it
// link the simulator.

#include "sim/VirtualArm.hpp"
#include "support/CanRecorder.hpp"

namespace qel::test {

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
