#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "qel/controller/ArmErrors.hpp"
#include "qel/controller/ControlLaw.hpp"
#include "qel/controller/ControllerThread.hpp"
#include "qel/controller/ErrorCodeList.hpp"

namespace qel::m4 {
namespace {

using hw_interface::HybridJointStatus;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(ControlLaw, ClampKeepsBoundsAndNeverPassesNonFiniteTargets) {
    EXPECT_EQ(control::limit(3.6, -0.1, 3.6), 3.6);
    EXPECT_EQ(control::limit(-0.1f, -0.1f, 3.6f), -0.1f);
    EXPECT_EQ(control::limit(4.0, -0.1, 3.6), 3.6);
    EXPECT_EQ(control::limit(-1.0, -0.1, 3.6), -0.1);

    EXPECT_EQ(control::clampTarget(kNaN, -0.1, 3.6, 1.25), 1.25);
    EXPECT_EQ(control::clampTarget(kInf, -0.1, 3.6, 1.25), 1.25);
    EXPECT_EQ(control::clampTarget(4.0, -0.1, 3.6, 1.25), 3.6);
}

struct OverCurrent : testing::Test {
    std::vector<HybridJointStatus> status = std::vector<HybridJointStatus>(7);
    std::vector<double> limits = std::vector<double>(7, 13.0);
    int counters[7] = {};

