#pragma once

// The output path of the whole process, behind the public functions of
// Output.hpp. Both libraries carry a copy of it (each in its own namespace),
// and a process must have exactly one: one queue, one output thread, one
// sink, one set of console handlers for the description parser. So each copy
// exports a table of plain C functions under one versioned C name, and every
// copy uses the table of the copy loaded first (found by walking the loaded
// objects in load order). The table is the whole contract between copies:
// plain C types only, and a new name whenever it changes.

#include <cstddef>
#include <cstdint>

extern "C" {

struct qel_output_path_v1 {
    uint32_t size;  // sizeof(qel_output_path_v1) of the serving copy
    int (*minimum_level)(void);
    void (*set_minimum_level)(int level);
    // Queues one line; never waits. `length` bytes of `text`, no terminator
    // needed.
    void (*post)(int level, int stream, const char* text, size_t length, int line_end);
    // A line that may repeat every cycle, folded per `key`.
    void (*post_repeated)(int level, int stream, const void* key, const char* text, size_t length);
    void (*set_repeat_interval_ns)(int64_t interval_ns);
    void (*set_repeat_clock)(int64_t (*now_ns)(void));
    // `deliver(context, level, text)` receives the lines; `release(context)`
    // is called once the path no longer needs it. A null `deliver` restores
    // the default streams.
    void (*set_sink)(void (*deliver)(void* context, int level, const char* text), void* context,
                     void (*release)(void* context));
    void (*flush)(void);
    uint64_t (*dropped_lines)(void);
};

}  // extern "C"

#include "qel/typedef/StandaloneAbi.hpp"

namespace qel {
QEL_STANDALONE_ABI_BEGIN
namespace output::detail {

// The process's path (this copy's own, or the copy loaded before it).
const qel_output_path_v1& processOutput();

}  // namespace output::detail
QEL_STANDALONE_ABI_END
}  // namespace qel
