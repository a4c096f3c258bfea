// The adapter's receive thread: that destruction ends it, how silence is
// counted, and that the frame callback runs under the data lock. Runs on the
// kernel's vcan and on the in-process bus.
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "qel/canbase/SocketCan.hpp"
#include "support/CanRecorder.hpp"
#include "support/CapturedOutput.hpp"

// The waits and closes of this process, as they were made: a definition of
// poll and close here overrides the C library's for the adapter's library
// too. Recording is lock-free and bounded; it tells how many empty waits the
// receive thread made before it gave its socket up, whatever the time.
namespace qel::test {
struct SocketCall {
    enum Kind { kPoll, kClose, kRead };
    Kind kind;
    int fd;       // kPoll: the first descriptor waited on
    int timeout;  // kPoll: ms
    int ready;    // kPoll: what poll returned; kRead: what read returned
    short revents;
};
std::atomic<bool> g_recording_calls{false};
std::atomic<int> g_recorders_in_flight{0};
std::array<SocketCall, 1 << 16> g_calls;
std::atomic<std::size_t> g_call_count{0};

// Every thread that polls or closes comes here (the test's own recorder
// threads too), so a call may be on its way while recording is switched off:
// it counts itself in flight before it looks at the switch.
void recordCall(const SocketCall& call) {
    g_recorders_in_flight.fetch_add(1);
    if (g_recording_calls) {
        const std::size_t at = g_call_count.fetch_add(1);
        if (at < g_calls.size()) g_calls[at] = call;
    }
    g_recorders_in_flight.fetch_sub(1);
}

// Reads on one descriptor can be made to fail with ENETDOWN, as after the
// interface went down and up again: the read of the frame whose first data
// byte is `first_byte` drops it; or, with `first_byte` -1, every read fails
// and leaves its frame in the socket, so that the error persists.
std::atomic<int> g_failing_fd{-1};
std::atomic<int> g_failing_byte{-1};
std::atomic<bool> g_failing_fd_closed{false};

void failReads(int fd, int first_byte) {
    g_failing_byte = first_byte;
    g_failing_fd_closed = false;
    g_failing_fd = fd;
}

void startRecordingCalls() {
    g_call_count = 0;
    g_recording_calls = true;
}

// After this, the record is complete and no thread writes to it any more.
std::size_t stopRecordingCalls() {
    g_recording_calls = false;
    while (g_recorders_in_flight.load() != 0) std::this_thread::yield();
    return std::min(g_call_count.load(), g_calls.size());
}
}  // namespace qel::test

extern "C" {
int poll(struct pollfd* fds, nfds_t count, int timeout) {
    using Poll = int (*)(struct pollfd*, nfds_t, int);
    static const Poll real = reinterpret_cast<Poll>(dlsym(RTLD_NEXT, "poll"));
    const int ready = real(fds, count, timeout);
    if (count > 0) qel::test::recordCall({qel::test::SocketCall::kPoll, fds[0].fd, timeout, ready, fds[0].revents});
    return ready;
}
ssize_t read(int fd, void* buffer, size_t count) {
    using Read = ssize_t (*)(int, void*, size_t);
    static const Read real = reinterpret_cast<Read>(dlsym(RTLD_NEXT, "read"));
    if (fd != qel::test::g_failing_fd.load()) return real(fd, buffer, count);
    const int byte = qel::test::g_failing_byte.load();
    ssize_t got = -1;
    if (byte >= 0) {
        got = real(fd, buffer, count);
        if (got == 16 && static_cast<const unsigned char*>(buffer)[8] == byte) got = -1;
    }
    qel::test::recordCall({qel::test::SocketCall::kRead, fd, 0, static_cast<int>(got), 0});
    if (got < 0) errno = ENETDOWN;
    return got;
}
int close(int fd) {
    using Close = int (*)(int);
    static const Close real = reinterpret_cast<Close>(dlsym(RTLD_NEXT, "close"));
    qel::test::recordCall({qel::test::SocketCall::kClose, fd, 0, 0, 0});
    if (fd == qel::test::g_failing_fd.load()) qel::test::g_failing_fd_closed = true;
    return real(fd);
}
}  // extern "C"

