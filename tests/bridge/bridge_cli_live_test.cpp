// qel-ros2-bridge on a live bus next to the virtual arm: a ROS 2 peer reads
// and commands it, and stopping it damps the arm. The bridge is a child
// process, so this runs on the kernel's vcan only.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "Ros2Peer.hpp"
#include "apps/ToolRun.hpp"
#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "support/ArmOnBus.hpp"
#include "support/CanRecorder.hpp"

namespace qel::test {
namespace {

using namespace std::chrono_literals;

const std::string kBridge = QEL_ROS2_BRIDGE_PATH;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The newest command frame to `motor` that the recorder saw.
hw_interface::HybridJointCmd lastCommandTo(const CanRecorder& wire, uint32_t motor) {
    const auto frames = wire.framesWithId(motor);
    return frames.empty() ? hw_interface::HybridJointCmd{}
                          : hw_interface::unpackImpedanceFrame(frames.back().frame, 10.0);
}

TEST(BridgeCliLive, ServesAPeerAndDampsTheArmWhenStopped) {
    useLoopbackDds();
    ArmOnBus bus;
    CanRecorder wire(kTestBus);
    ToolRun bridge(kBridge, {"--can", kTestBus, "--namespace", "cli", "--rate", "200"});
    ASSERT_TRUE(bridge.waitForOutput("serving /cli/joint_states at 200 Hz", 60s)) << bridge.out() << bridge.err();
    Ros2Peer peer;
    ASSERT_TRUE(peer.ready());
    const std::vector<PeerState> states = peer.states("cli", 21);
    ASSERT_EQ(states.size(), 21u);
    for (std::size_t i = 1; i < states.size(); ++i) EXPECT_GT(states[i].stamp_ns, states[i - 1].stamp_ns);
    // 200 a second: every control cycle run is accounted for, published or
    // (by a bridge that looked too late) skipped.
    PublicationCount first, last;
    ASSERT_TRUE(peer.publicationWindow("cli", &first, &last)) << "no diagnostics with the counts";
    EXPECT_EQ(last.published - first.published + last.skipped - first.skipped + last.failed - first.failed,
              last.cycle - first.cycle);
    EXPECT_GT(last.published, first.published);
    ASSERT_EQ(peer.run("int cli arm_state 5"), "ok");
    ASSERT_TRUE(eventually([&] { return lastCommandTo(wire, 2).k_p > 100; }, 20s)) << "joint 2 held stiffly";

    bridge.signal(SIGTERM);
    EXPECT_EQ(bridge.wait(), 0) << bridge.err();
    EXPECT_TRUE(contains(bridge.out(), "qel-ros2-bridge: stopped")) << bridge.out();
    // The last word to every arm motor is damping: no stiffness, some damping.
    for (const uint32_t motor : {1u, 2u, 4u, 5u, 6u, 7u}) {
        const auto command = lastCommandTo(wire, motor);
        EXPECT_EQ(command.k_p, 0.0) << "motor " << motor;
        EXPECT_GT(command.k_d, 0.0) << "motor " << motor;
    }
}

}  // namespace
}  // namespace qel::test
