#pragma once

// The recorder of one controller: the control thread hands it one CycleSample
// per cycle through a bounded lock-free queue; a thread of ordinary priority
// drains the queue, always keeps the last two seconds in memory, writes a
// recording file while the host has one open, and writes those two seconds to
// a file when a fault latches, if the host named a folder for such dumps.
//
// The control thread never waits for the recorder: when the queue is full
// (the recorder thread starved, or stalled on a slow disk) a cycle is dropped
// and counted, and shows in the file as a missing cycle index.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qel/realtime/SampleRing.hpp"
#include "qel/recording/CycleColumns.hpp"
#include "qel/recording/CycleSample.hpp"
#include "qel/recording/CycleWriter.hpp"
#include "qel/recording/DrainThread.hpp"
#include "qel/recording/RecordingTypes.hpp"

namespace qel::recording {

class CycleRecorder {
public:
    // Cycles the queue holds: five seconds at 200 Hz, so that the recorder
    // thread may stall that long on a slow disk before a cycle is lost.
    static constexpr std::size_t kQueueCycles = 1024;
    // Cycles kept in memory for a fault dump: two seconds at 200 Hz.
    static constexpr std::size_t kHistoryCycles = 400;

    // Starts the recorder thread. `layout` describes the arm in every file.
    explicit CycleRecorder(const RecordingLayout& layout);
    // Completes a recording still open and stops the thread.
    ~CycleRecorder();
    CycleRecorder(const CycleRecorder&) = delete;
    CycleRecorder& operator=(const CycleRecorder&) = delete;

    // Control thread: hands over one cycle. Never blocks, never allocates;
    // dropped and counted when the queue is full.
    void push(const CycleSample& sample) { queue_->push(sample); }

    // Opens `path` (replacing a file that exists) and records every cycle
    // from now on into it. Throws std::invalid_argument, changing nothing,
    // for an empty path or while a recording is open; std::runtime_error
    // naming the path if the file cannot be created.
    void start(const std::string& path, RecordingFormat format);
    // Writes every cycle handed over so far, completes the file and returns
    // its final status; with no recording open, the last one's.
    RecordingStatus stop();
    RecordingStatus status() const;

    // Where the last two seconds go when a fault latches (one HDF5 file per
    // latch, named fault-<UTC date and time>-cycle<number>.h5); empty switches
    // the dumps off (the default). Throws std::invalid_argument, changing
    // nothing, if `folder` is not an existing folder this process can write.
    void setDumpFolder(const std::string& folder);
    std::string dumpFolder() const;
    // The last dump written (its path), empty if none; dumps that failed are
    // reported as warnings through the library's output.
    std::string lastDump() const;

    // Cycles the queue dropped since the controller started, recording or
    // not.
    uint64_t droppedCycles() const { return queue_->dropped(); }

private:
    using Queue = realtime::SampleRing<CycleSample, kQueueCycles>;

    // Takes everything queued; with mutex_ held.
    void drainLocked();
    void keep(const CycleSample& sample);
    void dump(const CycleSample& latched);
    void failLocked(const std::string& message);

    const RecordingLayout layout_;
    const std::unique_ptr<Queue> queue_;

    mutable std::mutex mutex_;  // guards everything below; never taken by the control thread
    std::unique_ptr<CycleWriter> writer_;
    CycleTally tally_;
    RecordingStatus status_;
    std::string dump_folder_;
    std::string last_dump_;
    std::vector<CycleSample> batch_;
    std::vector<CycleSample> history_;  // a ring of kHistoryCycles
    std::size_t history_next_ = 0;
    std::size_t history_size_ = 0;
    bool latched_ = false;
    int64_t last_flush_ns_ = 0;

    std::mutex host_mutex_;  // serialises start and stop
    std::unique_ptr<DrainThread> thread_;  // last: it uses everything above
};

}  // namespace qel::recording