    bool check() { return control::currentsWithinLimit(status.data(), limits.data(), counters, 200); }
};

TEST_F(OverCurrent, TripsOnTheTwoHundredthConsecutiveCheckOnly) {
    status[4].current = -13.5;  // magnitude counts
    for (int n = 1; n < 200; ++n) ASSERT_TRUE(check()) << "check " << n;
    EXPECT_FALSE(check());
    EXPECT_FALSE(check()) << "stays tripped while the current stays high";

    // Exactly at the limit is within it and resets the count.
    status[4].current = 13.0;
    EXPECT_TRUE(check());
    EXPECT_EQ(counters[4], 0);
}

TEST_F(OverCurrent, OneCheckWithinTheLimitRestartsTheCount) {
    status[1].current = 14.0;
    for (int n = 0; n < 199; ++n) ASSERT_TRUE(check());
    status[1].current = 1.0;
    ASSERT_TRUE(check());
    status[1].current = 14.0;
    for (int n = 0; n < 199; ++n) ASSERT_TRUE(check());

    // The gripper is not watched.
    status[1].current = 0.0;
    status[6].current = 18.0;
    for (int n = 0; n < 300; ++n) ASSERT_TRUE(check());
}

control::GripperInput gripperAt(double target, double zero, double measured) {
    control::GripperInput in{};
    in.target = target;
    in.zero = zero;
    in.measured = measured;
    return in;
}

TEST(ControlLaw, GripperCommand) {
    // At its zero with a target of 0 the gripper keeps pressing towards the stop.
    control::GripperInput in = gripperAt(0.0, 1.7, 1.7);
    hw_interface::HybridJointCmd cmd = control::gripperCommand(in);
    EXPECT_NEAR(cmd.torque, -0.8, 1e-6);
    EXPECT_EQ(cmd.k_p, 0.0);
    EXPECT_EQ(cmd.k_d, 0.2);
    EXPECT_EQ(cmd.position, 0.0);
    EXPECT_EQ(cmd.velocity, 0.0);

    // A far target saturates.
    in.target = 3.0;
    EXPECT_EQ(control::gripperCommand(in).torque, 2.0);

    // Torque mode takes the host's current, clamped.
    in.torque_mode = true;
    in.torque = 5.0;
    EXPECT_EQ(control::gripperCommand(in).torque, 2.0);
    in.torque = -3.0;
    EXPECT_EQ(control::gripperCommand(in).torque, -2.0);
    in.torque = 0.75;
    EXPECT_EQ(control::gripperCommand(in).torque, 0.75);
    in.torque = 1e300;  // beyond float range; must not be narrowed unclamped
    EXPECT_EQ(control::gripperCommand(in).torque, 2.0);
    in.torque = kNaN;
    EXPECT_EQ(control::gripperCommand(in).torque, 0.0);

    // Fast action: the motor's own loop on the host target as given.
    in.fast = true;
    in.target = 2.5;
    in.torque = 5.0;
    cmd = control::gripperCommand(in);
    EXPECT_EQ(cmd.k_p, 5.0);
    EXPECT_EQ(cmd.k_d, 0.5);
    EXPECT_EQ(cmd.position, 2.5);
    EXPECT_EQ(cmd.torque, 0.0);
    EXPECT_EQ(cmd.velocity, 0.0);
    in.target = kNaN;
    EXPECT_EQ(control::gripperCommand(in).position, 1.7) << "a NaN target holds where it is";

    in = gripperAt(kNaN, 1.7, 1.7);
    EXPECT_EQ(control::gripperCommand(in).torque, 0.0);
}

TEST(ControlLaw, ReachableSearchFindsTheEdgeOfTheWorkspace) {
    const double from[6] = {0.1, 0.0, 0.2, 0.0, 0.0, 0.0};
    const double to[6] = {0.5, 0.0, 0.2, 0.0, 0.4, 0.0};
    int calls = 0;
    double edge[6];
    // Reachable up to x = 0.3: half way along the line.
    auto up_to_x = [&](double limit_x) {
        return [&calls, limit_x](double* probe) {
            ++calls;
            return probe[0] <= limit_x;
        };
    };
    ASSERT_TRUE(control::searchReachable(from, to, up_to_x(0.3), edge));
    EXPECT_EQ(calls, 10);
    EXPECT_NEAR(edge[0], 0.3, 0.4 / 1024 + 1e-12);
    EXPECT_LE(edge[0], 0.3);
    EXPECT_NEAR(edge[4], (edge[0] - 0.1), 1e-9) << "all coordinates move together";

    // Only a sliver near the start is reachable.
    calls = 0;
    ASSERT_TRUE(control::searchReachable(from, to, up_to_x(0.1 + 0.4 / 1000), edge));
    EXPECT_GT(edge[0], 0.1);
    EXPECT_LE(edge[0], 0.1 + 0.4 / 1000);

    // Nothing reachable: the edge stays at the start.
    calls = 0;
    EXPECT_FALSE(control::searchReachable(from, to, up_to_x(0.0), edge));
    EXPECT_EQ(calls, 10);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(edge[i], from[i]);
}

// A spin margin of the whole 5 ms period or more would leave the control
// thread spinning all the time: refused as bad input before anything starts
// (the bus named here does not exist, which only a construction that got past
// the options would find out).
TEST(ControllerOptions, SpinMarginsThatLeaveNoSleepAreRefusedBeforeAnythingStarts) {
    ControllerOptions options;
    for (long spin : {-1L, 5000000L, 6000000L}) {
        options.realtime.spin_ns = spin;
        EXPECT_THROW(checkOptions(options), std::invalid_argument) << spin;
        EXPECT_THROW(ControllerThread(QEL_TEST_URDF, "qelnone0", 0, options), std::invalid_argument) << spin;
    }
    for (long spin : {0L, 4999999L}) {
        options.realtime.spin_ns = spin;
        EXPECT_NO_THROW(checkOptions(options)) << spin;
        EXPECT_THROW(ControllerThread(QEL_TEST_URDF, "qelnone0", 0, options), BusOpenError) << spin;
    }
}

TEST(ErrorCodeList, KeepsOrderAndDuplicatesAndEmptiesOnRead) {
    ErrorCodeList list;
    for (int n = 0; n < 5; ++n) list.appendReport(control::offlineCode(3));
    list.appendReport(control::kCodeBusOffline);
    list.appendMotorFault(2, 10);
    list.appendOverCurrent();
    EXPECT_EQ(list.take(), (std::vector<int>{32, 32, 32, 32, 32, 2, 25, 1}));
    EXPECT_TRUE(list.take().empty());
}

// Motor faults stay pending, exactly and in the order they arose, until the
// resume after each consumes it: reading the codes does not (the control
// thread may not have raised them yet), unless the reader acknowledges them.
TEST(ErrorCodeList, KeepsEveryMotorFaultPendingUntilConsumed) {
    ErrorCodeList list;
    int motor = 0;
    int code = 0;
    EXPECT_FALSE(list.pendingMotorFault(&motor, &code));
    // Driver code 3 on motor 2 encodes as 18, which reads back as motor 1
    // code 13; the pending fault keeps the truth.
    list.appendMotorFault(2, 3);
    list.appendMotorFault(4, 9);
    list.appendMotorFault(2, 3);  // reported again: pending once
    EXPECT_EQ(list.take(), (std::vector<int>{18, 44, 18}));
    ASSERT_TRUE(list.pendingMotorFault(&motor, &code));
    EXPECT_EQ(motor, 2);
    EXPECT_EQ(code, 3);
    // Consuming another fault than the first leaves the first.
    list.consumePendingFault(4, 9);
    ASSERT_TRUE(list.pendingMotorFault(&motor, &code));
    EXPECT_EQ(motor, 2);
    list.appendMotorFault(4, 9);
    list.consumePendingFault(2, 3);
    ASSERT_TRUE(list.pendingMotorFault(&motor, &code));
    EXPECT_EQ(motor, 4);
    EXPECT_EQ(code, 9);
    list.consumePendingFault(4, 8);  // not pending: nothing changes
    ASSERT_TRUE(list.pendingMotorFault(&motor, &code));
    EXPECT_EQ(code, 9);
    // A reader that runs the cycle itself acknowledges them by reading.
    EXPECT_EQ(list.take(ErrorCodeList::PendingFaults::kForget), (std::vector<int>{44}));
    EXPECT_FALSE(list.pendingMotorFault(&motor, &code));
}

TEST(ErrorCodeList, BoundedWithoutLosingAFault) {
    ErrorCodeList list(200);
    list.appendMotorFault(2, 10);
    for (int n = 0; n < 1000; ++n) list.appendReport(control::offlineCode(4));
    EXPECT_EQ(list.size(), 200u);
    list.appendOverCurrent();  // evicts the oldest report
    list.appendMotorFault(5, 9);
    EXPECT_EQ(list.size(), 200u);
    std::vector<int> codes = list.take();
    ASSERT_EQ(codes.size(), 200u);
    EXPECT_EQ(codes.front(), 25);
    EXPECT_EQ(codes[codes.size() - 2], 1);
    EXPECT_EQ(codes.back(), 54);

    // Full of faults alone: repeats make room, every distinct fault survives.
    list.appendMotorFault(1, 6);
    for (int n = 0; n < 500; ++n) list.appendOverCurrent();
    list.appendMotorFault(7, 14);
    codes = list.take();
    EXPECT_EQ(codes.size(), 200u);
    EXPECT_EQ(codes.front(), 11);
    EXPECT_EQ(codes.back(), 79);
}

TEST(ErrorCodeList, FullListStillTakesEveryNewKind) {
    ErrorCodeList list(128);
    for (int n = 0; n < 500; ++n) list.appendReport(control::offlineCode(3));
    // Another motor going offline later, the bus, and the new fault kinds.
    list.appendReport(control::offlineCode(5));
    list.appendReport(control::offlineCode(5));
    list.appendReport(control::kCodeBusOffline);
    list.appendFault(control::kCodeOtherCommander);
    list.appendFault(control::kCodeControlThreadFault);
    list.appendFault(control::kCodeDampRequested);
    const std::vector<int> codes = list.take();
    ASSERT_EQ(codes.size(), 128u);
    EXPECT_EQ(codes.front(), 32);
    EXPECT_EQ(std::vector<int>(codes.end() - 5, codes.end()), (std::vector<int>{52, 2, 3, 4, 5}))
        << "one entry of each new code, none of the repeat";

    // A list full of distinct codes and repeats of one: only repeats go.
    for (int motor = 1; motor <= 7; ++motor) list.appendMotorFault(motor, 9);
    for (int n = 0; n < 300; ++n) list.appendOverCurrent();
    list.appendReport(control::offlineCode(1));
    const std::vector<int> kept = list.take();
    for (int motor = 1; motor <= 7; ++motor) {
        EXPECT_NE(std::find(kept.begin(), kept.end(), 10 * motor + 4), kept.end()) << motor;
    }
    EXPECT_EQ(kept.back(), 12);
}

TEST(ErrorCodeList, ResumingConsumesThePendingFaultButKeepsTheCodes) {
    ErrorCodeList list;
    int motor = 0;
    int code = 0;
    list.appendMotorFault(4, 9);
    list.consumePendingFault(4, 9);
    EXPECT_FALSE(list.pendingMotorFault(&motor, &code));
    // Still reported after the resume: pending again.
    list.appendMotorFault(4, 9);
    ASSERT_TRUE(list.pendingMotorFault(&motor, &code));
    EXPECT_EQ(motor, 4);
    EXPECT_EQ(code, 9);
    EXPECT_EQ(list.take(), (std::vector<int>{44, 44}));
}

TEST(ErrorCodeList, EachCycleSeesTheCodesItAppendedEvenWhenTheListDropsThem) {
    ErrorCodeList list(128);
    int codes[ErrorCodeList::kRecentCodes];
    list.appendReport(control::offlineCode(3));
    list.appendMotorFault(2, 10);
    list.appendOverCurrent();
    list.appendFault(control::kCodeDampRequested);
    EXPECT_EQ(list.takeAppended(codes, 16), 4u);
    EXPECT_EQ(std::vector<int>(codes, codes + 4), (std::vector<int>{32, 25, 1, 5}));
    EXPECT_EQ(list.takeAppended(codes, 16), 0u) << "a later cycle sees only its own";
    EXPECT_EQ(list.take().size(), 4u) << "the host's list is not the cycle's";

    // The host's list full of repeats drops a known report; the cycle still
    // sees it. More than kRecentCodes are counted, the first ones kept.
    for (int n = 0; n < 128; ++n) list.appendReport(control::offlineCode(3));
    list.takeAppended(codes, 16);
    for (int n = 0; n < 20; ++n) list.appendReport(n % 2 == 0 ? control::offlineCode(3) : control::kCodeBusOffline);
    EXPECT_EQ(list.size(), 128u);
    for (int& c : codes) c = 0;
    EXPECT_EQ(list.takeAppended(codes, 16), 20u);
    for (int n = 0; n < 16; ++n) EXPECT_EQ(codes[n], n % 2 == 0 ? 32 : 2) << n;
    // Less room than codes: only as many are written.
    list.appendReport(2);
    list.appendReport(42);
    codes[1] = -1;
    EXPECT_EQ(list.takeAppended(codes, 1), 2u);
    EXPECT_EQ(codes[0], 2);
    EXPECT_EQ(codes[1], -1);
}

TEST(ErrorCodeList, HostReadsWhileTheCycleAppends) {
    ErrorCodeList list;
    std::atomic<bool> done{false};
    std::thread cycle([&] {
        for (int n = 0; n < 20000; ++n) {
            list.appendReport(32);
            if (n % 1000 == 0) list.appendMotorFault(2, 10);
        }
        done = true;
    });
    std::size_t reports = 0;
    std::size_t faults = 0;
    bool finished = false;
    while (!finished) {
        finished = done.load();  // one more read after the cycle ended
        for (int code : list.take()) {
            if (code == 32) ++reports;
            else if (code == 25) ++faults;
            else ADD_FAILURE() << "unexpected code " << code;
        }
        std::this_thread::yield();
    }
    cycle.join();
    EXPECT_EQ(faults, 20u) << "faults are never lost, even when reports are";
    EXPECT_LE(reports, 20000u);
    EXPECT_GT(reports, 0u);
}

}  // namespace
}  // namespace qel::m4
