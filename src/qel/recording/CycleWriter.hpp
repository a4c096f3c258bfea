#pragma once

// Recording files of control cycles: HDF5 (one dataset per column of
// kCycleColumns, with units and the arm's description as attributes) and CSV
// (one header line, one line per cycle) for a quick look. docs/recording.md
// describes both layouts.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "qel/recording/CycleColumns.hpp"
#include "qel/recording/CycleSample.hpp"
#include "qel/recording/RecordingTypes.hpp"

namespace qel::recording {

// One open recording file. Not thread-safe; the recorder thread owns it.
class CycleWriter {
public:
    virtual ~CycleWriter() = default;
    // Adds the cycles, in order. Rows may be buffered until finish(). Throws
    // std::runtime_error when the file cannot be written.
    virtual void append(const CycleSample* samples, std::size_t count) = 0;
    // Writes what is buffered and makes it durable up to here. Throws as
    // append.
    virtual void flush() = 0;
    // Writes the rest, notes the totals (HDF5: attributes cycles_written and
    // cycles_lost) and closes the file. Throws as append.
    virtual void finish(uint64_t written, uint64_t lost) = 0;
};

// Creates `path` (replacing a file that exists) in `format`. Throws
// std::runtime_error, naming the path and the reason, if it cannot be created.
std::unique_ptr<CycleWriter> openCycleWriter(const std::string& path, RecordingFormat format,
                                             const RecordingLayout& layout);

// Cycles written to one file and cycle indices missing between them.
class CycleTally {
public:
    // Counts `count` cycles that follow the ones counted so far.
    void add(const CycleSample* samples, std::size_t count);
    uint64_t written() const { return written_; }
    // Indices missing between the first and the last cycle counted: the
    // cycles the recorder lost while this file was open.
    uint64_t lost() const { return lost_; }

private:
    uint64_t written_ = 0;
    uint64_t lost_ = 0;
    uint64_t last_ = 0;
};

}  // namespace qel::recording
