// The control cycle and the bus receive path allocate and free nothing, in
// any control state, with a reachable and an unreachable pose command (whose
// solves the pose search rejects), with a motor offline, and while every kind
// of motion runs, stops and ends, with every cycle recorded to a file (the
// recorder's own thread allocates as it writes and is not counted; the cycle
// only hands it a record): counted per thread by interposing malloc, free and
// their relatives, which also catches Eigen's and KDL's allocations. A host
// thread waits for each cycle's measurements meanwhile, so the cycle's
// wake-up of a waiter is in the count. The pose search's own thread is not
// counted: the solver allocates a few times per iteration, which is why it is
// not in the cycle. Nor are the host threads, where motions are planned and
// their plans freed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qel/controller/ControllerThread.hpp"
#include "qel/solver/Exercise.hpp"
#include "support/ArmOnBus.hpp"
#include "support/ArmStates.hpp"
#include "support/ThreadAllocations.hpp"

namespace qel::m4 {
namespace {

using namespace test::states;

using namespace std::chrono_literals;
using test::eventually;

constexpr const char* kControlThread = "qel-control";
constexpr const char* kReceiveThread = "qel-can-receive";

struct Phase {
    const char* name;
    int state;
    std::vector<double> command;  // pose for END_CONTROL, joint targets for POSITION_CONTROL
};

// Far outside the arm's reach, though inside the workspace box the command
// is clamped to: every cycle's pose has no solution.
const std::vector<double> kUnreachable{0.53, 0.53, 0.53, 0.0, 0.0, 0.0};

// Allocations and frees of the control and receive threads over a window.
struct Counts {
    long control_allocations = test::allocationsOfThreadsNamed(kControlThread);
    long control_frees = test::freesOfThreadsNamed(kControlThread);
    long receive_allocations = test::allocationsOfThreadsNamed(kReceiveThread);
    long receive_frees = test::freesOfThreadsNamed(kReceiveThread);

    void expectNoneSince(const char* what) const {
        const Counts now;
        EXPECT_EQ(now.control_allocations - control_allocations, 0) << what << ", control thread allocations";
        EXPECT_EQ(now.control_frees - control_frees, 0) << what << ", control thread frees";
        EXPECT_EQ(now.receive_allocations - receive_allocations, 0) << what << ", receive thread allocations";
        EXPECT_EQ(now.receive_frees - receive_frees, 0) << what << ", receive thread frees";
    }
};

class CountedController : public ControllerThread {
public:
    using ControllerThread::ControllerThread;

