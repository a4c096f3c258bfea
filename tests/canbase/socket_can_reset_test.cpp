// Destroying the adapter while its receive thread is re-creating the socket:
// the socket it creates must not outlive the adapter. The test holds the
// re-creation in its interface-index query (this file replaces ioctl), so
// that the destruction starts exactly inside that gap.
#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <linux/sockios.h>
#include <stdarg.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "qel/canbase/SocketCan.hpp"
#include "support/CanRecorder.hpp"
#include "support/CapturedOutput.hpp"

namespace {

std::mutex gate_mutex;
std::condition_variable gate;
bool hold_queries = false;  // armed by the test
bool query_held = false;    // a query is waiting
bool release_query = false;

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (request == SIOCGIFINDEX) {
        std::unique_lock<std::mutex> lock(gate_mutex);
        if (hold_queries) {
            hold_queries = false;
            query_held = true;
            gate.notify_all();
            gate.wait(lock, [] { return release_query; });
        }
    }
    static auto real = reinterpret_cast<int (*)(int, unsigned long, void*)>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, argument);
}

namespace qel::hw_interface {
namespace {

using namespace std::chrono_literals;

std::size_t openDescriptors() {
    std::size_t count = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') ++count;
        }
        closedir(d);
    }
    return count;
}

TEST(SocketCanReset, DestructionDuringReCreationClosesTheNewSocket) {
    const std::size_t before = openDescriptors();
    qel::test::CaptureStdout();
    auto adapter = std::make_unique<SocketCan>();
    ASSERT_TRUE(adapter->Init(test::kSecondTestBus));  // a silent bus: reset after two seconds
    {
        std::lock_guard<std::mutex> lock(gate_mutex);
        hold_queries = true;
    }
    {
        std::unique_lock<std::mutex> lock(gate_mutex);
        ASSERT_TRUE(gate.wait_for(lock, 10s, [] { return query_held; })) << "no re-creation";
    }
    EXPECT_FALSE(adapter->IsOpen()) << "between closing the old socket and storing the new one";
    std::thread destroyer([&] { adapter.reset(); });
    // The destructor has looked at the socket (none) and waits for the
    // receive thread, which now finishes creating the new socket.
    std::this_thread::sleep_for(200ms);
    {
        std::lock_guard<std::mutex> lock(gate_mutex);
        release_query = true;
    }
    gate.notify_all();
    destroyer.join();
    qel::test::GetCapturedStdout();
    EXPECT_EQ(openDescriptors(), before) << "a socket outlived the adapter";
}

}  // namespace
}  // namespace qel::hw_interface
