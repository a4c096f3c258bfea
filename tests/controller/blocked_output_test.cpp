// The control loop never waits for the process's output: with standard error
// a pipe that nobody reads, the arm is built and then commanded every cycle,
// one frame per motor, for a thousand cycles by the sender's own record;
// dampNow still damps; and when the pipe's reader goes away the process does
// not die of SIGPIPE.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "qel/controller/ControllerThread.hpp"
#include "qel/output/Output.hpp"
#include "support/ArmOnBus.hpp"
#include "support/ArmStates.hpp"
#include "support/SendTrace.hpp"

namespace qel::m4 {
namespace {

using namespace std::chrono_literals;
using namespace test::states;
using test::SendTrace;
using test::SentEvent;

constexpr uint32_t kMotorIds[7] = {1, 2, 4, 5, 6, 7, 8};
constexpr double kProtectKd[6] = {1.0, 5.0, 5.0, 2.0, 1.0, 1.0};
constexpr double kKdTol = 5.0 / 4095 + 1e-9;
constexpr double kKpTol = 500.0 / 4095 + 1e-9;

// Standard error replaced by a pipe filled to the last byte, whose reader
// never reads; released by closing the reader, so the library's next write
// to it fails (EPIPE, and SIGPIPE to the writing thread).
class FullStandardError {
public:
    FullStandardError() {
        output::flush();
        saved_ = dup(2);
        if (pipe(fds_) != 0) return;
        fcntl(fds_[1], F_SETFL, O_NONBLOCK);
        const std::string filler(4096, '.');
        while (::write(fds_[1], filler.data(), filler.size()) > 0) {
        }
        fcntl(fds_[1], F_SETFL, 0);
        dup2(fds_[1], 2);
    }
    void closeReader() {
        if (fds_[0] == -1) return;
        close(fds_[0]);
        fds_[0] = -1;
    }
    ~FullStandardError() {
        closeReader();
        output::flush();
        dup2(saved_, 2);
        close(saved_);
        close(fds_[1]);
    }

private:
    int saved_ = -1;
    int fds_[2] = {-1, -1};
};

// The control thread's frames, one vector per cycle (a cycle begins with
// joint 1's frame), from the trace's events after index `from`.
std::vector<std::vector<SentEvent>> controlCycles(const std::vector<SentEvent>& events, pid_t control,
                                                  std::size_t from = 0) {
    std::vector<std::vector<SentEvent>> cycles;
    for (std::size_t i = from; i < events.size(); ++i) {
        const SentEvent& e = events[i];
        if (e.thread != control || e.kind != SentEvent::kFrame) continue;
        if (e.frame.can_id == kMotorIds[0]) cycles.emplace_back();
        if (!cycles.empty()) cycles.back().push_back(e);
    }
    return cycles;
}

bool isDamping(const std::vector<SentEvent>& cycle) {
    if (cycle.size() != 7) return false;
    for (std::size_t i = 0; i < 7; ++i) {
        const double torque_limit = i < 3 ? 28.0 : 10.0;
        const hw_interface::HybridJointCmd c = hw_interface::unpackImpedanceFrame(cycle[i].frame, torque_limit);
        const double kd = i < 6 ? kProtectKd[i] : 0.0;
        if (std::abs(c.k_p) > kKpTol || std::abs(c.k_d - kd) > kKdTol) return false;
    }
    return true;
}

TEST(BlockedOutput, AFullStandardErrorNeitherStopsTheLoopNorItsDamping) {
    test::ArmOnBus bus;
    FullStandardError stuck;
    // Start-up writes to standard error too (the parser's warning, "Init
    // completed"): it must not wait for the pipe either.
    auto arm = std::make_unique<ControllerThread>(QEL_TEST_URDF, test::kTestBus, 0);
    arm->setJointPositions({0, 0.2, 0.2, 0, 0, 0});
    arm->setArmStatus(kPositionControl);

    std::vector<SentEvent> events;
    {
        SendTrace trace;
        const uint64_t from = arm->cycleCount();
        // Cycles from + 1 to from + 1002 begin and end inside the trace.
        ASSERT_TRUE(test::eventually([&] { return arm->cycleCount() >= from + 1003; }, 120s));
        trace.stop();
        events = trace.events();
    }
    pid_t control = 0;
    for (const SentEvent& e : events) {
        if (e.kind == SentEvent::kFrame && e.frame.can_id == kMotorIds[0]) control = e.thread;
    }
    ASSERT_NE(control, 0);
    // Whole cycles only: the first and last may be cut by the trace.
    std::vector<std::vector<SentEvent>> cycles = controlCycles(events, control);
    ASSERT_GE(cycles.size(), 1002u);
    cycles.erase(cycles.begin());
    cycles.pop_back();
    int incomplete = 0;
    for (const auto& cycle : cycles) {
        bool whole = cycle.size() == 7;
        for (std::size_t i = 0; whole && i < 7; ++i) whole = cycle[i].frame.can_id == kMotorIds[i] && cycle[i].written;
        if (!whole) ++incomplete;
    }
    EXPECT_EQ(incomplete, 0) << "every cycle commands each of the seven motors once, accepted by the socket";
    std::vector<SentEvent> control_events;
    for (const SentEvent& e : events) {
        if (e.thread == control) control_events.push_back(e);
    }
    EXPECT_EQ(test::pacingViolations(control_events, 5000000), "") << "one cycle every 5 ms";

    // A damping request still damps, from the cycle after it on.
    {
        SendTrace trace;
        SendTrace::mark(1);
        arm->dampNow();
        const uint64_t from = arm->cycleCount();
        ASSERT_TRUE(test::eventually([&] { return arm->cycleCount() >= from + 12; }, 30s));
        trace.stop();
        events = trace.events();
    }
    const auto after = controlCycles(events, control);
    ASSERT_GE(after.size(), 10u);
    // The cycle under way may finish as it was; every later one damps.
    for (std::size_t i = 2; i < after.size() - 1; ++i) EXPECT_TRUE(isDamping(after[i])) << "cycle " << i;
    EXPECT_TRUE(arm->faultLatched());

    // The pipe's reader goes: the library's writes fail instead of killing
    // the process, and the arm is stopped (damped) as usual.
    stuck.closeReader();
    output::flush();
    arm.reset();
}

}  // namespace
}  // namespace qel::m4
