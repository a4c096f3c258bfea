#include <gtest/gtest.h>

#include <chrono>

#include "qel/canbase/SocketCan.hpp"
#include "support/CanRecorder.hpp"
#include "support/InProcessCanBus.hpp"

namespace qel::test {
namespace {

using namespace std::chrono_literals;

bool hasId(const CanFrame& frame, uint32_t id) { return frame.can_id == id; }

TEST(InProcessCanBus, BehavesLikeVcanForTheAdapter) {
    ASSERT_TRUE(usingInProcessCanBus());
    CanRecorder a(kTestBus), b(kTestBus), other(kSecondTestBus);

    ASSERT_TRUE(a.send(makeFrame(0x11, {1, 2, 3})));
    ASSERT_TRUE(b.waitFor([](const CanFrame& f) { return hasId(f, 0x11); }, 1, 1s));
    EXPECT_EQ(hexBytes(b.frames().front().frame), "01 02 03");
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(a.frames().empty()) << "a socket does not receive its own frames";
    EXPECT_TRUE(other.frames().empty()) << "interfaces are separate buses";

    // The callback's counter outlives the adapter that calls it.
    std::atomic<int> seen{0};
    hw_interface::SocketCan adapter;
    EXPECT_FALSE(adapter.Init("can7"));
    ASSERT_TRUE(adapter.Init(kTestBus));
    adapter.setCallBackFunction([&seen](hw_interface::CanFrame*) { ++seen; });
    CanFrame out = makeFrame(0x22, {9});
    ASSERT_TRUE(adapter.ExchangeData(&out));
    EXPECT_TRUE(a.waitFor([](const CanFrame& f) { return hasId(f, 0x22); }, 1, 1s));
    a.send(makeFrame(0x33, {}));
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (seen == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(seen.load(), 1);
    adapter.setCallBackFunction(nullptr);
}

}  // namespace
}  // namespace qel::test