    // Waits until `n` more cycles have run.
    bool runCycles(uint64_t n) {
        const uint64_t until = cycleCount() + n;
        return eventually([&] { return cycleCount() >= until; }, 30s);
    }
};

// Every kind of motion, taken over, sampled, stopped and ended by the control
// thread; planned (and the plans freed) on this one.
void expectMotionsAllocateNothing(CountedController& arm) {
    arm.setArmStatus(kPositionControl);
    ASSERT_TRUE(arm.moveJ({0.0, 0.5, 0.5, 0.0, 0.0, 0.0}, 2.0, 8.0));
    Eigen::Isometry3d line_goal = arm.getEndPose();
    line_goal.translation().z() += 0.03;
    std::vector<TrajectoryPoint> trajectory(2);
    trajectory[0].positions = {0.1, 0.6, 0.5, 0.0, 0.1, 0.0, 1.0};
    trajectory[0].time_from_start = 0.2;
    trajectory[1].positions = {0.0, 0.5, 0.5, 0.0, 0.0, 0.0, 0.0};
    trajectory[1].time_from_start = 0.4;
    struct Motion {
        const char* name;
        std::function<void()> start;  // on this thread, before the window
        std::function<void()> during;  // on this thread, within it
    };
    const Motion motions[] = {
        {"moveJ to its end", [&] { ASSERT_TRUE(arm.moveJ({0.2, 0.6, 0.6, 0.1, 0.1, 0.1, 1.5}, 2.0, 8.0, true)); }, {}},
        {"moveJ stopped", [&] { ASSERT_TRUE(arm.moveJ({0.0, 0.5, 0.5, 0.0, 0.0, 0.0}, 1.0, 8.0, true)); },
         [&] {
             ASSERT_TRUE(arm.runCycles(20));
             arm.stopMotion(10.0);
         }},
        {"moveL", [&] { ASSERT_TRUE(arm.moveL(line_goal, 0.2, 2.0, true)); }, {}},
        {"trajectory replacing a move",
         [&] { ASSERT_TRUE(arm.moveJ({0.2, 0.6, 0.6, 0.0, 0.0, 0.0}, 2.0, 8.0, true)); },
         [&] {
             ASSERT_TRUE(arm.runCycles(10));
             ASSERT_TRUE(arm.followJointTrajectory(trajectory, true));
         }},
        {"servo stream", {},
         [&] {
             for (int k = 0; k < 40; ++k) {
                 ASSERT_TRUE(arm.servoJ({0.05 * std::sin(k * 0.1), 0.5, 0.5, 0.0, 0.0, 0.0, 0.5}, 0.01));
                 ASSERT_TRUE(arm.runCycles(1));
             }
         }},
        {"aborted by a state change", [&] { ASSERT_TRUE(arm.moveJ({0.2, 0.6, 0.6, 0.0, 0.0, 0.0}, 1.0, 4.0, true)); },
         [&] {
             ASSERT_TRUE(arm.runCycles(10));
             arm.setArmStatus(kPositionControl);
         }},
    };
    for (const Motion& motion : motions) {
        SCOPED_TRACE(motion.name);
        if (motion.start) motion.start();
        const Counts before;
        if (motion.during) motion.during();
        ASSERT_TRUE(arm.runCycles(80));  // to the end of the motion and beyond
        before.expectNoneSince(motion.name);
        arm.waitMotion(5.0);
    }
    EXPECT_FALSE(arm.faultLatched());

}

TEST(CycleAllocations, NoStateAndNoMotionAllocatesOnTheControlOrReceiveThread) {
    if (!test::countingAvailable()) {
        GTEST_SKIP() << "the sanitizer runtime interposes malloc itself; counting is off";
    }
    test::ArmOnBus bus;
    char dir[] = "/tmp/qel-cycle-allocation.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string recording = std::string(dir) + "/cycles.h5";
    auto build = [&] {
        auto arm = std::make_unique<CountedController>(QEL_TEST_URDF, test::kTestBus, 0);
        arm->startRecording(recording);
        arm->setFaultDumpFolder(dir);
        return arm;
    };
    auto arm = build();

    const Eigen::Isometry3d home = arm->getEndPose();
    std::vector<double> reachable(6);
    solve::Isometry2Xyzrpy(home, reachable.data());
    reachable[2] += 0.03;
    std::vector<double> unreachable = kUnreachable;
    for (int i = 3; i < 6; ++i) unreachable[i] = reachable[i];

    const Phase phases[] = {
        {"soft", kSoft, {}},
        {"go home", kGoHome, {}},
        {"protect", kProtect, {}},
        {"gravity compensation", kGravityCompensation, {}},
        {"position control", kPositionControl, {0.2, 0.3, 0.2, 0.1, 0.1, 0.1}},
        {"pose control, reachable", kEndControl, reachable},
        {"pose control, unreachable", kEndControl, unreachable},
        {"pose control, back in reach", kEndControl, reachable},
        {"state out of range", 17, {}},
    };
    // A host waits for every cycle all along, so that each cycle's wake-up
    // of a waiter is counted too.
    std::atomic<bool> waiting{true};
    std::atomic<uint64_t> woken{0};
    std::thread waiter([&] {
        uint64_t last = 0;
        while (waiting) {
            const uint64_t cycle = arm->waitJointSample(last, 0.1).cycle;
            if (cycle > last) ++woken;
            last = cycle;
        }
    });
    // Twice through, from the change of state on: the first time into each
    // state (the first pose solution ever among them) allocates no more than
    // the second.
    for (int pass = 0; pass < 2; ++pass) {
        for (const Phase& phase : phases) {
            SCOPED_TRACE(phase.name);
            const Counts before;
            if (phase.state == kPositionControl) arm->setJointPositions(phase.command);
            if (phase.state == kEndControl) {
                arm->setEndPose(solve::Xyzrpy2Isometry(phase.command.data()));
            }
            arm->setArmStatus(phase.state);
            // Long enough for several whole searches of the unreachable pose.
            ASSERT_TRUE(arm->runCycles(65));
            before.expectNoneSince(phase.name);
        }
    }
    waiting = false;
    waiter.join();
    EXPECT_GT(woken.load(), 100u) << "the waiter followed the cycles";
    EXPECT_FALSE(arm->faultLatched());

    // A machine stalled past a motor's answer age (a loaded host) has the
    // controller hold the arm damped for good; the motions need one that has
    // not lost a motor.
    for (int code : arm->getErrorCode()) {
        if (code == 2 || (code > 10 && code < 70 && code % 10 == 2)) {
            arm.reset();
            arm = build();
            break;
        }
    }
    expectMotionsAllocateNothing(*arm);

    // An arm motor going silent: protect and the offline report every cycle.
    bus.arm().silenceMotor(6);
    ASSERT_TRUE(eventually([&] { return !arm->getErrorCode().empty(); }, 10s));
    ASSERT_TRUE(arm->runCycles(5));
    const Counts before;
    ASSERT_TRUE(arm->runCycles(40));
    before.expectNoneSince("offline");

    const RecordingStatus status = arm->stopRecording();
    EXPECT_TRUE(status.error.empty()) << status.error;
    EXPECT_GT(status.written, 400u) << "the motions and the offline phase were recorded";
    std::system((std::string("rm -rf '") + dir + "'").c_str());
}

}  // namespace
}  // namespace qel::m4
