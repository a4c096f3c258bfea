// Recording running arms: two virtual arms on two buses, each driven by its
// own controller in this one process, both recording. Every cycle of each
// recording is checked against the command frames its controller's control
// thread actually wrote (taken from the sender's own record and decoded here
// from the protocol); a latch dumps the two seconds before it; and a push on
// joint 2 while teaching in gravity compensation moves the joint in the
// recording.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qel/controller/ControllerThread.hpp"
#include "support/ArmStates.hpp"
#include "support/BusStations.hpp"
#include "support/CanRecorder.hpp"
#include "support/CommandCycles.hpp"
#include "support/CommandFrames.hpp"
#include "support/Hdf5Reader.hpp"
#include "support/SendTrace.hpp"

namespace qel::m4 {
namespace {

using namespace std::chrono_literals;
using namespace test::states;
using test::eventually;
using test::SendTrace;
using test::SentEvent;
using hw_interface::CanFrame;

// Motor identifiers in joint order and each motor's command torque range,
// written out once for the tests in support/CommandCycles.hpp.
constexpr const int (&kMotorIds)[7] = test::kCommandMotorIds;
constexpr const double (&kTorqueRange)[7] = test::kCommandTorqueRange;
constexpr std::size_t kCycles = 2000;

std::string scratchDir() {
    char name[] = "/tmp/qel-recording-bus.XXXXXX";
    const char* made = mkdtemp(name);
    return made != nullptr ? made : "";
}

using Station = test::BusStation<ControllerThread>;

class RecordingTwoArms : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = scratchDir();
        trace_ = new SendTrace();
        stations_[0].variant = 10;
        stations_[1].variant = 11;
        // Both start up at once, each on a thread of its own.
        test::startStations(stations_, *trace_, QEL_TEST_URDF);
    }
    static void TearDownTestSuite() {
        delete trace_;
        for (Station& s : stations_) {
            s.controller.reset();
            s.arm.reset();
        }
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    // A machine starved past a motor's answer age leaves the controller
    // holding the arm damped for good (a motor offline): that is the
    // controller doing its job, so such an arm's controller is replaced
    // before a test that needs it to move.
    static void ensureOnline(Station& s) {
        bool offline = false;
        for (const int code : s.controller->getErrorCode()) offline = offline || (code > 10 && code % 10 == 2);
        if (!offline) return;
        s.controller.reset();
        s.controller = std::make_unique<ControllerThread>(QEL_TEST_URDF, s.bus, s.variant);
    }

    // Waits until `n` more cycles have run on `s`.
    static bool runCycles(Station& s, uint64_t n) {
        const uint64_t until = s.controller->cycleCount() + n;
        return eventually([&] { return s.controller->cycleCount() >= until; }, 60s);
    }

    static std::string dir_;
    static SendTrace* trace_;
    static Station stations_[2];
};

std::string RecordingTwoArms::dir_;
SendTrace* RecordingTwoArms::trace_ = nullptr;
Station RecordingTwoArms::stations_[2];

// The command frames one controller's control thread wrote during a cycle
// that started at `start_ns` and worked for `work_ns`, per motor, in order.
using CycleFrames = std::map<uint32_t, std::vector<CanFrame>>;

TEST_F(RecordingTwoArms, EveryCycleOfBothRecordingsHoldsWhatItsControlThreadSent) {
    ASSERT_GE(stations_[0].fd, 0);
    ASSERT_GE(stations_[1].fd, 0);
    ASSERT_NE(stations_[0].fd, stations_[1].fd);
    Station& a = stations_[0];
    Station& b = stations_[1];
    // Different work on the two arms: A follows moving joint targets, B floats.
    a.controller->setJointPositions({0.3, 0.6, 0.4, 0.2, -0.2, 0.3});
    a.controller->setArmStatus(kPositionControl);
    b.controller->setArmStatus(kGravityCompensation);
    ASSERT_TRUE(runCycles(a, 3));
    ASSERT_TRUE(runCycles(b, 3));
    const std::string files[2] = {dir_ + "/a.h5", dir_ + "/b.h5"};
    // Cycles are numbered as cycleCount() counts them: the first recorded is
    // one that ended after the start, the last one before the stop returned.
    const uint64_t count_before = a.controller->cycleCount();
    a.controller->startRecording(files[0]);
    b.controller->startRecording(files[1], RecordingFormat::kHdf5);
    EXPECT_THROW(a.controller->startRecording(dir_ + "/again.h5"), std::invalid_argument);
    // Halfway, A's host turns joint 1 the other way.
    ASSERT_TRUE(eventually([&] { return a.controller->recordingStatus().written > kCycles / 2; }, 120s));
    a.controller->setJointPositions({-0.3, 0.6, 0.4, 0.2, -0.2, 0.3});
    ASSERT_TRUE(eventually([&] {
        return a.controller->recordingStatus().written > kCycles + 5 && b.controller->recordingStatus().written > kCycles + 5;
    }, 120s));
    const RecordingStatus status[2] = {a.controller->stopRecording(), b.controller->stopRecording()};
    const uint64_t count_after = a.controller->cycleCount();
    trace_->stop();
    ASSERT_EQ(trace_->overflowed(), 0u);
    const std::vector<SentEvent> events = trace_->events();

    for (int k = 0; k < 2; ++k) {
        Station& s = stations_[k];
        SCOPED_TRACE(s.bus);
        EXPECT_TRUE(status[k].error.empty()) << status[k].error;
        EXPECT_EQ(status[k].lost, 0u);
        EXPECT_EQ(status[k].path, files[k]);
        test::Hdf5Reader file(files[k]);
        EXPECT_EQ(file.text("can_interface"), s.bus);
        EXPECT_EQ(file.numbers("robot_variant"), std::vector<double>{static_cast<double>(s.variant)});
        EXPECT_EQ(file.numbers("cycles_lost"), std::vector<double>{0});

        const auto cycle = file.read("cycle");
        const std::vector<int64_t> start = file.integers("time/monotonic_ns");
        const std::vector<int64_t> work = file.integers("time/work_ns");
        const auto state = file.read("state");
        const auto frames = file.read("command/frames");
        const auto payload = file.read("command/payload");
        const auto k_p = file.read("command/k_p");
        const auto k_d = file.read("command/k_d");
        const auto position = file.read("command/position");
        const auto velocity = file.read("command/velocity");
        const auto torque = file.read("command/torque");
        const auto targets = file.read("target/joint_position");
        const auto pose = file.read("target/pose");
        const auto measured = file.read("measured/position");
        const auto speed = file.read("measured/velocity");
        const auto codes = file.read("errors/codes");
        bool turned = false;
        // A machine starved past a motor's answer age makes the controller
        // take the motor for offline and damp the arm from then on, as it
        // should; the recording shows it (code 10 n + 2), and the control
        // law below holds only before it.
        bool offline = false;
        const std::size_t rows = cycle.rows();
        ASSERT_EQ(rows, status[k].written);
        ASSERT_GE(rows, kCycles);
        if (k == 0) {
            EXPECT_GT(cycle.at(0), static_cast<double>(count_before));
            EXPECT_LE(cycle.at(rows - 1), static_cast<double>(count_after));
        }

        // This controller's control thread: frames on its socket from any
        // thread but the one that built it.
        std::vector<const SentEvent*> sent;
        for (const SentEvent& e : events) {
            if (e.kind == SentEvent::kFrame && e.written && e.fd == s.fd && e.thread != s.builder) sent.push_back(&e);
        }
        std::size_t next = 0;
        // Frames before the recording began belong to earlier cycles.
        while (next < sent.size() && sent[next]->time_ns < start[0]) ++next;
        for (std::size_t r = 0; r < rows; ++r) {
            SCOPED_TRACE("row " + std::to_string(r) + ", cycle " + std::to_string(static_cast<uint64_t>(cycle.at(r))));
            if (r > 0) {
                ASSERT_EQ(cycle.at(r), cycle.at(r - 1) + 1) << "every cycle index, none lost";
            }
            EXPECT_EQ(state.at(r), k == 0 ? kPositionControl : kGravityCompensation);
            // The host's targets as set (A's joint 1 turned once); the pose
            // target is the identity pose.
            const double a_targets[6] = {0.3, 0.6, 0.4, 0.2, -0.2, 0.3};
            if (k == 0 && !turned && targets.at(r, 0) == -0.3) turned = true;
            for (std::size_t j = 0; j < 6; ++j) {
                EXPECT_EQ(targets.at(r, j), k == 1 ? 0.0 : j == 0 && turned ? -0.3 : a_targets[j]);
                EXPECT_EQ(pose.at(r, j), 0.0);
            }
            // Joint 1 turns about the vertical and bears no gravity: in
            // position control its torque is the feed-forward alone, towards
            // this cycle's target from what the previous cycle measured.
            for (std::size_t c = 0; c < 16; ++c) {
                const int code = static_cast<int>(codes.at(r, c));
                offline = offline || (code > 10 && code % 10 == 2);
            }
            if (k == 0 && r > 0 && !offline) {
                const double feed_forward = 1.5 * (targets.at(r, 0) - measured.at(r - 1, 0)) - 0.6 * speed.at(r - 1, 0);
                EXPECT_NEAR(torque.at(r, 0), feed_forward, 56.0 / 4095);
            }
            // The cycle's frames: sent after it began and before its work ended.
            CycleFrames got;
            while (next < sent.size() && sent[next]->time_ns <= start[r] + work[r]) {
                ASSERT_GE(sent[next]->time_ns, start[r]);
                got[sent[next]->frame.can_id].push_back(sent[next]->frame);
                ++next;
            }
            for (std::size_t j = 0; j < 7; ++j) {
                SCOPED_TRACE("motor " + std::to_string(kMotorIds[j]));
                const std::vector<CanFrame>& mine = got[kMotorIds[j]];
                ASSERT_EQ(frames.at(r, j), static_cast<double>(mine.size()));
                ASSERT_EQ(mine.size(), 1u) << "every motor commanded once a cycle";
                const CanFrame& last = mine.back();
                for (std::size_t byte = 0; byte < 8; ++byte) ASSERT_EQ(payload.at(r, 8 * j + byte), last.data[byte]);
                const test::DecodedCommand c = test::decodeCommandBytes(last.data, kTorqueRange[j]);
                // The library decodes in single precision: a millionth of each range.
                ASSERT_NEAR(k_p.at(r, j), c.k_p, 500e-6);
                ASSERT_NEAR(k_d.at(r, j), c.k_d, 5e-6);
                ASSERT_NEAR(position.at(r, j), c.position, 25e-6);
                ASSERT_NEAR(velocity.at(r, j), c.velocity, 90e-6);
                ASSERT_NEAR(torque.at(r, j), c.torque, 2 * kTorqueRange[j] * 1e-6);
            }
        }
        if (k == 0) {
            EXPECT_TRUE(turned) << "the new target shows in the recording";
        }
    }
}

TEST_F(RecordingTwoArms, ALatchDumpsTheTwoSecondsBeforeIt) {
    Station& s = stations_[1];
    ensureOnline(s);
    s.controller->setFaultDumpFolder(dir_);
    EXPECT_THROW(s.controller->setFaultDumpFolder(dir_ + "/missing"), std::invalid_argument);
    // Two seconds of history before the latch.
    ASSERT_TRUE(runCycles(s, 420));
    s.controller->dampNow();
    ASSERT_TRUE(eventually([&] { return !s.controller->lastFaultDump().empty(); }, 30s));
    EXPECT_TRUE(stations_[0].controller->lastFaultDump().empty()) << "the other controller did not latch";
    test::Hdf5Reader dump(s.controller->lastFaultDump());
    const auto cycle = dump.read("cycle");
    const auto latched = dump.read("fault_latched");
    const auto count = dump.read("errors/count");
    const auto codes = dump.read("errors/codes");
    ASSERT_EQ(cycle.rows(), 400u);
    EXPECT_EQ(cycle.at(399) - cycle.at(0), 399.0) << "contiguous";
    EXPECT_EQ(latched.at(399), 1.0);
    EXPECT_EQ(latched.at(398), 0.0);
    // The damping request's code, appended in the cycle that latched.
    ASSERT_GE(count.at(399), 1.0);
    EXPECT_EQ(codes.at(399, 0), 5.0);
    EXPECT_EQ(count.at(398), 0.0);
    s.controller->setArmStatus(kProtect);
    s.controller->setFaultDumpFolder("");
}

TEST_F(RecordingTwoArms, APushOnJointTwoWhileTeachingMovesItInTheRecording) {
    Station& s = stations_[0];
    ensureOnline(s);
    s.controller->setArmStatus(kGravityCompensation);
    ASSERT_TRUE(runCycles(s, 5));
    const std::string file = dir_ + "/teach.h5";
    s.controller->startRecording(file);
    ASSERT_TRUE(runCycles(s, 20));
    const double before = s.arm->state(2).position;
    // A hand pushes joint 2 (motor 2) forwards for 0.3 s.
    s.arm->push(2, 4.0, sim::VirtualArm::Clock::now(), 300ms);
    // Judged by what the controller measured, not by the simulated joint: on
    // a starved machine the feedback may trail the simulation by many cycles.
    ASSERT_TRUE(eventually([&] { return s.controller->getJointSample().positions[1] > before + 0.2; }, 30s));
    ASSERT_TRUE(runCycles(s, 5));
    const RecordingStatus status = s.controller->stopRecording();
    s.controller->setArmStatus(kProtect);
    ASSERT_TRUE(status.error.empty()) << status.error;

    test::Hdf5Reader recording(file);
    const auto position = recording.read("measured/position");
    const auto velocity = recording.read("measured/velocity");
    const auto state = recording.read("state");
    const std::size_t rows = position.rows();
    ASSERT_GE(rows, 30u);
    EXPECT_NEAR(position.at(0, 1), before, 0.05);
    EXPECT_GT(position.at(rows - 1, 1) - position.at(0, 1), 0.2) << "the recording shows joint 2 pushed forwards";
    double fastest = 0.0;
    for (std::size_t r = 0; r < rows; ++r) {
        EXPECT_EQ(state.at(r), kGravityCompensation);
        fastest = std::max(fastest, velocity.at(r, 1));
    }
    EXPECT_GT(fastest, 0.5) << "rad/s, forwards";
}

}  // namespace
}  // namespace qel::m4
