// Teleoperation episode files without an arm: steps handed over by a
// producing thread are read back with the HDF5 library directly, dataset by
// dataset, with the units, shapes and attributes the documentation promises;
// a producer that outruns the writer loses steps, counted, and never waits.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qel/recording/EpisodeRecorder.hpp"
#include "support/Hdf5Reader.hpp"

namespace qel::recording {
namespace {

const std::vector<std::string> kJoints{"joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "gripper"};

std::string scratch(const char* name) {
    return "/tmp/qel-episode-test-" + std::to_string(getpid()) + "-" + name;
}

EpisodeLayout layout() {
    EpisodeLayout l;
    l.library_version = "9.8.7";
    l.robot_variant = 4;
    l.leader_interface = "vcan0";
    l.follower_interface = "vcan1";
    l.cycle_rate_hz = 200.0;
    return l;
}

// Step k: leader cycle 1000 + k, 5 ms apart from a system time of about a
// day into 2024; every value different.
EpisodeStep step(std::size_t k) {
    EpisodeStep s;
    s.leader_cycle = 1000 + k;
    s.follower_cycle = 2000 + k;
    s.leader_ns = 1'704'153'600'000'000'000 + static_cast<int64_t>(k) * 5'000'000;
    s.follower_ns = s.leader_ns + 1'000'000;
    s.command_ns = s.leader_ns + 300'000;
    for (std::size_t i = 0; i < 7; ++i) {
        s.action[i] = 0.1 * i + 0.001 * k;
        s.qpos[i] = -0.1 * i + 0.001 * k;
        s.qvel[i] = 0.01 * i - 0.0001 * k;
        s.effort[i] = 0.5 + 0.01 * i + k;
    }
    return s;
}

TEST(EpisodeRecorder, StepsReadBackAsTheDatasetsOfAnEpisode) {
    const std::string path = scratch("episode.h5");
    constexpr std::size_t kSteps = 450;
    RecordingStatus status;
    {
        EpisodeRecorder recorder(path, layout());
        std::thread producer([&] {
            for (std::size_t k = 0; k < kSteps; ++k) {
                recorder.push(step(k));
                if (k % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(30));
            }
        });
        producer.join();
        status = recorder.finish();
        EXPECT_EQ(recorder.finish().written, status.written) << "a second finish changes nothing";
    }
    EXPECT_TRUE(status.error.empty()) << status.error;
    EXPECT_FALSE(status.active);
    EXPECT_EQ(status.path, path);
    EXPECT_EQ(status.written + status.lost, kSteps);
    ASSERT_GT(status.written, 0u);

    test::Hdf5Reader file(path);
    EXPECT_EQ(file.text("format"), "qel_m4 teleoperation episode");
    EXPECT_EQ(file.numbers("format_version"), std::vector<double>{1});
    EXPECT_EQ(file.text("library_version"), "9.8.7");
    EXPECT_EQ(file.numbers("robot_variant"), std::vector<double>{4});
    EXPECT_EQ(file.text("leader_interface"), "vcan0");
    EXPECT_EQ(file.text("follower_interface"), "vcan1");
    EXPECT_EQ(file.numbers("cycle_rate_hz"), std::vector<double>{200});
    EXPECT_EQ(file.texts("joint_names"), kJoints);
    EXPECT_EQ(file.numbers("rows_written"), std::vector<double>{static_cast<double>(status.written)});
    EXPECT_EQ(file.numbers("rows_lost"), std::vector<double>{static_cast<double>(status.lost)});

    struct Expected {
        const char* path;
        const char* unit;
        std::size_t width;  // 7: joints 1 to 6 and the gripper
    };
    const Expected expected[] = {
        {"action", "rad", 7},          {"observations/qpos", "rad", 7}, {"observations/qvel", "rad/s", 7},
        {"observations/effort", "current units", 7}, {"timestamp", "s", 1},     {"time/leader_ns", "ns", 1},
        {"time/follower_ns", "ns", 1}, {"time/command_ns", "ns", 1},    {"cycle/leader", "", 1},
        {"cycle/follower", "", 1},
    };
    std::vector<std::string> names;
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.path);
        names.push_back(e.path);
        const test::Hdf5Dataset d = file.read(e.path);
        EXPECT_EQ(d.rows(), status.written);
        EXPECT_EQ(d.width(), e.width);
        EXPECT_EQ(d.shape.size(), e.width == 7 ? 2u : 1u);
        EXPECT_EQ(d.unit, e.unit);
        EXPECT_FALSE(file.text("description", e.path).empty());
        if (e.width == 7) {
            EXPECT_EQ(file.texts("columns", e.path), kJoints);
        }
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(file.datasets(), names) << "no other dataset";

    // The rows are the steps that were kept, in order.
    const std::vector<int64_t> leader_cycle = file.integers("cycle/leader");
    const std::vector<int64_t> follower_cycle = file.integers("cycle/follower");
    const std::vector<int64_t> leader_ns = file.integers("time/leader_ns");
    const std::vector<int64_t> follower_ns = file.integers("time/follower_ns");
    const std::vector<int64_t> command_ns = file.integers("time/command_ns");
    const test::Hdf5Dataset timestamp = file.read("timestamp");
    const test::Hdf5Dataset action = file.read("action");
    const test::Hdf5Dataset qpos = file.read("observations/qpos");
    const test::Hdf5Dataset qvel = file.read("observations/qvel");
    const test::Hdf5Dataset effort = file.read("observations/effort");
    const EpisodeStep first = step(static_cast<std::size_t>(leader_cycle[0] - 1000));
    for (std::size_t r = 0; r < status.written; ++r) {
        SCOPED_TRACE("row " + std::to_string(r));
        if (r > 0) {
            ASSERT_GT(leader_cycle[r], leader_cycle[r - 1]);
        }
        const EpisodeStep s = step(static_cast<std::size_t>(leader_cycle[r] - 1000));
        EXPECT_EQ(static_cast<uint64_t>(follower_cycle[r]), s.follower_cycle);
        EXPECT_EQ(leader_ns[r], s.leader_ns);
        EXPECT_EQ(follower_ns[r], s.follower_ns);
        EXPECT_EQ(command_ns[r], s.command_ns);
        EXPECT_DOUBLE_EQ(timestamp.at(r), (s.leader_ns - first.leader_ns) * 1e-9);
        for (std::size_t i = 0; i < 7; ++i) {
            EXPECT_EQ(action.at(r, i), s.action[i]);
            EXPECT_EQ(qpos.at(r, i), s.qpos[i]);
            EXPECT_EQ(qvel.at(r, i), s.qvel[i]);
            EXPECT_EQ(effort.at(r, i), s.effort[i]);
        }
    }
    unlink(path.c_str());
}

TEST(EpisodeRecorder, AProducerThatOutrunsTheWriterLosesCountedStepsAndAFileThatCannotBeMadeThrows) {
    EXPECT_THROW(EpisodeRecorder("/nonexistent/episode.h5", layout()), std::runtime_error);

    // Far more than the queue holds, as fast as they come: what the writer
    // did not take in time is dropped and counted, never waited for.
    const std::string path = scratch("burst.h5");
    constexpr std::size_t kSteps = 3 * EpisodeRecorder::kQueueSteps;
    EpisodeRecorder recorder(path, layout());
    for (std::size_t k = 0; k < kSteps; ++k) recorder.push(step(k));
    const RecordingStatus status = recorder.finish();
    EXPECT_EQ(status.written + status.lost, kSteps);
    EXPECT_GE(status.written, EpisodeRecorder::kQueueSteps) << "a full queue's worth is always kept";
    const std::vector<int64_t> cycles = test::Hdf5Reader(path).integers("cycle/leader");
    ASSERT_EQ(cycles.size(), status.written);
    EXPECT_EQ(cycles.front(), 1000) << "the first steps fill the queue";
    unlink(path.c_str());
}

}  // namespace
}  // namespace qel::recording
