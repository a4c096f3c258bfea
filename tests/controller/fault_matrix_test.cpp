// The controller driven through its faults on the bus with the virtual arm:
// for each fault the codes it records, what reaches the wire (damping within
// a cycle of the fault showing), recovery where the design allows it, and no
// crash, hang or leaked descriptor or thread. Frames are judged by content and
// order: the controller's command frames split into cycles at the frame for
// motor 1, and events (a fault in a motor's answer, a marker frame sent by the
// test) are placed in the same recorded stream.
#include <gtest/gtest.h>

#include <dirent.h>
#include <linux/can.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "qel/controller/ControllerThread.hpp"
#include "support/ArmOnBus.hpp"
#include "support/ArmStates.hpp"
#include "support/CanRecorder.hpp"
#include "support/CapturedOutput.hpp"

namespace qel::m4 {
namespace {

using namespace test::states;

using namespace std::chrono_literals;
using hw_interface::CanFrame;
using hw_interface::HybridJointCmd;
using test::RecordedFrame;

constexpr int kIds[7] = {1, 2, 4, 5, 6, 7, 8};
// Damping of the six arm joints while protected; the gripper goes limp.
constexpr double kProtectKd[6] = {1.0, 5.0, 5.0, 2.0, 1.0, 1.0};
constexpr double kTrackingKp = 150.0;  // joint 2 holding position
constexpr uint32_t kMarkerId = 0x7F0;
// Cycles the controller may still send active commands after the event that
// ends them (a fault in an answer, a damping request): the cycle under way,
// and the frames still queued for the receive thread. In the single-CPU test
// kernel beside busy loops that queue was seen 12 cycles deep (seven answers
// a cycle, each a few slow system calls, and two recorders on the same CPU).
// What is pinned is the order: once damping starts no active cycle follows.
constexpr std::size_t kLatencyCycles = 24;

constexpr double kKpTol = 500.0 / 4095 + 1e-9;
constexpr double kKdTol = 5.0 / 4095 + 1e-9;
constexpr double kPosTol = 25.0 / 65535 + 1e-9;
constexpr double kVelTol = 90.0 / 4095 + 1e-9;

double torqueLimitOf(uint32_t id) { return id <= 4 ? 28.0 : 10.0; }

int indexOf(uint32_t id) {
    for (int i = 0; i < 7; ++i) {
        if (kIds[i] == static_cast<int>(id)) return i;
    }
    return -1;
}

bool isMotorCommand(const CanFrame& f) {
    return f.can_dlc == 8 && indexOf(f.can_id) >= 0 && !hw_interface::isEnableFrame(f) &&
           !hw_interface::isDisableFrame(f);
}

bool near(double a, double b, double tol) { return std::fabs(a - b) <= tol; }

bool isDampingFrame(const CanFrame& f) {
    const int i = indexOf(f.can_id);
    const HybridJointCmd c = hw_interface::unpackImpedanceFrame(f, torqueLimitOf(f.can_id));
    const double torque_tol = 2 * torqueLimitOf(f.can_id) / 4095 + 1e-9;
    const double kd = i == 6 ? 0.0 : kProtectKd[i];
    return near(c.k_p, 0, kKpTol) && near(c.k_d, kd, kKdTol) && near(c.position, 0, kPosTol) &&
           near(c.velocity, 0, kVelTol) && near(c.torque, 0, torque_tol);
}

// The controller's command frames from `from` on, one vector per cycle; the
// first may be the tail of a cycle.
std::vector<std::vector<CanFrame>> cyclesFrom(const std::vector<RecordedFrame>& frames, std::size_t from) {
    std::vector<std::vector<CanFrame>> cycles;
    for (std::size_t n = from; n < frames.size(); ++n) {
        const CanFrame& f = frames[n].frame;
        if (!isMotorCommand(f)) continue;
        if (cycles.empty() || f.can_id == 1) cycles.emplace_back();
        cycles.back().push_back(f);
    }
    return cycles;
}

bool isDampingCycle(const std::vector<CanFrame>& cycle) {
    return std::all_of(cycle.begin(), cycle.end(), isDampingFrame);
}

std::size_t dampingCycles(const std::vector<std::vector<CanFrame>>& cycles) {
    return static_cast<std::size_t>(std::count_if(cycles.begin(), cycles.end(), isDampingCycle));
}

// After frame `from`: at most `active_allowed` cycles that are not damping,
// all before the first damping one, and at least `damping_needed` damping
// cycles after them.
void expectDampedWithin(const std::vector<RecordedFrame>& frames, std::size_t from, std::size_t active_allowed,
                        std::size_t damping_needed) {
    const auto cycles = cyclesFrom(frames, from);
    std::size_t first_damping = 0;
    while (first_damping < cycles.size() && !isDampingCycle(cycles[first_damping])) ++first_damping;
    EXPECT_LE(first_damping, active_allowed) << "cycles before the arm was damped";
    std::size_t damping = 0;
    for (std::size_t n = first_damping; n < cycles.size(); ++n) {
        EXPECT_TRUE(isDampingCycle(cycles[n])) << "cycle " << n << " after damping began is active";
        ++damping;
    }
    EXPECT_GE(damping, damping_needed);
}

std::size_t firstIndex(const std::vector<RecordedFrame>& frames, const std::function<bool(const CanFrame&)>& match,
                       std::size_t from = 0) {
    for (std::size_t n = from; n < frames.size(); ++n) {
        if (match(frames[n].frame)) return n;
    }
    return frames.size();
}

bool answerOf(const CanFrame& f, int id) { return f.can_id == 0 && (f.data[0] & 0xF) == id; }

std::size_t entriesOf(const char* dir) {
    std::size_t count = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') ++count;
        }
        closedir(d);
    }
    return count;
}
// Open descriptors (the directory's own descriptor counts in both readings).
std::size_t openDescriptors() { return entriesOf("/proc/self/fd"); }
std::size_t threads() { return entriesOf("/proc/self/task"); }