namespace qel::hw_interface {
namespace {

using namespace std::chrono_literals;
using test::CanRecorder;
using test::kSecondTestBus;
using test::kTestBus;
using test::makeFrame;

using test::eventually;

// Threads of this process, as the kernel lists them.
int threadCount() {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    int n = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++n;
    }
    closedir(dir);
    return n;
}

// What a frame callback saw, kept outside the adapter so that it can be read
// after the adapter is gone.
struct CallbackLog {
    std::atomic<int> calls{0};
    std::atomic<bool> adapter_destroyed{false};
    std::atomic<int> calls_after_destruction{0};
    // When the latest callback began, on the steady clock (ns).
    std::atomic<int64_t> last_call_ns{0};

    void attach(SocketCan& can) {
        can.setCallBackFunction([this](CanFrame*) {
            last_call_ns = nowNs();
            ++calls;
            if (adapter_destroyed) ++calls_after_destruction;
        });
    }
    static int64_t nowNs() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};

// Destroys an open adapter with its callback still registered, and checks
// that its receive thread is gone and never calls back again.
void expectDestructionEndsTheThread(const char* bus, bool remove_interface_first) {
    CanRecorder peer(bus);
    CallbackLog log;
    qel::test::CaptureStdout();
    {
        // Anything the process starts once, on the first adapter, exists
        // before counting.
        SocketCan warm_up;
        warm_up.Init(bus);
    }
    qel::test::GetCapturedStdout();
    std::this_thread::sleep_for(50ms);
    const int before = threadCount();
    {
        SocketCan can;
        log.attach(can);
        qel::test::CaptureStdout();
        ASSERT_TRUE(can.Init(bus));
        EXPECT_TRUE(eventually([&] { return threadCount() > before; }, 2s)) << "the receive thread runs";
        EXPECT_TRUE(eventually([&] {
            peer.send(makeFrame(0, {0x11}));
            return log.calls > 0;
        }, 3s));
        if (remove_interface_first) {
            // The receive thread keeps retrying without a socket.
            ASSERT_EQ(std::system((std::string("ip link del dev ") + bus).c_str()), 0);
            EXPECT_TRUE(eventually([&] { return !can.checkOnline() && !can.IsOpen(); }, 8s));
        }
    }
    log.adapter_destroyed = true;
    qel::test::GetCapturedStdout();
    EXPECT_TRUE(eventually([&] { return threadCount() == before; }, 2s))
        << "a receive thread outlived its adapter: " << threadCount() << " threads, " << before
        << " before";
    if (remove_interface_first) {
        ASSERT_EQ(std::system((std::string("ip link add dev ") + bus + " type vcan && ip link set up " + bus)
                                  .c_str()),
                  0);
        return;
    }
    for (int i = 0; i < 5; ++i) peer.send(makeFrame(0, {0x12}));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(log.calls_after_destruction, 0);
}

TEST(SocketCanThread, DestructionEndsTheReceiveThread) {
    expectDestructionEndsTheThread(kTestBus, false);
}

// Only the kernel's interfaces can be removed under the adapter.
TEST(SocketCanThread, DestructionEndsTheThreadWhileTheInterfaceIsGone) {
    struct stat info {};
    if (stat((std::string("/sys/class/net/") + kSecondTestBus).c_str(), &info) != 0) {
        GTEST_SKIP() << "no kernel interface " << kSecondTestBus;
    }
    expectDestructionEndsTheThread(kSecondTestBus, true);
}

// The adapter waits one second at a time. A frame every 1.3 s leaves one
// silent wait between frames, never two in a row; the verdict is the
// adapter's own, read after each gap. Two silent waits take two seconds from
// the last frame handed over, however slowly the adapter's thread runs, so a
// verdict read sooner than that must be "online"; one read later (a stalled
// test thread) decides nothing.
TEST(SocketCanThread, OneSilentWaitIsNotOfflineTwoAre) {
    CanRecorder peer(kTestBus);
    CallbackLog log;
    SocketCan can;
    log.attach(can);
    qel::test::CaptureStdout();
    ASSERT_TRUE(can.Init(kTestBus));
    int conclusive = 0;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(peer.send(makeFrame(0, {0x21, static_cast<uint8_t>(i)})));
        ASSERT_TRUE(eventually([&] { return log.calls > i; }, 10s));
        std::this_thread::sleep_for(1300ms);
        const int64_t silent_ns = CallbackLog::nowNs() - log.last_call_ns;
        const bool online = can.checkOnline();
        if (silent_ns < 1950000000) {
            ++conclusive;
            EXPECT_TRUE(online) << "after gap " << i << " of " << silent_ns / 1000000 << " ms";
        }
    }
    EXPECT_GT(conclusive, 0) << "every gap ran two seconds or longer";
    test::startRecordingCalls();
    ASSERT_TRUE(peer.send(makeFrame(0, {0x22})));
    EXPECT_TRUE(can.checkOnline());

