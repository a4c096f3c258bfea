#pragma once

// What a host names and gets back when it records a running arm (see
// ControllerThread::startRecording and docs/recording.md).

#include <cstdint>
#include <string>

namespace qel::recording {

// HDF5: one dataset per field, units and the arm's description as
// attributes. CSV: one header line, one line per cycle, for a quick look.
enum class RecordingFormat { kHdf5, kCsv };

// The current recording, or the last one once stopped.
struct RecordingStatus {
    bool active = false;   // a file is open and being written
    std::string path;      // of the current or last recording; empty before the first
    uint64_t written = 0;  // cycles written to it
    // Cycle indices missing between the first and the last cycle written:
    // cycles the recorder lost (its queue was full) while the file was open.
    uint64_t lost = 0;
    // Why the recording ended by itself (the file could not be written) or
    // could not be completed; empty while it runs and after a clean stop.
    std::string error;
};

}  // namespace qel::recording