std::size_t heapInUse() { return mallinfo2().uordblks; }

bool contains(const std::vector<int>& codes, int code) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

void waitCycles(ControllerThread& c, uint64_t n) {
    const uint64_t target = c.cycleCount() + n;
    ASSERT_TRUE(test::eventually([&] { return c.cycleCount() >= target; }, 20s)) << "the control thread stalled";
}

bool waitLatched(ControllerThread& c, std::chrono::milliseconds timeout = 10s) {
    return test::eventually([&] { return c.faultLatched(); }, timeout);
}

// The descriptors and threads of the process before a controller exists; a
// controller must give all of them back when destroyed. The bus may close
// its end of a socket a little later than the library, hence the wait.
class ResourceCheck {
public:
    ResourceCheck() : fds_((primeBus(), openDescriptors())), threads_(threads()) {}
    void expectReleased() const {
        EXPECT_TRUE(test::eventually([&] { return openDescriptors() <= fds_; }, 3s))
            << openDescriptors() << " descriptors open, " << fds_ << " before";
        EXPECT_TRUE(test::eventually([&] { return threads() <= threads_; }, 3s))
            << threads() << " threads, " << threads_ << " before";
    }

private:
    // The in-process bus starts its hub (a thread and a pipe) with the first
    // CAN socket of the process and keeps it: that must not count.
    static void primeBus() {
        static const bool primed = [] {
            const int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
            if (fd >= 0) close(fd);
            std::this_thread::sleep_for(300ms);  // the hub's side of it closes too
            return true;
        }();
        (void)primed;
    }

    std::size_t fds_;
    std::size_t threads_;
};

// Arm, recorder, a second socket for markers and a foreign commander, and a
// controller built by start().
class Bench {
public:
    Bench() : recorder(test::kTestBus), peer(test::kTestBus) {}

