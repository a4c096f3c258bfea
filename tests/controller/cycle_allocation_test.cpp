// The control cycle and the bus receive path allocate nothing, in any control
// state, with a reachable and an unreachable pose command (whose solves the
// pose search rejects) and with a motor offline, while every cycle is
// recorded to a file (the recorder's own thread allocates as it writes and is
// not counted; the cycle only hands it a record): counted per thread by
// interposing malloc and its relatives, which also catches Eigen's and KDL's
// allocations. The pose search's own thread is not counted: the solver
// allocates a few times per iteration, which is why it is not in the cycle.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
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

class CountedController : public ControllerThread {
public:
    using ControllerThread::ControllerThread;

    // Waits until `n` more cycles have run.
    bool runCycles(uint64_t n) {
        const uint64_t until = cycleCount() + n;
        return eventually([&] { return cycleCount() >= until; }, 30s);
    }
};

TEST(CycleAllocations, NoStateAllocatesOnTheControlOrReceiveThread) {
    if (!test::countingAvailable()) {
        GTEST_SKIP() << "the sanitizer runtime interposes malloc itself; counting is off";
    }
    test::ArmOnBus bus;
    CountedController arm(QEL_TEST_URDF, test::kTestBus, 0);
    char dir[] = "/tmp/qel-cycle-allocation.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string recording = std::string(dir) + "/cycles.h5";
    arm.startRecording(recording);
    arm.setFaultDumpFolder(dir);

    const Eigen::Isometry3d home = arm.getEndPose();
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
    // A first pass warms up what is sized once for the controller's life (the
    // first pose solution has no storage before it exists).
    for (int pass = 0; pass < 2; ++pass) {
        for (const Phase& phase : phases) {
            SCOPED_TRACE(phase.name);
            if (phase.state == kPositionControl) arm.setJointPositions(phase.command);
            if (phase.state == kEndControl) {
                arm.setEndPose(solve::Xyzrpy2Isometry(phase.command.data()));
            }
            arm.setArmStatus(phase.state);
            ASSERT_TRUE(arm.runCycles(5));
            const long control = test::allocationsOfThreadsNamed(kControlThread);
            const long receive = test::allocationsOfThreadsNamed(kReceiveThread);
            // Long enough for several whole searches of the unreachable pose.
            ASSERT_TRUE(arm.runCycles(60));
            if (pass == 0) continue;
            EXPECT_EQ(test::allocationsOfThreadsNamed(kControlThread) - control, 0) << "control thread";
            EXPECT_EQ(test::allocationsOfThreadsNamed(kReceiveThread) - receive, 0) << "receive thread";
        }
    }
    EXPECT_FALSE(arm.faultLatched());

    // An arm motor going silent: protect and the offline report every cycle.
    bus.arm().silenceMotor(6);
    ASSERT_TRUE(eventually([&] { return !arm.getErrorCode().empty(); }, 10s));
    ASSERT_TRUE(arm.runCycles(5));
    const long control = test::allocationsOfThreadsNamed(kControlThread);
    const long receive = test::allocationsOfThreadsNamed(kReceiveThread);
    ASSERT_TRUE(arm.runCycles(40));
    EXPECT_EQ(test::allocationsOfThreadsNamed(kControlThread) - control, 0) << "offline, control thread";
    EXPECT_EQ(test::allocationsOfThreadsNamed(kReceiveThread) - receive, 0) << "offline, receive thread";

    const RecordingStatus status = arm.stopRecording();
    EXPECT_TRUE(status.error.empty()) << status.error;
    EXPECT_GT(status.written, 1000u) << "every phase was recorded";
    std::system((std::string("rm -rf '") + dir + "'").c_str());
}

}  // namespace
}  // namespace qel::m4
