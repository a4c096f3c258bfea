#include <gtest/gtest.h>

#include <linux/can.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qel/canbase/SocketCan.hpp"
#include "support/CanRecorder.hpp"
#include "support/CapturedOutput.hpp"

namespace qel::hw_interface {
namespace {

using namespace std::chrono_literals;
using test::CanRecorder;
using test::hexBytes;
using test::kSecondTestBus;
using test::kTestBus;
using test::makeFrame;
using qel::test::CaptureStdout;
using qel::test::GetCapturedStdout;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

bool contains(const std::vector<std::string>& all, const std::string& line) {
    for (const auto& l : all) {
        if (l == line) return true;
    }
    return false;
}

// Collects what the adapter hands to its frame callback.
struct FrameSink {
    std::mutex mutex;
    std::vector<CanFrame> frames;

    void attach(SocketCan& can) {
        can.setCallBackFunction([this](CanFrame* frame) {
            std::lock_guard<std::mutex> guard(mutex);
            frames.push_back(*frame);
        });
    }
    size_t count() {
        std::lock_guard<std::mutex> guard(mutex);
        return frames.size();
    }
    bool waitFor(size_t n, std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (count() < n) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
};

TEST(SocketCan, OpensTransmitsAndReceivesOnARealBus) {
    CanRecorder peer(kTestBus);
    FrameSink sink;
    {
        SocketCan can;
        sink.attach(can);
        CaptureStdout();
        ASSERT_TRUE(can.Init(kTestBus));
        // The receive thread announces itself before it reads: once it has
        // handed over a frame, its line is out.
        peer.send(makeFrame(0, {0x17}));
        ASSERT_TRUE(sink.waitFor(1, 10s));
        auto opened = lines(GetCapturedStdout());
        ASSERT_GE(opened.size(), 4u);
        EXPECT_EQ(opened[0].rfind("Created CAN socket with descriptor ", 0), 0u) << opened[0];
        EXPECT_EQ(opened[1].rfind("Found: vcan0 has interface index ", 0), 0u) << opened[1];
        EXPECT_EQ(opened[2].rfind("Successfully bound socket to interface ", 0), 0u) << opened[2];
        EXPECT_EQ(opened[3], "ReciveThread running ");
        EXPECT_TRUE(can.IsOpen());
        EXPECT_TRUE(can.checkOnline());

        // Our frame reaches the peer byte for byte.
        CanFrame out = makeFrame(0x7, {0x8A, 0x3C, 0x7F, 0xF0, 0x28, 0x19, 0x97, 0xFF});
        ASSERT_TRUE(can.ExchangeData(&out));
        ASSERT_TRUE(peer.waitFor([](const CanFrame& f) { return f.can_id == 0x7; }, 1, 1s));
        CanFrame seen = peer.framesWithId(0x7).front().frame;
        EXPECT_EQ(0, memcmp(&seen, &out, sizeof out));

        // Peer frames reach the callback, every one, in order.
        for (uint8_t i = 0; i < 20; ++i) peer.send(makeFrame(0, {0x18, i, 0, 0, 0, 0, 0, 0}));
        ASSERT_TRUE(sink.waitFor(1 + 20, 10s));
        {
            std::lock_guard<std::mutex> guard(sink.mutex);
            for (uint8_t i = 0; i < 20; ++i) EXPECT_EQ(sink.frames[1 + i].data[1], i);
        }

        // The get-message-content callback runs on our thread, under the lock.
        int loads = 0;
        can.setGetMsgContentFunction([&loads] { ++loads; });
        can.LoadMutexMsg();
        can.setGetMsgContentFunction(nullptr);
        can.LoadMutexMsg();
        EXPECT_EQ(loads, 1);

        can.setCallBackFunction(nullptr);
        CaptureStdout();
    }
    auto closing = lines(GetCapturedStdout());
    ASSERT_GE(closing.size(), 8u);
    EXPECT_EQ(closing.front(), "Destroying SocketCAN adapter...");
    EXPECT_EQ(closing[1], "Waiting for receiver thread to terminate.");
    EXPECT_EQ(closing[2], "terminate_receiver_thread_ is true");
    EXPECT_TRUE(contains(closing, "ReciveThread finish "));
    const size_t n = closing.size();
    EXPECT_EQ(closing[n - 4], "receiver_thread_running_.load()");
    EXPECT_EQ(closing[n - 3], "return");
    EXPECT_EQ(closing[n - 2], "CAN socket destroyed.");
    EXPECT_EQ(closing[n - 1], "finish");
}

TEST(SocketCan, RefusesWhatItCannotOpenWithoutLeavingAThread) {
    CaptureStdout();
    {
        SocketCan can;
        CanFrame frame = makeFrame(1, {1, 2, 3, 4, 5, 6, 7, 8});
        EXPECT_FALSE(can.ExchangeData(&frame));
        EXPECT_FALSE(can.Init("nosuchcan9"));
        EXPECT_FALSE(can.IsOpen());
        // Longer than the kernel allows: refused before any socket is made.
        EXPECT_FALSE(can.Init(std::string(40, 'x').c_str()));
        EXPECT_FALSE(can.Init(""));
        can.Close();
        EXPECT_FALSE(can.ExchangeData(&frame));
    }
    auto out = lines(GetCapturedStdout());
    std::vector<std::string> expected_tail = {
        "Unable to select CAN interface nosuchcan9: I/O control error",
        "Waiting for receiver thread to terminate.",
        "terminate_receiver_thread_ is true",
        "receiver_thread_running_.load()",
        "return",
    };
    auto first = std::find(out.begin(), out.end(), expected_tail[0]);
    ASSERT_NE(first, out.end());
    for (size_t i = 0; i < expected_tail.size(); ++i) EXPECT_EQ(*(first + i), expected_tail[i]);
    EXPECT_EQ(out[0], "SocketCAN adapter created.");
    EXPECT_EQ(out[1], "Unable to transmit: Socket not open");
    EXPECT_TRUE(contains(out, "Error: CAN interface name xxxxxxxxxxxxxxx... is longer than 15 characters"));
    EXPECT_FALSE(contains(out, "ReciveThread running "));
    // Close with no socket does not print "return" a second time; destruction
    // of a closed adapter prints its two lines only.
    const size_t n = out.size();
    EXPECT_EQ(out[n - 2], "Destroying SocketCAN adapter...");
    EXPECT_EQ(out[n - 1], "finish");
    EXPECT_EQ(std::count(out.begin(), out.end(), "return"), 1);
}

TEST(SocketCan, SilenceMarksTheBusOfflineForGood) {
    CanRecorder peer(kTestBus);
    FrameSink sink;  // outlives the adapter that calls into it
    SocketCan can;
    sink.attach(can);
    ASSERT_TRUE(can.Init(kTestBus));

    // Traffic every 0.7 s never leaves two silent one-second waits in a row,
    // which take two seconds at the least however slow the machine: the
    // verdict counts where the longest silence the adapter can have seen
    // (from one frame's sending to the next one's arrival) stays below that.
    using Clock = std::chrono::steady_clock;
    Clock::duration longest_silence{};
    Clock::time_point last_sent{};
    for (int i = 0; i < 4; ++i) {
        const auto sent = Clock::now();
        peer.send(makeFrame(0, {0x11}));
        ASSERT_TRUE(sink.waitFor(static_cast<size_t>(i) + 1, 10s));
        if (i > 0) longest_silence = std::max(longest_silence, Clock::now() - last_sent);
        last_sent = sent;
        std::this_thread::sleep_until(sent + 700ms);
    }
    longest_silence = std::max(longest_silence, Clock::now() - last_sent);
    const bool online = can.checkOnline();
    if (longest_silence < 1950ms) {
        EXPECT_TRUE(online);
    }

    EXPECT_TRUE(test::eventually([&] { return !can.checkOnline(); }, 10s));

    // Delivery resumes on the re-created socket; the verdict does not.
    const size_t before = sink.count();
    auto deadline = std::chrono::steady_clock::now() + 4s;
    while (sink.count() == before && std::chrono::steady_clock::now() < deadline) {
        peer.send(makeFrame(0, {0x12}));
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_GT(sink.count(), before);
    EXPECT_FALSE(can.checkOnline());
    can.setCallBackFunction(nullptr);
}

int run(const std::string& command) { return std::system(command.c_str()); }

TEST(SocketCan, RebindsWhenTheInterfaceComesBack) {
    const std::string bus = kSecondTestBus;
    FrameSink sink;  // outlives the adapter that calls into it
    SocketCan can;
    sink.attach(can);
    ASSERT_TRUE(can.Init(bus.c_str()));

    ASSERT_EQ(run("ip link del dev " + bus), 0);
    std::this_thread::sleep_for(3500ms);  // silent, offline, retrying
    ASSERT_EQ(run("ip link add dev " + bus + " type vcan && ip link set up " + bus), 0);

    CanRecorder peer(bus);
    auto deadline = std::chrono::steady_clock::now() + 6s;
    while (sink.count() == 0 && std::chrono::steady_clock::now() < deadline) {
        peer.send(makeFrame(0, {0x13}));
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_GT(sink.count(), 0u);
    EXPECT_TRUE(can.IsOpen());
    can.setCallBackFunction(nullptr);
}

TEST(SocketCan, SurvivesARandomFlood) {
    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> mismatched{0};
    std::vector<CanFrame> sent;
    std::mutex sent_mutex;
    SocketCan can;
    // Random identifiers, lengths and payloads, extended and remote frames
    // included, as fast as the adapter takes them: the sender keeps at most
    // a window of frames in flight, so the kernel never has to drop one and
    // every frame must arrive, intact and in order.
    can.setCallBackFunction([&](CanFrame* frame) {
        std::lock_guard<std::mutex> guard(sent_mutex);
        const uint64_t n = received.load();
        if (n >= sent.size() || frame->can_id != sent[n].can_id || frame->can_dlc != sent[n].can_dlc ||
            hexBytes(*frame) != hexBytes(sent[n])) {
            ++mismatched;
        }
        received = n + 1;
    });
    ASSERT_TRUE(can.Init(kTestBus));
    CanRecorder peer(kTestBus);
    constexpr uint64_t kFrames = 3000;
    constexpr uint64_t kWindow = 32;
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    for (uint64_t n = 0; n < kFrames && std::chrono::steady_clock::now() < deadline;) {
        if (n - received.load() >= kWindow) {
            std::this_thread::yield();
            continue;
        }
        CanFrame frame{};
        const uint32_t kind = next() % 4;
        frame.can_id = kind == 0 ? (next() & CAN_EFF_MASK) | CAN_EFF_FLAG : next() & CAN_SFF_MASK;
        if (kind == 1) frame.can_id |= CAN_RTR_FLAG;
        frame.can_dlc = static_cast<uint8_t>(next() % 9);
        for (int i = 0; i < frame.can_dlc && kind != 1; ++i) frame.data[i] = static_cast<uint8_t>(next());
        {
            std::lock_guard<std::mutex> guard(sent_mutex);
            sent.push_back(frame);
        }
        if (!peer.send(frame)) {
            std::lock_guard<std::mutex> guard(sent_mutex);
            sent.pop_back();  // the peer's queue was full: not on the bus, try again
            std::this_thread::sleep_for(1ms);
            continue;
        }
        ++n;
    }
    ASSERT_TRUE(test::eventually([&] { return received.load() == kFrames; }, 10s))
        << received.load() << " of " << kFrames << " frames arrived";
    EXPECT_EQ(mismatched.load(), 0u);
    // Transmitting still works; the adapter may be between sockets if the
    // machine stalled for seconds, so it is given a few tries.
    CanFrame frame = makeFrame(3, {1});
    EXPECT_TRUE(test::eventually([&] { return can.ExchangeData(&frame); }, 5s));
    can.setCallBackFunction(nullptr);
}

}  // namespace
}  // namespace qel::hw_interface