    void start(const ControllerOptions& options = {}) {
        controller = std::make_unique<ControllerThread>(QEL_TEST_URDF, test::kTestBus, 0, options);
    }
    void holdPositionControl() {
        controller->setJointPositions({0, 0, 0, 0, 0, 0});
        controller->setArmStatus(kPositionControl);
        waitCycles(*controller, 3);
    }
    // Places a marker in the recorded stream and returns its index once seen.
    std::size_t mark() {
        static uint8_t sequence = 0;
        const CanFrame marker = test::makeFrame(kMarkerId, {++sequence});
        peer.send(marker);
        const auto is_marker = [&](const CanFrame& f) { return f.can_id == kMarkerId && f.data[0] == sequence; };
        recorder.waitFor(is_marker, 1, 2s);
        return firstIndex(recorder.frames(), is_marker);
    }
    // The frames recorded so far, once `enough` holds for them (or after a
    // generous time-out: the recorder may lag behind the controller).
    std::vector<RecordedFrame> framesOnce(const std::function<bool(const std::vector<RecordedFrame>&)>& enough) {
        std::vector<RecordedFrame> frames;
        test::eventually([&] { return enough(frames = recorder.frames()); }, 5s);
        return frames;
    }
    // expectDampedWithin once the damping cycles have been recorded.
    void expectDampedAfter(std::size_t from, std::size_t active_allowed, std::size_t damping_needed) {
        const auto frames = framesOnce([&](const std::vector<RecordedFrame>& f) {
            return dampingCycles(cyclesFrom(f, from)) >= damping_needed;
        });
        expectDampedWithin(frames, from, active_allowed, damping_needed);
    }
    // Whether an active cycle (joint 2 stiff) is recorded from now on; gives
    // the recorder two seconds to show one.
    bool activeCycleSeen() {
        recorder.clear();
        const auto active = [](const std::vector<RecordedFrame>& f) {
            for (const auto& cycle : cyclesFrom(f, 0)) {
                if (cycle.size() == 7 &&
                    near(hw_interface::unpackImpedanceFrame(cycle[1], 28.0).k_p, kTrackingKp, kKpTol)) {
                    return true;
                }
            }
            return false;
        };
        return test::eventually([&] { return active(recorder.frames()); }, 2s);
    }
    // Once the controller has read every frame the arm sent before the call,
    // then an answer of every motor sent after those, and a cycle has taken
    // them. Counting cycles would not tell: on a loaded machine the bus and
    // the controller's receiver can fall more than ten cycles behind the
    // control thread. The arm's frames reach the controller in the order
    // sent, so a gripper current the arm reports only from some point on
    // marks that point: the first mark falls behind everything sent before
    // the call, the second behind a whole cycle's answers sent after the
    // first (each cycle commands the gripper last). A gripper draws nothing
    // near ±11.5.
    bool drained() {
        bool seen = true;
        for (const double mark : {11.5, -11.5}) {
            bus.arm().setReportedCurrent(8, mark);
            seen = seen && test::eventually([&] { return near(controller->getJointCurrent()[6], mark, 0.01); }, 20s);
        }
        bus.arm().setReportedCurrent(8, std::nullopt);
        return seen;
    }
    // Resumes position control after the fault has been removed at the arm,
    // once motor `id` has answered without it and the controller has taken
    // those answers.
    // False, with a fresh controller in position control, if the old one
    // lost a motor on the way (see restartIfStalled).
    bool resume(int id, int expected_code = 0) {
        recorder.clear();
        EXPECT_TRUE(recorder.waitFor(
            [&](const CanFrame& f) { return answerOf(f, id) && (f.data[0] >> 4) <= 1; }, 3, 2s));
        EXPECT_TRUE(drained()) << "the controller stopped reading the bus";
        controller->setArmStatus(kPositionControl);
        waitCycles(*controller, 5);
        const bool unlatched = !controller->faultLatched();
        if (unlatched && activeCycleSeen()) return true;
        if (restartIfStalled(controller->getErrorCode(), expected_code)) return false;
        EXPECT_TRUE(unlatched) << controller->latchedFaultMessage();
        ADD_FAILURE() << "position control did not resume";
        return false;
    }

    // The offline rule is timed (no answer for 200 ms): where the machine
    // stalls the controller or the virtual arm for that long, a motor is
    // lost for good, which says nothing about the fault under test. Such a
    // controller is replaced and the case noted, not failed. True if `codes`
    // hold an offline code other than `expected_code` (motor 2's driver code
    // 7 encodes as 22 too).
    bool restartIfStalled(const std::vector<int>& codes, int expected_code = 0) {
        const bool lost = std::any_of(codes.begin(), codes.end(), [&](int c) {
            return c != expected_code && c > 10 && c < 70 && c % 10 == 2;
        });
        if (!lost) return false;
        std::printf("[ NOTE     ] a motor went offline (stalled machine); restarting the controller\n");
        ++restarts;
        controller.reset();
        start();
        holdPositionControl();
        controller->getErrorCode();
        return true;
    }
    int restarts = 0;

    test::CanRecorder recorder;
    test::CanRecorder peer;
    test::ArmOnBus bus;
    std::unique_ptr<ControllerThread> controller;
};

std::string captureStderrOf(const std::function<void()>& call) {
    qel::test::CaptureStderr();
    call();
    return qel::test::GetCapturedStderr();
}

TEST(FaultMatrix, StartUpFailsLoudlyAndLeavesNothingBehind) {
    test::CanRecorder recorder(test::kSecondTestBus);
    const ResourceCheck resources;
    // Each cause by its own type; the message says what the host can act on.
    const auto expectFailure = [](auto expected_type, const std::string& bus, const std::vector<std::string>& parts) {
        using Expected = decltype(expected_type);
        std::string message;
        const std::string err = captureStderrOf([&] {
            try {
                ControllerThread controller(QEL_TEST_URDF, bus, 0);
                ADD_FAILURE() << "started on " << bus;
            } catch (const Expected& e) {
                message = e.what();
            } catch (const std::exception& e) {
                ADD_FAILURE() << "another error type: " << e.what();
            }
        });
        for (const std::string& part : parts) EXPECT_NE(message.find(part), std::string::npos) << message;
        EXPECT_EQ(err.find("Init completed"), std::string::npos) << "no success is reported";
    };
    expectFailure(BusOpenError(""), "can9", {"'can9'", "no such interface"});
    expectFailure(BusOpenError(""), std::string(40, 'x'), {"longer than 15 characters"});
    // An interface without an arm: enabled, damped, then refused with every
    // silent motor named.
    expectFailure(NoMotorAnswerError(""), test::kSecondTestBus,
                  {"'vcan1'", "joint 1 (id 1)", "joint 3 (id 4)", "joint 6 (id 7)", "gripper (id 8)", "damped"});
    recorder.waitFor(isMotorCommand, 70, 2s);
    const auto frames = recorder.frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(hw_interface::isEnableFrame(frames.front().frame));
    expectDampedWithin(frames, firstIndex(frames, isMotorCommand), 0, 10);
    resources.expectReleased();
}

