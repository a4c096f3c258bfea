#include "qel/recording/CycleRecorder.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "qel/output/Output.hpp"
#include "qel/realtime/CycleClock.hpp"

namespace qel::recording {
namespace {

// How often the recorder thread drains the queue: a small share of the
// queue's five seconds, and rare enough to cost next to nothing.
constexpr auto kDrainPeriod = std::chrono::milliseconds(20);
// How often an open recording is pushed to the disk.
constexpr int64_t kFlushPeriodNs = 1'000'000'000;

// "fault-20240131T235959Z-cycle1234.h5" for a latch seen in `latched`.
std::string dumpName(const CycleSample& latched) {
    const time_t seconds = static_cast<time_t>(latched.system_ns / 1'000'000'000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    return std::string("fault-") + stamp + "-cycle" + std::to_string(latched.cycle) + ".h5";
}

}  // namespace

CycleRecorder::CycleRecorder(const RecordingLayout& layout)
    : layout_(layout), queue_(std::make_unique<Queue>()) {
    batch_.resize(kQueueCycles);
    history_.resize(kHistoryCycles);
    thread_ = std::make_unique<DrainThread>(mutex_, kDrainPeriod, "qel-recorder", [this] { drainLocked(); });
}

CycleRecorder::~CycleRecorder() {
    thread_->stop();
    stop();
}

void CycleRecorder::drainLocked() {
    std::size_t count;
    while ((count = queue_->take(batch_.data(), batch_.size())) > 0) {
        for (std::size_t i = 0; i < count; ++i) keep(batch_[i]);
        if (!writer_) continue;
        try {
            writer_->append(batch_.data(), count);
            tally_.add(batch_.data(), count);
        } catch (const std::exception& error) {
            failLocked(error.what());
        }
    }
    if (!writer_) return;
    const int64_t now = realtime::monotonicNanos();
    if (now - last_flush_ns_ < kFlushPeriodNs) return;
    last_flush_ns_ = now;
    try {
        writer_->flush();
    } catch (const std::exception& error) {
        failLocked(error.what());
    }
}

void CycleRecorder::keep(const CycleSample& sample) {
    history_[history_next_] = sample;
    history_next_ = (history_next_ + 1) % history_.size();
    if (history_size_ < history_.size()) ++history_size_;
    const bool latched = sample.fault_latched != 0;
    if (latched && !latched_ && !dump_folder_.empty()) dump(sample);
    latched_ = latched;
}

void CycleRecorder::dump(const CycleSample& latched) {
    const std::string path = dump_folder_ + "/" + dumpName(latched);
    std::vector<CycleSample> cycles;
    cycles.reserve(history_size_);
    const std::size_t first = (history_next_ + history_.size() - history_size_) % history_.size();
    for (std::size_t i = 0; i < history_size_; ++i) cycles.push_back(history_[(first + i) % history_.size()]);
    try {
        CycleTally tally;
        tally.add(cycles.data(), cycles.size());
        const auto writer = openCycleWriter(path, RecordingFormat::kHdf5, layout_);
        writer->append(cycles.data(), cycles.size());
        writer->finish(tally.written(), tally.lost());
        last_dump_ = path;
        output::writef(output::Level::kWarning, output::Stream::kStderr,
                       "A fault latched; the last %zu cycles are in %s", cycles.size(), path.c_str());
    } catch (const std::exception& error) {
        output::writef(output::Level::kWarning, output::Stream::kStderr,
                       "A fault latched, but the cycles before it could not be written: %s", error.what());
    }
}

void CycleRecorder::failLocked(const std::string& message) {
    status_.error = message;
    status_.written = tally_.written();
    status_.lost = tally_.lost();
    status_.active = false;
    writer_.reset();
    output::writef(output::Level::kWarning, output::Stream::kStderr, "Recording stopped: %s",
                   message.c_str());
}

void CycleRecorder::start(const std::string& path, RecordingFormat format) {
    if (path.empty()) throw std::invalid_argument("the recording's file name is empty");
    std::lock_guard<std::mutex> host(host_mutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (writer_) {
            throw std::invalid_argument("a recording into '" + status_.path +
                                        "' is running; stop it first");
        }
    }
    // Created without the recorder's lock: the recorder keeps draining.
    std::unique_ptr<CycleWriter> writer = openCycleWriter(path, format, layout_);
    std::lock_guard<std::mutex> lock(mutex_);
    // What was queued before this call belongs to the time before it.
    drainLocked();
    writer_ = std::move(writer);
    tally_ = CycleTally{};
    status_ = RecordingStatus{};
    status_.active = true;
    status_.path = path;
    last_flush_ns_ = realtime::monotonicNanos();
}

RecordingStatus CycleRecorder::stop() {
    std::lock_guard<std::mutex> host(host_mutex_);
    std::unique_ptr<CycleWriter> writer;
    CycleTally tally;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        drainLocked();
        if (!writer_) return status_;
        writer = std::move(writer_);
        tally = tally_;
    }
    std::string error;
    try {
        writer->finish(tally.written(), tally.lost());
    } catch (const std::exception& failure) {
        error = failure.what();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    status_.active = false;
    status_.written = tally.written();
    status_.lost = tally.lost();
    status_.error = error;
    return status_;
}

RecordingStatus CycleRecorder::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    RecordingStatus status = status_;
    if (writer_) {
        status.written = tally_.written();
        status.lost = tally_.lost();
    }
    return status;
}

void CycleRecorder::setDumpFolder(const std::string& folder) {
    if (!folder.empty()) {
        struct stat info {};
        if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            throw std::invalid_argument("the fault dump folder '" + folder + "' is not a folder");
        }
        if (access(folder.c_str(), W_OK | X_OK) != 0) {
            throw std::invalid_argument("cannot write in the fault dump folder '" + folder +
                                        "': " + std::strerror(errno));
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    dump_folder_ = folder;
}

std::string CycleRecorder::dumpFolder() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dump_folder_;
}

std::string CycleRecorder::lastDump() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_dump_;
}

}  // namespace qel::recording
