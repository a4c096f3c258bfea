// The public output functions: level names and formatting here, in the
// writing thread's own stack buffer; everything else is the process's output
// path (ProcessOutput.cpp), which this copy may share with the other library.
#include "qel/output/Output.hpp"

#include <cstdio>
#include <cstring>
#include <utility>

#include "qel/output/ProcessOutput.hpp"

namespace qel {
QEL_STANDALONE_ABI_BEGIN
namespace output {
namespace {

const char* const kLevelNames[] = {"trace", "debug", "info", "warning", "error"};

const qel_output_path_v1& path() { return detail::processOutput(); }

bool passes(Level level) { return static_cast<int>(level) >= path().minimum_level(); }

// The sink crosses to the process's path as plain C: it may be another
// library's copy of this code.
void deliverToSink(void* context, int level, const char* text) {
    (*static_cast<Sink*>(context))(static_cast<Level>(level), text);
}
void releaseSink(void* context) { delete static_cast<Sink*>(context); }

std::size_t lineLength(const char* text) { return strnlen(text, kMaxLine); }

}  // namespace

void setSink(Sink sink) {
    if (!sink) {
        path().set_sink(nullptr, nullptr, nullptr);
        return;
    }
    path().set_sink(&deliverToSink, new Sink(std::move(sink)), &releaseSink);
}

void setMinimumLevel(Level level) { path().set_minimum_level(static_cast<int>(level)); }

Level minimumLevel() { return static_cast<Level>(path().minimum_level()); }

void setRepeatInterval(std::chrono::milliseconds interval) {
    path().set_repeat_interval_ns(std::chrono::duration_cast<std::chrono::nanoseconds>(interval).count());
}

void flush() { path().flush(); }

uint64_t droppedLines() { return path().dropped_lines(); }

const char* levelName(Level level) {
    const int index = static_cast<int>(level);
    return index >= 0 && index <= 4 ? kLevelNames[index] : "unknown";
}

bool parseLevel(const char* name, Level* level) {
    if (name == nullptr) return false;
    for (int i = 0; i <= 4; ++i) {
        if (std::strcmp(name, kLevelNames[i]) == 0) {
            *level = static_cast<Level>(i);
            return true;
        }
    }
    return false;
}

void write(Level level, Stream stream, const char* text, bool line_end) {
    if (!passes(level)) return;
    if (text == nullptr) text = "";
    path().post(static_cast<int>(level), static_cast<int>(stream), text, lineLength(text), line_end ? 1 : 0);
}

void vwritef(Level level, Stream stream, const char* format, va_list args) {
    if (!passes(level)) return;
    char buffer[kMaxMessage + 1];
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (n < 0) return;
    const std::size_t length = static_cast<std::size_t>(n) < sizeof buffer ? static_cast<std::size_t>(n) : kMaxMessage;
    path().post(static_cast<int>(level), static_cast<int>(stream), buffer, length, 1);
}

void writef(Level level, Stream stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vwritef(level, stream, format, args);
    va_end(args);
}

void writeRepeated(Level level, Stream stream, const char* key, const char* text) {
    if (!passes(level)) return;
    if (text == nullptr) text = "";
    path().post_repeated(static_cast<int>(level), static_cast<int>(stream), key, text, lineLength(text));
}

namespace detail {
void setRepeatClock(int64_t (*now_ns)()) { path().set_repeat_clock(now_ns); }
}  // namespace detail

}  // namespace output
QEL_STANDALONE_ABI_END
}  // namespace qel