TEST(FaultMatrix, CancelledHomingDampsAndThrows) {
    Bench bench;
    const ResourceCheck resources;
    ControllerOptions options;
    options.cancel = std::make_shared<StartupCancel>();
    std::chrono::steady_clock::time_point cancelled_at;
    // Cancelled once homing is under way: the gripper is being driven to its
    // stop (velocity -5).
    std::thread canceller([&] {
        const auto calibrating = [](const CanFrame& f) {
            return f.can_id == 8 && isMotorCommand(f) &&
                   near(hw_interface::unpackImpedanceFrame(f, 10.0).velocity, -5.0, kVelTol);
        };
        bench.recorder.waitFor(calibrating, 20, 10s);
        cancelled_at = std::chrono::steady_clock::now();
        options.cancel->cancel();
    });
    std::string message;
    try {
        bench.start(options);
        ADD_FAILURE() << "start-up was not cancelled";
    } catch (const StartupCancelledError& e) {
        message = e.what();
    }
    const auto thrown_at = std::chrono::steady_clock::now();
    canceller.join();
    // Reported, not judged: how long a cancelled start-up takes to unwind.
    std::printf("[ MEASURED ] cancel to exception: %.0f ms\n",
                std::chrono::duration<double, std::milli>(thrown_at - cancelled_at).count());
    EXPECT_NE(message.find("cancelled"), std::string::npos) << message;
    EXPECT_TRUE(test::eventually(
        [&] {
            const auto cycles = cyclesFrom(bench.recorder.frames(), 0);
            return !cycles.empty() && cycles.back().size() == 7 && isDampingCycle(cycles.back());
        },
        2s))
        << "the last command the arm got is damping";
    bench.controller.reset();
    // The next start-up on the same bus works.
    bench.start();
    bench.controller.reset();
    resources.expectReleased();
}

// One controller through the faults it can recover from.
class RunningController : public testing::Test {
protected:
    static void SetUpTestSuite() {
        resources_ = new ResourceCheck();
        bench_ = new Bench();
        bench_->start();
    }
    static void TearDownTestSuite() {
        delete bench_;
        bench_ = nullptr;
        resources_->expectReleased();
        delete resources_;
    }
    void SetUp() override {
        ASSERT_TRUE(bench_->controller);
        bench_->holdPositionControl();
        if (!bench_->activeCycleSeen()) bench_->restartIfStalled(bench_->controller->getErrorCode());
        bench_->controller->getErrorCode();
        ASSERT_TRUE(bench_->activeCycleSeen());
    }
    static Bench* bench_;
    static ResourceCheck* resources_;
};
Bench* RunningController::bench_ = nullptr;
ResourceCheck* RunningController::resources_ = nullptr;

