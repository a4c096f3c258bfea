#pragma once

// One teleoperation episode in the layout of published demonstration
// datasets of low-cost arms: per streamed cycle the command the follower was
// given (/action) and what the follower measured when it was given
// (/observations/qpos, qvel, effort), with the time stamps and cycle numbers
// of both arms (docs/teleoperation.md describes the file). The streaming
// thread hands one step per cycle to a bounded lock-free queue; a writer
// thread of ordinary priority writes the HDF5 file, so the stream never
// waits for the disk.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qel/realtime/SampleRing.hpp"
#include "qel/recording/CycleSample.hpp"
#include "qel/recording/DrainThread.hpp"
#include "qel/recording/Hdf5File.hpp"
#include "qel/recording/RecordingTypes.hpp"

namespace qel::recording {

// One streamed cycle. Times on the system clock (ns since 1970).
struct EpisodeStep {
    uint64_t leader_cycle = 0;    // the leader's cycle that measured the action
    uint64_t follower_cycle = 0;  // the follower's cycle that measured the observation
    int64_t leader_ns = 0;        // when the leader's cycle published it
    int64_t follower_ns = 0;      // when the follower's cycle published it
    int64_t command_ns = 0;       // when the follower was handed the action
    double action[kMotors] = {};  // rad; the gripper in its motor's unit from its zero
    double qpos[kMotors] = {};    // rad; likewise
    double qvel[kMotors] = {};    // rad/s
    double effort[kMotors] = {};  // the motors' current units
};

// What an episode file says about the two arms.
struct EpisodeLayout {
    std::string library_version;
    int robot_variant = 0;
    std::string leader_interface;
    std::string follower_interface;
    double cycle_rate_hz = 200.0;
};

class EpisodeRecorder {
public:
    // Steps the queue holds: five seconds at 200 Hz.
    static constexpr std::size_t kQueueSteps = 1024;

    // Creates the file at `path` (replacing one that exists) and starts the
    // writer thread. Throws std::runtime_error naming the path if the file
    // cannot be created.
    EpisodeRecorder(const std::string& path, const EpisodeLayout& layout);
    // Completes the file if finish() was not called.
    ~EpisodeRecorder();
    EpisodeRecorder(const EpisodeRecorder&) = delete;
    EpisodeRecorder& operator=(const EpisodeRecorder&) = delete;

    // Streaming thread: hands over one step. Never blocks, never allocates;
    // dropped and counted when the queue is full.
    void push(const EpisodeStep& step) { queue_->push(step); }

    // Writes every step handed over, notes the totals (attributes
    // rows_written, rows_lost) and closes the file; returns the final status.
    // Later calls return it again.
    RecordingStatus finish();
    // How the episode is going: rows written so far, steps lost, and an error
    // once the file could not be written (the episode then stops).
    RecordingStatus status() const;

private:
    using Queue = realtime::SampleRing<EpisodeStep, kQueueSteps>;

    // Takes what is queued and writes it; with mutex_ held.
    void drainLocked();
    void writeLocked(const EpisodeStep* steps, std::size_t count);
    void failLocked(const std::string& message);

    const std::unique_ptr<Queue> queue_;
    mutable std::mutex mutex_;  // guards everything below; never taken by the streaming thread
    std::unique_ptr<Hdf5File> file_;
    std::vector<Hdf5File::Dataset> datasets_;
    std::vector<EpisodeStep> batch_;
    std::vector<unsigned char> buffer_;
    int64_t first_ns_ = 0;  // the first row's leader time: 0 s of /timestamp
    RecordingStatus status_;
    int64_t last_flush_ns_ = 0;
    std::unique_ptr<DrainThread> thread_;  // last: it uses everything above
};

}  // namespace qel::recording
