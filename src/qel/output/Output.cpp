#include "qel/output/Output.hpp"

#include <console_bridge/console.h>
#include <ros/console_backend.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace ros::console {
// Declared here rather than through the library's main header, which drags in
// far more than this one call.
void initialize();
}  // namespace ros::console

namespace qel {
QEL_STANDALONE_ABI_BEGIN
namespace output {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> g_minimum{static_cast<int>(Level::kTrace)};
std::atomic<int64_t> g_repeat_interval_ns{0};

int64_t steadyNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}
std::atomic<int64_t (*)()> g_repeat_clock{&steadyNow};
// Swapped whole, so that a writer holds its own reference while it calls the
// sink and a concurrent setSink never frees it under the caller. Copying the
// pointer only touches a reference count: no allocation on the write path.
std::shared_ptr<const Sink> g_sink;

const char* const kLevelNames[] = {"trace", "debug", "info", "warning", "error"};

// Folding state of the repeated lines: a handful of kinds exist (the banner,
// the offline report, the solver's failure line), so a small fixed table does.
struct RepeatSlot {
    const char* key = nullptr;
    int64_t last_ns = 0;
    long folded = 0;
};
constexpr int kRepeatSlots = 32;
std::mutex g_repeat_mutex;
RepeatSlot g_repeat[kRepeatSlots];

std::shared_ptr<const Sink> currentSink() { return std::atomic_load(&g_sink); }

void emit(Level level, Stream stream, const char* text, bool line_end) {
    if (static_cast<int>(level) < g_minimum.load(std::memory_order_relaxed)) return;
    if (const std::shared_ptr<const Sink> sink = currentSink()) {
        (*sink)(level, text);
        return;
    }
    FILE* out = stream == Stream::kStdout ? stdout : stderr;
    // One locked write per message, so that lines of different threads never
    // interleave within a line.
    flockfile(out);
    fputs(text, out);
    if (line_end) fputc('\n', out);
    funlockfile(out);
    // Seen at once by whoever reads a pipe, in the order the threads wrote.
    fflush(out);
}

// The dependency's console messages (the description parser's warnings) take
// the same path as the library's own.
class DependencyHandler : public console_bridge::OutputHandler {
public:
    void log(const std::string& text, console_bridge::LogLevel level, const char* /*filename*/,
             int /*line*/) override {
        Level ours = Level::kError;
        const char* prefix = "Error:   ";
        switch (level) {
            case console_bridge::CONSOLE_BRIDGE_LOG_DEBUG:
                ours = Level::kDebug;
                prefix = "Debug:   ";
                break;
            case console_bridge::CONSOLE_BRIDGE_LOG_INFO:
                ours = Level::kInfo;
                prefix = "Info:    ";
                break;
            case console_bridge::CONSOLE_BRIDGE_LOG_WARN:
                ours = Level::kWarning;
                prefix = "Warning: ";
                break;
            default:
                break;
        }
        writef(ours, Stream::kStderr, "%s%s", prefix, text.c_str());
    }
};

// The tree parser reports through a second console library, whose printing
// ends in one replaceable function.
void dependencyPrint(void* /*handle*/, ros::console::Level level, const char* text,
                     const char* /*file*/, const char* /*function*/, int /*line*/) {
    Level ours = Level::kError;
    const char* prefix = "[ERROR] ";
    switch (level) {
        case ros::console::levels::Debug:
            ours = Level::kDebug;
            prefix = "[DEBUG] ";
            break;
        case ros::console::levels::Info:
            ours = Level::kInfo;
            prefix = "[ INFO] ";
            break;
        case ros::console::levels::Warn:
            ours = Level::kWarning;
            prefix = "[ WARN] ";
            break;
        default:
            break;
    }
    writef(ours, Stream::kStderr, "%s%s", prefix, text != nullptr ? text : "");
}

}  // namespace

void setSink(Sink sink) {
    std::shared_ptr<const Sink> next;
    if (sink) next = std::make_shared<const Sink>(std::move(sink));
    std::atomic_store(&g_sink, std::move(next));
}

void setMinimumLevel(Level level) { g_minimum.store(static_cast<int>(level)); }

Level minimumLevel() { return static_cast<Level>(g_minimum.load()); }

void setRepeatInterval(std::chrono::milliseconds interval) {
    const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(interval).count();
    g_repeat_interval_ns.store(ns > 0 ? ns : 0);
    std::lock_guard<std::mutex> guard(g_repeat_mutex);
    for (RepeatSlot& slot : g_repeat) slot = RepeatSlot{};
}

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
    emit(level, stream, text != nullptr ? text : "", line_end);
}

void vwritef(Level level, Stream stream, const char* format, va_list args) {
    if (static_cast<int>(level) < g_minimum.load(std::memory_order_relaxed)) return;
    char buffer[kMaxMessage + 1];
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (n < 0) return;
    emit(level, stream, buffer, true);
}

void writef(Level level, Stream stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vwritef(level, stream, format, args);
    va_end(args);
}

void writeRepeated(Level level, Stream stream, const char* key, const char* text) {
    if (static_cast<int>(level) < g_minimum.load(std::memory_order_relaxed)) return;
    const int64_t interval_ns = g_repeat_interval_ns.load();
    if (interval_ns == 0) {
        emit(level, stream, text, true);
        return;
    }
    long folded = 0;
    {
        const int64_t now = g_repeat_clock.load()();
        std::lock_guard<std::mutex> guard(g_repeat_mutex);
        RepeatSlot* slot = nullptr;
        for (RepeatSlot& s : g_repeat) {
            if (s.key == key || s.key == nullptr) {
                slot = &s;
                break;
            }
        }
        if (slot != nullptr) {
            if (slot->key == key && now - slot->last_ns < interval_ns) {
                ++slot->folded;
                return;
            }
            folded = slot->key == key ? slot->folded : 0;
            slot->key = key;
            slot->last_ns = now;
            slot->folded = 0;
        }
        // A full table (more kinds than slots) passes lines on unfolded.
    }
    if (folded == 0) {
        emit(level, stream, text, true);
        return;
    }
    char buffer[kMaxMessage + 1];
    std::snprintf(buffer, sizeof buffer, "%s (%ld similar lines folded)", text, folded);
    emit(level, stream, buffer, true);
}

namespace detail {
void setRepeatClock(int64_t (*now_ns)()) { g_repeat_clock.store(now_ns != nullptr ? now_ns : &steadyNow); }
}  // namespace detail

// Installed when the library is loaded, before any description is parsed. The
// handler object lives as long as the process: the dependency keeps a raw
// pointer to it.
namespace {
struct InstallDependencyHandler {
    InstallDependencyHandler() {
        static DependencyHandler handler;
        console_bridge::useOutputHandler(&handler);
        // Its debug chatter (one line per parsed link) was never shown.
        console_bridge::setLogLevel(console_bridge::CONSOLE_BRIDGE_LOG_INFO);
        // Its own initialisation installs its printer, so it runs first.
        ros::console::initialize();
        ros::console::backend::function_print = &dependencyPrint;
    }
} g_install_dependency_handler;
}  // namespace

}  // namespace output
QEL_STANDALONE_ABI_END
}  // namespace qel