TEST_F(RunningController, EveryDriverFaultCodeLatchesDampsAndRecovers) {
    Bench& b = *bench_;
    // The controller may be replaced on the way (restartIfStalled).
    const auto ctl = [&b]() -> ControllerThread& { return *b.controller; };
    ASSERT_TRUE(b.activeCycleSeen());
    std::size_t heap_after_first = 0;
    for (const int motor : {2, 8}) {
        const int number = motor == 8 ? 7 : indexOf(motor) + 1;
        for (int code = 2; code <= 15; ++code) {
            SCOPED_TRACE("motor " + std::to_string(motor) + " code " + std::to_string(code));
            b.recorder.clear();
            b.bus.arm().setStatusCode(motor, code);
            ASSERT_TRUE(waitLatched(ctl()));
            const auto shows_fault = [&](const CanFrame& f) { return answerOf(f, motor) && (f.data[0] >> 4) == code; };
            const std::size_t fault_shown =
                firstIndex(b.framesOnce([&](const auto& f) { return firstIndex(f, shows_fault) < f.size(); }),
                           shows_fault);
            // The rest of the cycle the answer came in, the next one if the
            // answer came after that cycle's refresh, and one or two more
            // for the receive thread's latency; then only damping.
            b.expectDampedAfter(fault_shown, kLatencyCycles, 4);
            const int expected = 10 * number + code - 5;
            EXPECT_EQ(ctl().latchedFaultCode(), expected);
            EXPECT_EQ(ctl().latchedFaultMessage(), "电机故障，电机编号：" + std::to_string(number) +
                                                   "，故障类型：" + std::to_string(code));

            b.bus.arm().setStatusCode(motor, std::nullopt);
            // Resumed without reading the codes first; they stay until read.
            if (!b.resume(motor, expected)) continue;
            const std::vector<int> codes = b.controller->getErrorCode();
            EXPECT_TRUE(contains(codes, expected));
            if (b.restartIfStalled(codes, expected)) continue;
            for (int seen : codes) EXPECT_EQ(seen, expected) << "no other code was recorded";
            if (heap_after_first == 0) heap_after_first = heapInUse();
        }
    }
    EXPECT_LE(heapInUse(), heap_after_first + 256 * 1024) << "memory stays flat from fault to fault";

    // A motor that still reports its fault latches again at once.
    b.bus.arm().setStatusCode(2, 10);
    ASSERT_TRUE(waitLatched(ctl()));
    ctl().setArmStatus(kPositionControl);
    EXPECT_TRUE(waitLatched(ctl(), 2s));
    EXPECT_EQ(ctl().latchedFaultCode(), 25);
    b.bus.arm().setStatusCode(2, std::nullopt);
    b.resume(2);
}

TEST_F(RunningController, SustainedOverCurrentLatchesAndRecovers) {
    Bench& b = *bench_;
    // The controller may be replaced on the way (restartIfStalled).
    const auto ctl = [&b]() -> ControllerThread& { return *b.controller; };
    b.recorder.clear();
    b.bus.arm().setReportedCurrent(4, 14.0);  // joint 3, above the 13.0 limit
    ASSERT_TRUE(waitLatched(ctl()));
    const auto high = [](const CanFrame& f) {
        hw_interface::MotorFeedback fb;
        return answerOf(f, 4) && hw_interface::decodeFeedbackFrame(f, &fb) && fb.current > 13.0;
    };
    const auto frames = b.framesOnce([&](const std::vector<RecordedFrame>& f) {
        return dampingCycles(cyclesFrom(f, firstIndex(f, high))) >= 2;
    });
    const std::size_t first_high = firstIndex(frames, high);
    const auto cycles = cyclesFrom(frames, first_high);
    std::size_t active = 0;
    while (active < cycles.size() && !isDampingCycle(cycles[active])) ++active;
    // 200 consecutive checks, one per active cycle; a frame lost by the
    // recorder may merge two cycles.
    EXPECT_GE(active, 180u) << "the watch trips after 200 consecutive checks, not before";
    EXPECT_LE(active, 200u + kLatencyCycles) << "and not later";
    EXPECT_EQ(ctl().latchedFaultCode(), 1);
    EXPECT_EQ(ctl().latchedFaultMessage(), "关节力矩超限！");
    b.bus.arm().setReportedCurrent(4, std::nullopt);
    b.resume(4);
    EXPECT_EQ(ctl().getErrorCode(), std::vector<int>{1});
}