    // Now two full silent waits, and more.
    EXPECT_TRUE(eventually([&] { return !can.checkOnline(); }, 10s));
    // The socket is replaced once the bus is offline.
    EXPECT_TRUE(eventually([&] { return can.IsOpen(); }, 10s));
    const std::size_t calls = test::stopRecordingCalls();
    can.setCallBackFunction(nullptr);
    const std::string out = qel::test::GetCapturedStdout();

    // The receive thread's own record: after the wait that found the last
    // frame, exactly two empty one-second waits on that socket, then it is
    // closed.
    const std::string opened = "Created CAN socket with descriptor ";
    const std::size_t at = out.find(opened);
    ASSERT_NE(at, std::string::npos) << out;
    const int fd = std::atoi(out.c_str() + at + opened.size());
    std::size_t last_frame = calls;
    std::size_t closed = calls;
    for (std::size_t i = 0; i < calls; ++i) {
        const test::SocketCall& call = test::g_calls[i];
        if (call.fd != fd) continue;
        if (call.kind == test::SocketCall::kPoll && call.ready > 0 && (call.revents & POLLIN) != 0) last_frame = i;
        if (call.kind == test::SocketCall::kClose) {
            closed = i;
            break;
        }
    }
    ASSERT_LT(last_frame, calls) << "the wait that found the last frame";
    ASSERT_LT(closed, calls) << "the socket was not closed";
    int empty_waits = 0;
    for (std::size_t i = last_frame + 1; i < closed; ++i) {
        const test::SocketCall& call = test::g_calls[i];
        if (call.kind != test::SocketCall::kPoll || call.fd != fd) continue;
        EXPECT_EQ(call.ready, 0) << "wait " << i;
        EXPECT_EQ(call.timeout, 1000) << "wait " << i;
        ++empty_waits;
    }
    EXPECT_EQ(empty_waits, 2);
}

// The descriptor of the adapter's socket, from its start-up line.
int descriptorIn(const std::string& out) {
    const std::string opened = "Created CAN socket with descriptor ";
    const std::size_t at = out.rfind(opened);
    return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + opened.size());
}

// A read that fails drops its frame and the receive thread goes on waiting
// in the same pass: the next frame is handed over at once, and the bus stays
// online. Read off the thread's own record of its waits and reads.
TEST(SocketCanThread, AFailedReadDropsItsFrameAndTheNextOneArrivesInTheSamePass) {
    CanRecorder peer(kTestBus);
    std::atomic<int> first_byte_seen[256] = {};
    SocketCan can;
    can.setCallBackFunction([&](CanFrame* frame) { ++first_byte_seen[frame->data[0]]; });
    qel::test::CaptureStdout();
    ASSERT_TRUE(can.Init(kTestBus));
    const int fd = descriptorIn(qel::test::GetCapturedStdout());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(eventually([&] {
        peer.send(makeFrame(0, {0x40}));
        return first_byte_seen[0x40] > 0;
    }, 5s));

    test::startRecordingCalls();
    test::failReads(fd, 0x41);
    ASSERT_TRUE(peer.send(makeFrame(0, {0x41})));
    ASSERT_TRUE(peer.send(makeFrame(0, {0x42})));
    EXPECT_TRUE(eventually([&] { return first_byte_seen[0x42] > 0; }, 5s));
    const std::size_t calls = test::stopRecordingCalls();
    test::failReads(-1, -1);
    can.setCallBackFunction(nullptr);
    EXPECT_EQ(first_byte_seen[0x41].load(), 0) << "the frame of the failed read is dropped";
    EXPECT_TRUE(can.checkOnline());

    std::size_t failed = calls;
    for (std::size_t i = 0; i < calls && failed == calls; ++i) {
        const test::SocketCall& call = test::g_calls[i];
        if (call.kind == test::SocketCall::kRead && call.fd == fd && call.ready < 0) failed = i;
    }
    ASSERT_LT(failed, calls) << "no read failed";
    // The next wait continues the pass (less than a whole second left) and
    // finds the next frame at once.
    std::size_t next = failed + 1;
    while (next < calls && !(test::g_calls[next].kind == test::SocketCall::kPoll && test::g_calls[next].fd == fd)) {
        ++next;
    }
    ASSERT_LT(next, calls);
    EXPECT_GT(test::g_calls[next].ready, 0);
    EXPECT_NE(test::g_calls[next].revents & POLLIN, 0);
    EXPECT_LT(test::g_calls[next].timeout, 1000) << "a new pass after a failed read";
    EXPECT_GT(test::g_calls[next].timeout, 0);
}

