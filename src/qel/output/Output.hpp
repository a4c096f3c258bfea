#pragma once

// The one path by which the library writes anything. Every message has a level
// and a stream; by default it goes, unchanged, to that stream (standard output
// or standard error), so a host that configures nothing sees exactly the lines
// the library has always printed, in the same order on each stream. A host can
// install its own sink, raise the minimum level, and fold lines that repeat
// every control cycle.
//
// Writing never waits: the writing thread (the 200 Hz control thread among
// them) formats into a fixed buffer, hands the line to a bounded lock-free
// queue and returns, allocating nothing and taking no lock. One output thread
// per process ("qel-output", ordinary scheduling, every signal blocked, so a
// closed pipe is an error it reports to nobody rather than SIGPIPE) writes the
// lines to their streams or hands them to the sink. When the queue is full
// (a stream nobody reads, a sink that is too slow) lines are dropped and
// counted, and the next line that gets through ends in " (N lines dropped
// before this one)".
//
// One process has one output path, even with both libraries (the controller
// library and the standalone solver) loaded: the copy loaded first serves, and
// the other forwards everything to it, the description parser's console
// messages included.
//
// At process exit (exit(), the end of main) the lines still queued are written
// for as long as they keep moving; writing gives up after a second without
// progress (a stream nobody reads). _exit(), a crash and an abort lose them. A
// child process created with fork() starts with an empty queue of its own.

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

// Longest formatted text (writef, vwritef); longer formatted texts are cut.
inline constexpr int kMaxMessage = 512;
// Longest plain text (write, writeRepeated) passed on whole; longer ones are
// cut there.
inline constexpr int kMaxLine = 4096;

// A host's sink: one message per call, without a trailing line end. `text` is
// valid only during the call. Called on the output thread, one message at a
// time, in the order the messages were written; it may block the output
// thread (lines queue up meanwhile) but never a thread of the arm. It must not
// call flush().
using Sink = std::function<void(Level level, const char* text)>;

// Every message written after this call goes to `sink`; an empty function
// restores the default (the message's own stream, byte for byte). Messages
// written before it still go where they were headed: call flush() to wait for
// them. Never waits for the output thread.
void setSink(Sink sink);
// Messages below `level` are dropped. Default: kTrace (everything).
void setMinimumLevel(Level level);
Level minimumLevel();
// Repeated lines (those written with writeRepeated) are passed on at most once
// per `interval`; the next one that passes carries " (N similar lines folded)"
// when N lines were held back. Zero (the default) turns folding off.
void setRepeatInterval(std::chrono::milliseconds interval);
// Waits until every message written before the call has reached its stream
// (and been flushed) or the sink. For hosts and tests that compare output
// or hand it on before exiting. Waits as long as the output thread is stuck
// (a full pipe nobody reads). Returns at once when called from the sink.
void flush();
// Lines dropped so far because the queue was full.
uint64_t droppedLines();
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