TEST_F(RunningController, AnotherCommanderIsRefusedAtStartAndLatchedWhileRunning) {
    Bench& b = *bench_;
    // The controller may be replaced on the way (restartIfStalled).
    const auto ctl = [&b]() -> ControllerThread& { return *b.controller; };
    // A second controller on the same bus refuses to start and sends nothing.
    b.recorder.clear();
    try {
        ControllerThread second(QEL_TEST_URDF, test::kTestBus, 0);
        ADD_FAILURE() << "a second controller started";
    } catch (const OtherCommanderError& e) {
        EXPECT_NE(std::string(e.what()).find("Another controller"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("does not start"), std::string::npos) << e.what();
    }
    for (const auto& r : b.recorder.frames()) EXPECT_FALSE(hw_interface::isEnableFrame(r.frame));
    EXPECT_FALSE(ctl().faultLatched()) << "the running controller heard nothing of it";

    // A few stray command frames (seven: fewer than a commander sends in any
    // 20 cycles) are no commander.
    for (int i = 0; i < 7; ++i) {
        b.peer.send(hw_interface::packImpedanceFrame(2, torqueLimitOf(2), {0, 0, 0, 0, kProtectKd[1]}));
    }
    waitCycles(ctl(), 45);
    EXPECT_FALSE(ctl().faultLatched()) << ctl().latchedFaultMessage();
    EXPECT_FALSE(contains(ctl().getErrorCode(), 3));

    // A commander appearing while this one runs.
    b.recorder.clear();
    for (int burst = 0; burst < 10; ++burst) {
        for (int i = 0; i < 7; ++i) {
            const double kd = i == 6 ? 0.0 : kProtectKd[i];
            b.peer.send(hw_interface::packImpedanceFrame(kIds[i], torqueLimitOf(kIds[i]), {0, 0, 0, 0, kd}));
        }
    }
    ASSERT_TRUE(waitLatched(ctl()));
    EXPECT_EQ(ctl().latchedFaultCode(), 3);
    EXPECT_NE(ctl().latchedFaultMessage().find("joint 2 (id 2)"), std::string::npos) << ctl().latchedFaultMessage();
    const std::size_t after = b.mark();
    b.expectDampedAfter(after, kLatencyCycles, 3);
    EXPECT_TRUE(contains(ctl().getErrorCode(), 3));
    waitCycles(ctl(), 25);  // a quiet window
    ctl().setArmStatus(kPositionControl);
    waitCycles(ctl(), 25);
    EXPECT_FALSE(ctl().faultLatched());
    EXPECT_TRUE(b.activeCycleSeen());
}

TEST_F(RunningController, DampNowHoldsTheArmDampedUntilTheHostSetsAState) {
    Bench& b = *bench_;
    // The controller may be replaced on the way (restartIfStalled).
    const auto ctl = [&b]() -> ControllerThread& { return *b.controller; };
    b.recorder.clear();
    ctl().dampNow();
    const std::size_t requested = b.mark();
    waitCycles(ctl(), 40);
    // The cycle under way when the request came may finish; every later one
    // damps.
    b.expectDampedAfter(requested, 1, 30);
    EXPECT_TRUE(ctl().faultLatched());
    EXPECT_EQ(ctl().latchedFaultCode(), 5);
    EXPECT_EQ(ctl().getErrorCode(), std::vector<int>{5});
    ctl().setArmStatus(kPositionControl);
    EXPECT_TRUE(b.activeCycleSeen());
    EXPECT_FALSE(ctl().faultLatched());
    EXPECT_EQ(ctl().latchedFaultCode(), 0);
    EXPECT_EQ(ctl().latchedFaultMessage(), "");

    // A request followed by a state before any cycle ran: the request is
    // acted on first (code 5, the arm damped), then the state resumes.
    const std::size_t requested_again = b.mark();
    ctl().dampNow();
    ctl().setArmStatus(kPositionControl);
    waitCycles(ctl(), 5);
    EXPECT_EQ(ctl().getErrorCode(), std::vector<int>{5});
    EXPECT_FALSE(ctl().faultLatched());
    const auto frames = b.framesOnce([&](const std::vector<RecordedFrame>& f) {
        return dampingCycles(cyclesFrom(f, requested_again)) >= 1;
    });
    EXPECT_GE(dampingCycles(cyclesFrom(frames, requested_again)), 1u) << "the arm was damped in between";
    EXPECT_TRUE(b.activeCycleSeen());
}

// While a fault holds the arm damped, the cycle still watches: a motor fault
// that comes and goes meanwhile is recorded and raised once the host resumes
// (the resume consumes only the fault the latch was for), and a bus that
// falls silent is recorded (code 2 and the offline motors) and reported
// every cycle.
TEST(FaultMatrix, LatchedMeansWatched) {
    Bench b;
    b.start();
    ControllerThread& ctl = *b.controller;
    b.holdPositionControl();
    ctl.getErrorCode();
    ctl.dampNow();
    ASSERT_TRUE(waitLatched(ctl));
    std::vector<int> codes = ctl.getErrorCode();

    b.bus.arm().setStatusCode(2, 10);
    EXPECT_TRUE(test::eventually([&] {
        for (int code : ctl.getErrorCode()) codes.push_back(code);
        return contains(codes, 25);
    }, 5s)) << "motor 2's fault is recorded while latched";
    b.bus.arm().setStatusCode(2, std::nullopt);
    EXPECT_TRUE(b.recorder.waitFor([](const CanFrame& f) { return answerOf(f, 2) && (f.data[0] >> 4) <= 1; },
                                   3, 2s));
    waitCycles(ctl, 10);
    EXPECT_TRUE(ctl.faultLatched());
    EXPECT_EQ(ctl.latchedFaultCode(), 5) << "the first latch stays";
    EXPECT_EQ(codes.front(), 5);

    // The resume lifts the damping request's latch only: the fault that came
    // and went meanwhile is raised now.
    ctl.setArmStatus(kPositionControl);
    ASSERT_TRUE(waitLatched(ctl, 2s));
    EXPECT_EQ(ctl.latchedFaultCode(), 25);
    EXPECT_EQ(ctl.latchedFaultMessage(), "电机故障，电机编号：2，故障类型：10");
    ctl.setArmStatus(kPositionControl);
    EXPECT_TRUE(b.activeCycleSeen()) << "nothing else was pending";
    EXPECT_FALSE(ctl.faultLatched());

    // The bus falls silent while latched.
    ctl.dampNow();
    ASSERT_TRUE(waitLatched(ctl));
    ctl.getErrorCode();
    qel::test::CaptureStdout();
    b.bus.arm().silenceBus();
    codes.clear();
    EXPECT_TRUE(test::eventually([&] {
        for (int code : ctl.getErrorCode()) codes.push_back(code);
        return contains(codes, 2) && contains(codes, 12);
    }, 10s)) << "bus offline and joint 1 offline are recorded while latched";
    const uint64_t from = ctl.cycleCount();
    waitCycles(ctl, 20);
    const uint64_t cycles = ctl.cycleCount() - from;
    const std::string out = qel::test::GetCapturedStdout();
    b.bus.arm().resumeBus();
    codes = ctl.getErrorCode();
    // The cycle that was running when `from` was read is counted in `cycles`,
    // but it reports the bus first thing, and the last read above may have
    // taken that report already.
    EXPECT_GE(static_cast<uint64_t>(std::count(codes.begin(), codes.end(), 2)), cycles - 1) << "code 2 every cycle";
    EXPECT_NE(out.find("电机掉线！掉线电机编号：1 2 3 4 5 6 "), std::string::npos) << out.substr(0, 400);
    EXPECT_EQ(ctl.latchedFaultCode(), 5);
}

TEST_F(RunningController, RandomFrameFloodNeitherCrashesNorHangs) {
    Bench& b = *bench_;
    // The controller may be replaced on the way (restartIfStalled).
    const auto ctl = [&b]() -> ControllerThread& { return *b.controller; };
    b.bus.arm().setRandomFrameRate(1000);
    // However slowly the arm's sender gets to run: a real flood, through 200
    // cycles.
    EXPECT_TRUE(test::eventually([&] { return b.bus.arm().stats().random_frames_sent > 100; }, 30s));
    waitCycles(ctl(), 200);
    b.bus.arm().setRandomFrameRate(0);
    // Random frames on the feedback identifier carry made-up fault codes; the
    // real answers are healthy again once the controller has read past the
    // flood, which on a loaded machine can be long after it stopped.
    EXPECT_TRUE(b.drained()) << "the controller never read past the flood";
    ctl().getErrorCode();
    ctl().setArmStatus(kPositionControl);
    waitCycles(ctl(), 20);
    EXPECT_FALSE(ctl().faultLatched()) << ctl().latchedFaultMessage();
    EXPECT_TRUE(b.activeCycleSeen());
}

TEST_F(RunningController, GripperTargetSurvivesConcurrentJointTargets) {
    Bench& b = *bench_;
    // The controller may be replaced on the way (restartIfStalled).
    const auto ctl = [&b]() -> ControllerThread& { return *b.controller; };
    // In fast action the gripper's frame carries the host's target as it is.
    ctl().setCatchActionFast();
    for (int round = 1; round <= 150; ++round) {
        const double target = round * 0.01;
        std::thread joints([&] {
            for (int n = 0; n < 50; ++n) ctl().setJointPositions({0, 0, 0, 0, 0, 0});
        });
        ctl().setCatch(target);
        joints.join();
        // A lost gripper target never shows: the stale one stays.
        const bool seen = b.recorder.waitFor(
            [&](const CanFrame& f) {
                return f.can_id == 8 && isMotorCommand(f) &&
                       near(hw_interface::unpackImpedanceFrame(f, 10.0).position, target, kPosTol);
            },
            1, 2s);
        b.recorder.clear();
        if (!seen && b.restartIfStalled(ctl().getErrorCode())) {
            ctl().setCatchActionFast();
            continue;
        }
        ASSERT_TRUE(seen) << "round " << round;
    }
    ctl().setCatchActionSlow();
    ctl().setCatch(0.0);
}

// Cases after which the design keeps the arm damped for good: an arm motor
// that went offline, a bus that fell silent. Each needs a controller of its
// own.
TEST(FaultMatrixOffline, EachSilentArmMotorIsRecordedAndDampsTheArm) {
    const ResourceCheck resources;
    for (std::size_t joint = 0; joint < 6; ++joint) {
        const int motor = kIds[joint];
        SCOPED_TRACE("motor " + std::to_string(motor));
        Bench b;
        b.start();
        b.holdPositionControl();
        if (!b.activeCycleSeen()) b.restartIfStalled(b.controller->getErrorCode());
        ASSERT_TRUE(b.activeCycleSeen());
        b.controller->getErrorCode();
        b.recorder.clear();
        b.bus.arm().silenceMotor(motor);
        const int offline = 10 * static_cast<int>(joint + 1) + 2;
        std::vector<int> codes;
        ASSERT_TRUE(test::eventually(
            [&] {
                for (int code : b.controller->getErrorCode()) codes.push_back(code);
                return contains(codes, offline);
            },
            5s));
        waitCycles(*b.controller, 10);
        for (int code : b.controller->getErrorCode()) codes.push_back(code);
        // The silent motor is the first one found offline (a stalled machine
        // may lose others after it).
        EXPECT_EQ(codes.front(), offline);
        const auto lastAnswer = [&](const std::vector<RecordedFrame>& frames) {
            std::size_t last = 0;
            for (std::size_t n = 0; n < frames.size(); ++n) {
                if (answerOf(frames[n].frame, motor)) last = n;
            }
            return last;
        };
        const auto frames = b.framesOnce([&](const std::vector<RecordedFrame>& f) {
            return dampingCycles(cyclesFrom(f, lastAnswer(f))) >= 10;
        });
        const std::size_t last_answer = lastAnswer(frames);
        // Once damping starts it never stops; it starts after the motor fell
        // silent, within the age limit of its feedback.
        expectDampedWithin(frames, last_answer, frames.size(), 10);
        const auto cycles = cyclesFrom(frames, last_answer);
        ASSERT_FALSE(cycles.empty());
        EXPECT_TRUE(isDampingCycle(cycles.back()));
        b.controller.reset();
    }
    resources.expectReleased();
}

TEST(FaultMatrixOffline, SilentBusIsRecordedAndTheArmStaysDamped) {
    Bench b;
    const ResourceCheck resources;
    b.start();
    b.holdPositionControl();
    b.controller->getErrorCode();
    b.bus.arm().silenceBus();
    // Silent until the adapter's own watch (two empty one-second waits) has
    // declared the bus offline, however long that takes here.
    std::vector<int> codes;
    const auto collect = [&] {
        for (int code : b.controller->getErrorCode()) codes.push_back(code);
    };
    EXPECT_TRUE(test::eventually([&] {
        collect();
        return contains(codes, 2);
    }, 20s)) << "bus offline";
    b.bus.arm().resumeBus();
    waitCycles(*b.controller, 20);
    collect();
    for (int joint = 1; joint <= 6; ++joint) EXPECT_TRUE(contains(codes, 10 * joint + 2)) << joint;
    b.recorder.clear();
    waitCycles(*b.controller, 10);
    const auto cycles = cyclesFrom(b.recorder.frames(), 0);
    ASSERT_GE(cycles.size(), 5u) << "the controller still commands the arm";
    for (std::size_t n = 0; n < cycles.size(); ++n) EXPECT_TRUE(isDampingCycle(cycles[n])) << n;
    b.controller->setArmStatus(kPositionControl);
    EXPECT_FALSE(b.activeCycleSeen()) << "offline motors keep the arm damped for good";
    b.controller.reset();
    resources.expectReleased();
}

#ifdef QEL_KERNEL_VCAN
// The interface itself deleted and re-created under a running controller.
TEST(FaultMatrixOffline, InterfaceDeletedAndRecreatedWhileRunning) {
    const ResourceCheck resources;
    auto bench = std::make_unique<Bench>();
    bench->start();
    bench->holdPositionControl();
    ControllerThread& c = *bench->controller;
    auto controller = std::move(bench->controller);
    bench.reset();  // the arm and recorders would lose their sockets anyway
    ASSERT_EQ(std::system("ip link del vcan0"), 0);
    // Until the adapter's silence watch has declared the bus offline.
    EXPECT_TRUE(test::eventually([&] { return contains(c.getErrorCode(), 2); }, 20s));
    ASSERT_EQ(std::system("ip link add dev vcan0 type vcan && ip link set up vcan0"), 0);
    // The adapter re-creates its socket on the new interface and the cycle
    // goes on damping the arm, whose motors it has lost.
    {
        test::CanRecorder recorder(test::kTestBus);
        ASSERT_TRUE(recorder.waitFor(isMotorCommand, 14, 10s)) << "commands reach the new interface";
        EXPECT_TRUE(test::eventually([&] { return dampingCycles(cyclesFrom(recorder.frames(), 0)) >= 3; }, 5s));
        const auto cycles = cyclesFrom(recorder.frames(), 0);
        for (std::size_t n = 1; n < cycles.size(); ++n) EXPECT_TRUE(isDampingCycle(cycles[n])) << n;
    }
    const std::vector<int> codes = c.getErrorCode();
    EXPECT_TRUE(contains(codes, 2));
    controller.reset();
    resources.expectReleased();
}
#endif

}  // namespace
}  // namespace qel::m4
