#include "qel/recording/EpisodeRecorder.hpp"

#include <chrono>
#include <cstring>
#include <stdexcept>

#include "qel/output/Output.hpp"
#include "qel/realtime/CycleClock.hpp"
#include "qel/recording/CycleColumns.hpp"

namespace qel::recording {
namespace {

using Type = Hdf5File::Type;

// As the cycle recorder: drained every 20 ms, written a second at a time,
// pushed to the disk once a second.
constexpr auto kDrainPeriod = std::chrono::milliseconds(20);
constexpr std::size_t kChunkRows = 200;
constexpr int64_t kFlushPeriodNs = 1'000'000'000;

// The episode's datasets, as data: each fills its part of a row from a step
// (first_ns: the first row's leader time).
struct EpisodeColumn {
    const char* path;
    Type type;
    bool per_motor;  // a row of seven (joints 1 to 6, gripper), else one value
    const char* unit;
    const char* meaning;
    void (*fill)(const EpisodeStep& step, int64_t first_ns, void* out);
};

template <typename T>
void put(void* out, T value) {
    std::memcpy(out, &value, sizeof value);
}

void putMotors(void* out, const double (&values)[kMotors]) { std::memcpy(out, values, sizeof values); }

constexpr EpisodeColumn kColumns[] = {
    {"action", Type::kF64, true, "rad",
     "the command the follower was streamed: the leader's measured joints and gripper (the gripper in its "
     "motor's unit from its zero), held within the follower's limits",
     [](const EpisodeStep& s, int64_t, void* out) { putMotors(out, s.action); }},
    {"observations/qpos", Type::kF64, true, "rad",
     "the follower's measured positions when it was given the action (the gripper in its motor's unit from its "
     "zero)",
     [](const EpisodeStep& s, int64_t, void* out) { putMotors(out, s.qpos); }},
    {"observations/qvel", Type::kF64, true, "rad/s", "the follower's measured velocities",
     [](const EpisodeStep& s, int64_t, void* out) { putMotors(out, s.qvel); }},
    {"observations/effort", Type::kF64, true, "current units", "the follower's measured motor currents",
     [](const EpisodeStep& s, int64_t, void* out) { putMotors(out, s.effort); }},
    {"timestamp", Type::kF64, false, "s", "the leader's measurement, seconds after the first row's",
     [](const EpisodeStep& s, int64_t first_ns, void* out) { put(out, (s.leader_ns - first_ns) * 1e-9); }},
    {"time/leader_ns", Type::kI64, false, "ns",
     "system clock (since 1970-01-01 UTC) when the leader's cycle published the action",
     [](const EpisodeStep& s, int64_t, void* out) { put(out, s.leader_ns); }},
    {"time/follower_ns", Type::kI64, false, "ns",
     "system clock when the follower's cycle published the observation",
     [](const EpisodeStep& s, int64_t, void* out) { put(out, s.follower_ns); }},
    {"time/command_ns", Type::kI64, false, "ns", "system clock when the follower was handed the action",
     [](const EpisodeStep& s, int64_t, void* out) { put(out, s.command_ns); }},
    {"cycle/leader", Type::kU64, false, "", "the leader's cycle number of the action; a gap is a cycle not streamed",
     [](const EpisodeStep& s, int64_t, void* out) { put(out, s.leader_cycle); }},
    {"cycle/follower", Type::kU64, false, "", "the follower's cycle number of the observation",
     [](const EpisodeStep& s, int64_t, void* out) { put(out, s.follower_cycle); }},
};

}  // namespace

EpisodeRecorder::EpisodeRecorder(const std::string& path, const EpisodeLayout& layout)
    : queue_(std::make_unique<Queue>()) {
    file_ = std::make_unique<Hdf5File>(path);
    writeFileIdentity(*file_, "qel_m4 teleoperation episode", layout.library_version, layout.robot_variant,
                      layout.cycle_rate_hz);
    file_->attribute(Hdf5File::kRoot, "leader_interface", layout.leader_interface);
    file_->attribute(Hdf5File::kRoot, "follower_interface", layout.follower_interface);
    for (const EpisodeColumn& column : kColumns) {
        datasets_.push_back(file_->describedDataset(
            column.path, column.type, column.per_motor ? std::vector<std::size_t>{kMotors} : std::vector<std::size_t>{},
            kChunkRows, column.unit, column.meaning, column.per_motor ? jointNames() : std::vector<std::string>{}));
    }
    batch_.resize(kQueueSteps);
    status_.active = true;
    status_.path = path;
    last_flush_ns_ = realtime::monotonicNanos();
    thread_ = std::make_unique<DrainThread>(mutex_, kDrainPeriod, "qel-episode", [this] { drainLocked(); });
}

EpisodeRecorder::~EpisodeRecorder() { finish(); }

void EpisodeRecorder::drainLocked() {
    std::size_t count;
    while ((count = queue_->take(batch_.data(), batch_.size())) > 0) writeLocked(batch_.data(), count);
    if (!file_) return;
    const int64_t now = realtime::monotonicNanos();
    if (now - last_flush_ns_ < kFlushPeriodNs) return;
    last_flush_ns_ = now;
    try {
        file_->flush();
    } catch (const std::exception& error) {
        failLocked(error.what());
    }
}

void EpisodeRecorder::writeLocked(const EpisodeStep* steps, std::size_t count) {
    if (!file_) return;
    if (status_.written == 0) first_ns_ = steps[0].leader_ns;
    try {
        for (std::size_t c = 0; c < std::size(kColumns); ++c) {
            const EpisodeColumn& column = kColumns[c];
            const std::size_t row_bytes = (column.per_motor ? kMotors : 1) * elementBytes(column.type);
            buffer_.resize(row_bytes * count);
            for (std::size_t r = 0; r < count; ++r) column.fill(steps[r], first_ns_, buffer_.data() + r * row_bytes);
            file_->append(datasets_[c], buffer_.data(), count);
        }
        status_.written += count;
    } catch (const std::exception& error) {
        failLocked(error.what());
    }
}

void EpisodeRecorder::failLocked(const std::string& message) {
    status_.error = message;
    status_.active = false;
    try {
        file_->close();
    } catch (const std::exception&) {
        // Already failing: the first error is the one to report.
    }
    file_.reset();
    output::writef(output::Level::kWarning, output::Stream::kStderr, "Episode recording stopped: %s",
                   message.c_str());
}

RecordingStatus EpisodeRecorder::finish() {
    thread_->stop();
    std::lock_guard<std::mutex> lock(mutex_);
    drainLocked();
    status_.lost = queue_->dropped();
    if (!file_) return status_;
    try {
        file_->attribute(Hdf5File::kRoot, "rows_written", static_cast<int64_t>(status_.written));
        file_->attribute(Hdf5File::kRoot, "rows_lost", static_cast<int64_t>(status_.lost));
        file_->close();
    } catch (const std::exception& error) {
        status_.error = error.what();
    }
    file_.reset();
    status_.active = false;
    return status_;
}

RecordingStatus EpisodeRecorder::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    RecordingStatus status = status_;
    status.lost = queue_->dropped();
    return status;
}

}  // namespace qel::recording