// A read that keeps failing (the frame stays, the error with it) is retried
// a few milliseconds apart, not in a spin, and two such passes without a
// frame handed over are the offline verdict: the socket is replaced, and
// frames arrive again once reads work.
TEST(SocketCanThread, AReadThatKeepsFailingIsPacedAndEndsInTheOfflineVerdict) {
    CanRecorder peer(kTestBus);
    std::atomic<int> frames{0};
    SocketCan can;
    can.setCallBackFunction([&](CanFrame*) { ++frames; });
    qel::test::CaptureStdout();
    ASSERT_TRUE(can.Init(kTestBus));
    const int fd = descriptorIn(qel::test::GetCapturedStdout());
    ASSERT_GE(fd, 0);
    test::startRecordingCalls();
    test::failReads(fd, -1);
    ASSERT_TRUE(peer.send(makeFrame(0, {0x51})));
    EXPECT_TRUE(eventually([&] { return !can.checkOnline(); }, 15s));
    EXPECT_TRUE(eventually([&] { return test::g_failing_fd_closed.load(); }, 10s)) << "the socket is replaced";
    const std::size_t calls = test::stopRecordingCalls();
    test::failReads(-1, -1);
    std::size_t closed = calls;
    for (std::size_t i = 0; i < calls && closed == calls; ++i) {
        if (test::g_calls[i].kind == test::SocketCall::kClose && test::g_calls[i].fd == fd) closed = i;
    }
    ASSERT_LT(closed, calls);
    int failed_reads = 0;
    for (std::size_t i = 0; i < std::min(calls, closed); ++i) {
        const test::SocketCall& call = test::g_calls[i];
        if (call.kind == test::SocketCall::kRead && call.fd == fd && call.ready < 0) ++failed_reads;
    }
    // Two passes of a second with a few milliseconds between retries: a few
    // hundred at most, where a spin makes hundreds of thousands.
    EXPECT_GT(failed_reads, 1);
    EXPECT_LT(failed_reads, 1000);
    const int before = frames;
    EXPECT_TRUE(eventually([&] {
        peer.send(makeFrame(0, {0x52}));
        return frames > before;
    }, 10s)) << "frames arrive again on the new socket";
    can.setCallBackFunction(nullptr);
}

// The frame callback and the get-message-content callback hold the same
// lock, so they never run at the same time. Each marks itself busy for a
// while and checks that the other is not.
TEST(SocketCanThread, CallbacksNeverOverlap) {
    CanRecorder peer(kTestBus);
    // Declared before the adapter, whose callbacks use them until it is gone.
    std::atomic<bool> in_frame{false}, in_load{false};
    std::atomic<int> frames{0}, loads{0}, overlaps{0};
    SocketCan can;
    auto busy = [](std::chrono::microseconds how_long) {
        const auto until = std::chrono::steady_clock::now() + how_long;
        while (std::chrono::steady_clock::now() < until) {
        }
    };
    can.setCallBackFunction([&](CanFrame*) {
        in_frame = true;
        if (in_load) ++overlaps;
        busy(50us);
        if (in_load) ++overlaps;
        in_frame = false;
        ++frames;
    });
    can.setGetMsgContentFunction([&] {
        in_load = true;
        if (in_frame) ++overlaps;
        busy(200us);
        if (in_frame) ++overlaps;
        in_load = false;
        ++loads;
    });
    qel::test::CaptureStdout();
    ASSERT_TRUE(can.Init(kTestBus));

    std::atomic<bool> stop{false};
    std::thread sender([&] {
        for (uint8_t i = 0; !stop; ++i) {
            peer.send(makeFrame(0, {0x31, i}));
            std::this_thread::sleep_for(200us);
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while ((frames < 300 || loads < 300) && std::chrono::steady_clock::now() < deadline) {
        can.LoadMutexMsg();
    }
    stop = true;
    sender.join();
    can.setCallBackFunction(nullptr);
    can.setGetMsgContentFunction(nullptr);
    qel::test::GetCapturedStdout();
    EXPECT_GE(frames.load(), 300);
    EXPECT_GE(loads.load(), 300);
    EXPECT_EQ(overlaps.load(), 0);
}

}  // namespace
}  // namespace qel::hw_interface
