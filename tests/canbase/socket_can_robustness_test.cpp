// The adapter where descriptors run high: the receive thread must wait on a
// socket numbered beyond what select can take.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "qel/canbase/SocketCan.hpp"
#include "support/CanRecorder.hpp"
#include "support/CapturedOutput.hpp"

namespace qel::hw_interface {
namespace {

using namespace std::chrono_literals;

using test::eventually;

// Occupies every descriptor below `above` for its lifetime, so the next
// socket gets a number at or above it.
class DescriptorFill {
public:
    explicit DescriptorFill(int above) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        if (limit.rlim_cur < static_cast<rlim_t>(above) + 64 && limit.rlim_max >= static_cast<rlim_t>(above) + 64) {
            limit.rlim_cur = static_cast<rlim_t>(above) + 64;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        for (int fd = open("/dev/null", O_RDONLY); fd >= 0 && fd < above; fd = open("/dev/null", O_RDONLY)) {
            fds_.push_back(fd);
        }
        if (!fds_.empty() && fds_.back() >= above) {
            close(fds_.back());  // the one at `above` is for the socket
            fds_.pop_back();
        }
    }
    ~DescriptorFill() {
        for (int fd : fds_) close(fd);
    }
    bool filled(int above) const { return !fds_.empty() && fds_.back() >= above - 1; }

private:
    std::vector<int> fds_;
};

TEST(SocketCanRobustness, ReceivesOnADescriptorAbove1024) {
    test::CanRecorder peer(test::kTestBus);
    DescriptorFill fill(1100);
    if (!fill.filled(1100)) GTEST_SKIP() << "the descriptor limit is too low here";
    std::atomic<int> received{0};
    {
        SocketCan adapter;
        adapter.setCallBackFunction([&](CanFrame* frame) {
            if (frame->can_id == 0x123) ++received;
        });
        qel::test::CaptureStdout();
        ASSERT_TRUE(adapter.Init(test::kTestBus));
        for (uint8_t i = 0; i < 20; ++i) peer.send(test::makeFrame(0x123, {i}));
        EXPECT_TRUE(eventually([&] { return received == 20; }, 3s)) << received;
        adapter.setCallBackFunction(nullptr);
    }
    const std::string out = qel::test::GetCapturedStdout();
    EXPECT_NE(out.find("Created CAN socket with descriptor 1"), std::string::npos) << out.substr(0, 200);
    // A spin would have re-created the socket over and over.
    std::size_t created = 0;
    for (std::size_t at = out.find("Created CAN socket"); at != std::string::npos;
         at = out.find("Created CAN socket", at + 1)) {
        ++created;
    }
    EXPECT_EQ(created, 1u);
}

}  // namespace
}  // namespace qel::hw_interface
