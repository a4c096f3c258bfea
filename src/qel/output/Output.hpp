#pragma once

// The one path by which the library writes anything. Every message has a level
// and a stream; by default it goes, unchanged, to that stream (standard output
// or standard error), so a host that configures nothing sees exactly the lines
// the library has always printed. A host can install its own sink, raise the
// minimum level, and fold lines that repeat every control cycle.
//
// Writing is safe from any thread, formats into a fixed buffer and allocates
// nothing. No lock of this component is held while the sink runs.

#include <chrono>
#include <cstdint>
#include <cstdarg>
#include <functional>

#include "qel/typedef/StandaloneAbi.hpp"

namespace qel {
QEL_STANDALONE_ABI_BEGIN
namespace output {

// Severity, lowest first. kTrace is for lines written every control cycle or
// every few (the banner, the offline report, solver failures inside the
// cycle's search).
enum class Level : int {
    kTrace = 0,
    kDebug = 1,
    kInfo = 2,     // progress: adapter set-up, thread start and stop
    kWarning = 3,  // something was refused or degraded, the library goes on
    kError = 4,    // a failure the caller also sees as an exception or status
};

// The stream a message belongs to by default.
enum class Stream : int { kStdout = 0, kStderr = 1 };

// Longest message text passed to a sink; longer texts are cut.
inline constexpr int kMaxMessage = 512;

// A host's sink: one message per call, without a trailing line end. `text` is
// valid only during the call. Called on whatever thread wrote the message
// (often the control thread): keep it short and never call back into the arm.
using Sink = std::function<void(Level level, const char* text)>;

// Installs `sink` for every later message; an empty function restores the
// default (the message's own stream, byte for byte).
void setSink(Sink sink);
// Messages below `level` are dropped. Default: kTrace (everything).
void setMinimumLevel(Level level);
Level minimumLevel();
// Repeated lines (those written with writeRepeated) are passed on at most once
// per `interval`; the next one that passes carries " (N similar lines folded)"
// when N lines were held back. Zero (the default) turns folding off.
void setRepeatInterval(std::chrono::milliseconds interval);
// The level's name: "trace", "debug", "info", "warning", "error".
const char* levelName(Level level);
// Parses a level name as levelName writes it; false for anything else.
bool parseLevel(const char* name, Level* level);

// One message. `line_end` adds the line end of the default output; a sink
// never sees it. Texts may contain line ends of their own.
void write(Level level, Stream stream, const char* text, bool line_end = true);
// printf-style; the formatted text is cut at kMaxMessage bytes.
void writef(Level level, Stream stream, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void vwritef(Level level, Stream stream, const char* format, va_list args);
// A line that may repeat every cycle; `key` identifies the kind of line (use
// a string literal, compared by address) for folding.
void writeRepeated(Level level, Stream stream, const char* key, const char* text);

// Convenience forms with the usual stream of each kind.
inline void info(const char* text) { write(Level::kInfo, Stream::kStdout, text); }
inline void error(const char* text) { write(Level::kError, Stream::kStderr, text); }

namespace detail {
// Replaces the clock that folding reads (nanoseconds, monotonic); null
// restores the steady clock. For tests that step time themselves.
void setRepeatClock(int64_t (*now_ns)());
}  // namespace detail

}  // namespace output
QEL_STANDALONE_ABI_END
}  // namespace qel
