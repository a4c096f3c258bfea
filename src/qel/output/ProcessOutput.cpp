// The process's output path: a bounded lock-free queue that any thread posts
// lines to without waiting, one output thread that writes them to their
// streams or hands them to the host's sink, and the description parser's
// console handlers. See ProcessOutput.hpp for how the copies in the two
// libraries agree on one of these per process.
//
// Everything the posting side touches is constant-initialised (zero or
// constexpr), so a line can be posted before this copy's static initialisers
// have run, as happens when the other library's initialisers run first and
// post through this copy.
#include "qel/output/ProcessOutput.hpp"

#include <console_bridge/console.h>
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <ros/console_backend.h>
#include <semaphore.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qel/output/Output.hpp"

namespace ros::console {
// Declared here rather than through the library's main header, which drags in
// far more than this one call.
void initialize();
}  // namespace ros::console

extern "C" {
// This copy's table, under the name every copy looks for. A function rather
// than a variable: one variable defined in two loaded objects is what the
// address sanitizer reports as a violation of the one-definition rule.
__attribute__((visibility("default"))) const qel_output_path_v1* qel_output_process_path_v1(void);
}

namespace qel {
QEL_STANDALONE_ABI_BEGIN
namespace output::detail {
namespace {

// ---------------------------------------------------------------- the queue
//
// A bounded multi-producer queue of fixed cells (the sequence-numbered ring
// of Vyukov), consumed in order by the output thread alone. A line longer
// than one cell takes several consecutive cells, claimed together, so that
// no other line lands in between.

constexpr std::size_t kCells = 1024;  // a power of two
constexpr std::size_t kCellBytes = 128;
constexpr std::size_t kCellHeader = 8 + 4 * 1 + 4 + 8 + 8;
constexpr std::size_t kCellText = kCellBytes - kCellHeader;
constexpr std::size_t kMaxCellsPerLine = (kMaxLine + kCellText - 1) / kCellText;
static_assert(kMaxCellsPerLine < kCells / 4, "a long line must not take a large part of the queue");

struct Cell {
    // Stored relative to the cell's index, so that all-zero (static storage
    // before any initialiser) is the empty queue: cell i is free for ticket
    // i. See sequenceOf / storeSequence.
    std::atomic<uint64_t> relative_sequence;
    uint8_t level;
    uint8_t stream;
    uint8_t line_end;
    uint8_t cells;  // first cell of a line: how many cells the line takes
    uint32_t length;  // text bytes in this cell
    uint64_t dropped_before;  // first cell: lines dropped just before this one
    uint64_t folded;          // first cell: repeats folded into this one
    char text[kCellText];
};
static_assert(sizeof(Cell) == kCellBytes, "cell layout");

// One kind of repeated line and its folding state.
struct FoldSlot {
    std::atomic<const void*> key;
    std::atomic<int64_t> last_ns;
    std::atomic<uint64_t> folded;
};
constexpr int kFoldSlots = 32;

// A sink as the copy that installed it handed it over.
struct SinkHolder {
    void (*deliver)(void*, int, const char*);
    void* context;
    void (*release)(void*);
};

// A sink change, applied by the output thread once every line claimed before
// it has been delivered.
struct SinkChange {
    uint64_t ticket;
    SinkHolder holder;
    SinkChange* next;
};

int64_t steadyNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A pthread mutex held for a scope.
class Locked {
public:
    explicit Locked(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
    ~Locked() { pthread_mutex_unlock(&mutex_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    pthread_mutex_t& mutex_;
};

// Every member has a constant initialiser, so the whole state is in place
// before any code of this library runs (checked below).
struct State {
    Cell cells[kCells]{};
    std::atomic<uint64_t> enqueue{0};
    std::atomic<uint64_t> completed{0};  // lines up to this ticket are written
    std::atomic<uint64_t> dropped_pending{0};
    std::atomic<uint64_t> dropped_total{0};

    std::atomic<int> minimum{static_cast<int>(Level::kTrace)};
    std::atomic<int64_t> repeat_interval_ns{0};
    std::atomic<int64_t (*)()> repeat_clock{&steadyNow};
    FoldSlot folds[kFoldSlots]{};

    // The output thread, or none: before it is started, in a child after
    // fork() until the first line, or for good if it cannot be created (then
    // every line is written by the thread that posts it, as a last resort).
    std::atomic<bool> worker_running{false};
    std::atomic<bool> worker_needed{false};
    std::atomic<bool> direct{false};
    pthread_t worker{};
    sem_t wake{};

    // Host threads and the output thread only; never taken on a posting path.
    pthread_mutex_t control = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t progressed = PTHREAD_COND_INITIALIZER;
    SinkChange* changes_head = nullptr;
    SinkChange* changes_tail = nullptr;
    pthread_mutex_t direct_mutex = PTHREAD_MUTEX_INITIALIZER;  // writing without an output thread

    // Output thread only.
    uint64_t dequeue = 0;
    SinkHolder current{nullptr, nullptr, nullptr};
    char line[kMaxLine + 128]{};
};
static_assert((State{}, true), "the output state must be constant-initialised");
State g;
pthread_once_t g_install_once = PTHREAD_ONCE_INIT;

Cell& cellOf(uint64_t ticket) { return g.cells[ticket & (kCells - 1)]; }

uint64_t sequenceOf(const Cell& cell, uint64_t ticket) {
    return cell.relative_sequence.load(std::memory_order_acquire) + (ticket & (kCells - 1));
}

void storeSequence(Cell& cell, uint64_t ticket, uint64_t sequence) {
    cell.relative_sequence.store(sequence - (ticket & (kCells - 1)), std::memory_order_release);
}

bool onOutputThread() {
    return g.worker_running.load(std::memory_order_acquire) && pthread_equal(pthread_self(), g.worker);
}

// ------------------------------------------------------------ delivering

void writeToStream(int stream, const char* text, bool line_end) {
    FILE* out = stream == static_cast<int>(Stream::kStdout) ? stdout : stderr;
    // One locked write per message, so that lines of the host's own threads
    // never interleave within one of ours.
    flockfile(out);
    fputs(text, out);
    if (line_end) fputc('\n', out);
    funlockfile(out);
    // Seen at once by whoever reads a pipe. A closed pipe is an error here
    // (SIGPIPE is blocked on this thread), and the next line tries again.
    fflush(out);
}

void deliver(const SinkHolder& sink, int level, int stream, const char* text, bool line_end) {
    if (sink.deliver != nullptr) {
        sink.deliver(sink.context, level, text);
    } else {
        writeToStream(stream, text, line_end);
    }
}

void releaseHolder(const SinkHolder& holder) {
    if (holder.release != nullptr) holder.release(holder.context);
}

// Takes the sink changes due at `ticket` (output thread), and installs them
// outside the lock, so that a sink's release never runs under it.
void applySinkChanges(uint64_t ticket) {
    SinkChange* due = nullptr;
    SinkChange** due_tail = &due;
    {
        Locked guard(g.control);
        while (g.changes_head != nullptr && g.changes_head->ticket <= ticket) {
            SinkChange* change = g.changes_head;
            g.changes_head = change->next;
            change->next = nullptr;
            *due_tail = change;
            due_tail = &change->next;
        }
        if (g.changes_head == nullptr) g.changes_tail = nullptr;
    }
    while (due != nullptr) {
        SinkChange* change = due;
        due = change->next;
        releaseHolder(g.current);
        g.current = change->holder;
        delete change;
    }
}

// Whether every cell of the line starting at `ticket` has been published.
bool lineReady(uint64_t ticket, unsigned* cells) {
    const Cell& first = cellOf(ticket);
    if (sequenceOf(first, ticket) != ticket + 1) return false;
    *cells = first.cells == 0 ? 1 : first.cells;
    for (unsigned i = 1; i < *cells; ++i) {
        if (sequenceOf(cellOf(ticket + i), ticket + i) != ticket + i + 1) return false;
    }
    return true;
}

// Writes every line that is ready, in order (output thread).
void drain() {
    for (;;) {
        applySinkChanges(g.dequeue);
        unsigned cells = 0;
        if (!lineReady(g.dequeue, &cells)) break;
        const Cell& first = cellOf(g.dequeue);
        const int level = first.level;
        const int stream = first.stream;
        const bool line_end = first.line_end != 0;
        const uint64_t dropped = first.dropped_before;
        const uint64_t folded = first.folded;
        std::size_t used = 0;
        for (unsigned i = 0; i < cells; ++i) {
            Cell& cell = cellOf(g.dequeue + i);
            std::memcpy(g.line + used, cell.text, cell.length);
            used += cell.length;
            storeSequence(cell, g.dequeue + i, g.dequeue + i + kCells);
        }
        g.dequeue += cells;
        const std::size_t room = sizeof g.line - used;
        int added = 0;
        if (folded != 0) {
            added = std::snprintf(g.line + used, room, " (%llu similar lines folded)",
                                  static_cast<unsigned long long>(folded));
            used += added > 0 ? static_cast<std::size_t>(added) : 0;
        }
        if (dropped != 0 && used < sizeof g.line) {
            std::snprintf(g.line + used, sizeof g.line - used, " (%llu lines dropped before this one)",
                          static_cast<unsigned long long>(dropped));
        } else {
            g.line[std::min(used, sizeof g.line - 1)] = '\0';
        }
        deliver(g.current, level, stream, g.line, line_end);
        g.completed.store(g.dequeue, std::memory_order_release);
    }
    Locked guard(g.control);
    pthread_cond_broadcast(&g.progressed);
}

void* outputThread(void*) {
    // Created with every signal blocked; SIGPIPE above all must never reach
    // this thread, or a standard error whose reader has gone would end the
    // process in the middle of a write instead of failing it.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    pthread_setname_np(pthread_self(), "qel-output");
    for (;;) {
        while (sem_wait(&g.wake) != 0 && errno == EINTR) {
        }
        drain();
    }
    return nullptr;
}

void startOutputThread() {
    sem_init(&g.wake, 0, 0);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // Ordinary scheduling whatever the thread that happens to start it runs
    // at: writing is the least urgent work in the process.
    pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attributes, SCHED_OTHER);
    sched_param param{};
    pthread_attr_setschedparam(&attributes, &param);
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread;
    const int error = pthread_create(&thread, &attributes, &outputThread, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        g.direct.store(true);
        return;
    }
    g.worker = thread;
    g.worker_running.store(true, std::memory_order_release);
    // Lines posted before it existed.
    sem_post(&g.wake);
}

// A child of fork() has only the thread that forked: no output thread, and
// possibly lines that a thread of the parent was in the middle of posting.
// The parent writes what was queued; the child starts empty and starts its
// own output thread with its first line.
void afterForkInChild() {
    g.worker_running.store(false);
    for (Cell& cell : g.cells) cell.relative_sequence.store(0);
    g.enqueue.store(0);
    g.completed.store(0);
    g.dequeue = 0;
    pthread_mutex_init(&g.control, nullptr);
    pthread_cond_init(&g.progressed, nullptr);
    pthread_mutex_init(&g.direct_mutex, nullptr);
    while (g.changes_head != nullptr) {
        SinkChange* change = g.changes_head;
        g.changes_head = change->next;
        releaseHolder(g.current);
        g.current = change->holder;
        delete change;
    }
    g.changes_tail = nullptr;
    g.worker_needed.store(true);
}

// Waits until the lines claimed before `target` are written. With a stall
// limit, gives up once nothing has been written for that long.
void waitWritten(uint64_t target, std::chrono::milliseconds stall_limit) {
    Locked guard(g.control);
    uint64_t seen = g.completed.load(std::memory_order_acquire);
    auto last_progress = std::chrono::steady_clock::now();
    for (;;) {
        const uint64_t now_completed = g.completed.load(std::memory_order_acquire);
        const bool changes_due = g.changes_head != nullptr && g.changes_head->ticket <= target;
        if (now_completed >= target && !changes_due) return;
        if (now_completed != seen) {
            seen = now_completed;
            last_progress = std::chrono::steady_clock::now();
        } else if (stall_limit.count() > 0 &&
                   std::chrono::steady_clock::now() - last_progress > stall_limit) {
            return;
        }
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += 50000000;
        if (until.tv_nsec >= 1000000000) {
            until.tv_nsec -= 1000000000;
            ++until.tv_sec;
        }
        pthread_cond_timedwait(&g.progressed, &g.control, &until);
    }
}

void flushAtExit() {
    if (!g.worker_running.load(std::memory_order_acquire) || onOutputThread()) return;
    sem_post(&g.wake);
    waitWritten(g.enqueue.load(std::memory_order_acquire), std::chrono::seconds(1));
}

// ------------------------------------------- the parser's console messages

void postLine(int level, int stream, const char* text, std::size_t length, bool line_end, uint64_t folded);

void postFormatted(Level level, const char* prefix, const char* text) {
    if (static_cast<int>(level) < g.minimum.load(std::memory_order_relaxed)) return;
    char buffer[kMaxMessage + 1];
    const int n = std::snprintf(buffer, sizeof buffer, "%s%s", prefix, text);
    if (n < 0) return;
    postLine(static_cast<int>(level), static_cast<int>(Stream::kStderr), buffer,
             std::min<std::size_t>(static_cast<std::size_t>(n), kMaxMessage), true, 0);
}

class DependencyHandler : public console_bridge::OutputHandler {
public:
    void log(const std::string& text, console_bridge::LogLevel level, const char* /*filename*/,
             int /*line*/) override {
        switch (level) {
            case console_bridge::CONSOLE_BRIDGE_LOG_DEBUG:
                return postFormatted(Level::kDebug, "Debug:   ", text.c_str());
            case console_bridge::CONSOLE_BRIDGE_LOG_INFO:
                return postFormatted(Level::kInfo, "Info:    ", text.c_str());
            case console_bridge::CONSOLE_BRIDGE_LOG_WARN:
                return postFormatted(Level::kWarning, "Warning: ", text.c_str());
            default:
                return postFormatted(Level::kError, "Error:   ", text.c_str());
        }
    }
};

// The tree parser reports through a second console library, whose printing
// ends in one replaceable function.
void dependencyPrint(void* /*handle*/, ros::console::Level level, const char* text,
                     const char* /*file*/, const char* /*function*/, int /*line*/) {
    if (text == nullptr) text = "";
    switch (level) {
        case ros::console::levels::Debug:
            return postFormatted(Level::kDebug, "[DEBUG] ", text);
        case ros::console::levels::Info:
            return postFormatted(Level::kInfo, "[ INFO] ", text);
        case ros::console::levels::Warn:
            return postFormatted(Level::kWarning, "[ WARN] ", text);
        default:
            return postFormatted(Level::kError, "[ERROR] ", text);
    }
}

// Once per process, by the serving copy, before its first line: the output
// thread, the flush at exit, the fork handler and the console handlers.
void install() {
    startOutputThread();
    // Registered while the library loads, before the host's own static
    // objects exist, so it runs after they are destroyed and their last
    // lines are queued.
    std::atexit(&flushAtExit);
    pthread_atfork(nullptr, nullptr, &afterForkInChild);
    // The handler object lives as long as the process: the dependency keeps
    // a raw pointer to it.
    static DependencyHandler handler;
    console_bridge::useOutputHandler(&handler);
    // Its debug chatter (one line per parsed link) was never shown.
    console_bridge::setLogLevel(console_bridge::CONSOLE_BRIDGE_LOG_INFO);
    // Its own initialisation installs its printer, so it runs first.
    ros::console::initialize();
    ros::console::backend::function_print = &dependencyPrint;
}

void ensureInstalled() { pthread_once(&g_install_once, &install); }

// ------------------------------------------------------------ posting

void postDirect(int level, int stream, const char* text, std::size_t length, bool line_end,
                uint64_t folded) {
    Locked guard(g.direct_mutex);
    applySinkChanges(~uint64_t{0});
    char* line = g.line;
    std::size_t used = std::min(length, static_cast<std::size_t>(kMaxLine));
    std::memcpy(line, text, used);
    if (folded != 0) {
        std::snprintf(line + used, sizeof g.line - used, " (%llu similar lines folded)",
                      static_cast<unsigned long long>(folded));
    } else {
        line[used] = '\0';
    }
    deliver(g.current, level, stream, line, line_end);
}

void postLine(int level, int stream, const char* text, std::size_t length, bool line_end,
              uint64_t folded) {
    ensureInstalled();
    if (g.worker_needed.load(std::memory_order_relaxed) && g.worker_needed.exchange(false)) {
        startOutputThread();
    }
    if (g.direct.load(std::memory_order_relaxed)) {
        postDirect(level, stream, text, length, line_end, folded);
        return;
    }
    length = std::min(length, static_cast<std::size_t>(kMaxLine));
    const uint64_t cells = std::max<uint64_t>(1, (length + kCellText - 1) / kCellText);
    uint64_t ticket = g.enqueue.load(std::memory_order_relaxed);
    for (;;) {
        // Cells are freed in order, so the line fits when its last cell is free.
        const uint64_t last = ticket + cells - 1;
        const int64_t lag = static_cast<int64_t>(sequenceOf(cellOf(last), last) - last);
        if (lag == 0) {
            if (g.enqueue.compare_exchange_weak(ticket, ticket + cells, std::memory_order_relaxed)) break;
        } else if (lag < 0) {
            g.dropped_pending.fetch_add(1, std::memory_order_relaxed);
            g.dropped_total.fetch_add(1, std::memory_order_relaxed);
            return;
        } else {
            ticket = g.enqueue.load(std::memory_order_relaxed);
        }
    }
    const uint64_t dropped = g.dropped_pending.exchange(0, std::memory_order_relaxed);
    for (uint64_t i = 0; i < cells; ++i) {
        Cell& cell = cellOf(ticket + i);
        const std::size_t from = static_cast<std::size_t>(i) * kCellText;
        const std::size_t n = std::min(kCellText, length - from);
        std::memcpy(cell.text, text + from, n);
        cell.length = static_cast<uint32_t>(n);
        if (i == 0) {
            cell.level = static_cast<uint8_t>(level);
            cell.stream = static_cast<uint8_t>(stream);
            cell.line_end = line_end ? 1 : 0;
            cell.cells = static_cast<uint8_t>(cells);
            cell.dropped_before = dropped;
            cell.folded = folded;
        }
        storeSequence(cell, ticket + i, ticket + i + 1);
    }
    // A futex wake when the output thread sleeps, a counter otherwise.
    sem_post(&g.wake);
}

// ------------------------------------------------------ the table's entries

int minimumLevel() { return g.minimum.load(std::memory_order_relaxed); }

void setMinimumLevel(int level) { g.minimum.store(level); }

void post(int level, int stream, const char* text, std::size_t length, int line_end) {
    postLine(level, stream, text, length, line_end != 0, 0);
}

void postRepeated(int level, int stream, const void* key, const char* text, std::size_t length) {
    const int64_t interval_ns = g.repeat_interval_ns.load();
    if (interval_ns == 0) {
        postLine(level, stream, text, length, true, 0);
        return;
    }
    const int64_t now = g.repeat_clock.load()();
    FoldSlot* slot = nullptr;
    bool first = false;
    for (FoldSlot& s : g.folds) {
        const void* held = s.key.load(std::memory_order_acquire);
        if (held == key) {
            slot = &s;
            break;
        }
        if (held == nullptr) {
            const void* expected = nullptr;
            if (s.key.compare_exchange_strong(expected, key)) {
                s.last_ns.store(now);
                slot = &s;
                first = true;
                break;
            }
            if (expected == key) {
                slot = &s;
                break;
            }
        }
    }
    // A full table (more kinds than slots) passes lines on unfolded.
    if (slot == nullptr || first) {
        postLine(level, stream, text, length, true, 0);
        return;
    }
    int64_t last = slot->last_ns.load();
    if (now - last < interval_ns || !slot->last_ns.compare_exchange_strong(last, now)) {
        slot->folded.fetch_add(1);
        return;
    }
    postLine(level, stream, text, length, true, slot->folded.exchange(0));
}

void setRepeatIntervalNs(int64_t interval_ns) {
    g.repeat_interval_ns.store(interval_ns > 0 ? interval_ns : 0);
    for (FoldSlot& slot : g.folds) {
        slot.key.store(nullptr);
        slot.last_ns.store(0);
        slot.folded.store(0);
    }
}

void setRepeatClock(int64_t (*now_ns)()) { g.repeat_clock.store(now_ns != nullptr ? now_ns : &steadyNow); }

void setSink(void (*deliver_fn)(void*, int, const char*), void* context, void (*release)(void*)) {
    ensureInstalled();
    auto* change = new SinkChange{0, {deliver_fn, context, release}, nullptr};
    {
        Locked guard(g.control);
        // Lines claimed from here on go to the new sink.
        change->ticket = g.enqueue.load(std::memory_order_acquire);
        if (g.changes_tail != nullptr) {
            g.changes_tail->next = change;
        } else {
            g.changes_head = change;
        }
        g.changes_tail = change;
    }
    if (g.direct.load()) {
        Locked guard(g.direct_mutex);
        applySinkChanges(~uint64_t{0});
        return;
    }
    sem_post(&g.wake);
}

void flush() {
    ensureInstalled();
    if (g.direct.load()) {
        Locked guard(g.direct_mutex);
        std::fflush(stdout);
        std::fflush(stderr);
        return;
    }
    if (onOutputThread()) return;  // from a sink: it would wait for itself
    if (!g.worker_running.load(std::memory_order_acquire)) return;  // a child that wrote nothing yet
    waitWritten(g.enqueue.load(std::memory_order_acquire), std::chrono::milliseconds(0));
}

uint64_t droppedLines() { return g.dropped_total.load(std::memory_order_relaxed); }

const qel_output_path_v1 kOwnPath = {
    sizeof(qel_output_path_v1),
    &minimumLevel,
    &setMinimumLevel,
    &post,
    &postRepeated,
    &setRepeatIntervalNs,
    &setRepeatClock,
    &setSink,
    &flush,
    &droppedLines,
};

// -------------------------------------------------- finding the process's

// The table of the first loaded object that exports one of its own. Every
// copy walks the same list in the same (load) order, so all agree, whichever
// loaded first and however each was loaded (linked, or dlopen'ed locally as
// Python extension modules are).
const qel_output_path_v1* findProcessPath() {
    std::vector<std::string> objects;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* out) {
            if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0') {
                static_cast<std::vector<std::string>*>(out)->emplace_back(info->dlpi_name);
            }
            return 0;
        },
        &objects);
    for (const std::string& name : objects) {
        void* handle = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (handle == nullptr) continue;
        const qel_output_path_v1* found = nullptr;
        void* symbol = dlsym(handle, "qel_output_process_path_v1");
        link_map* own = nullptr;
        link_map* holder = nullptr;
        Dl_info where;
        // dlsym also searches the object's dependencies: only a definition
        // in the object itself counts at this place in the order.
        if (symbol != nullptr && dlinfo(handle, RTLD_DI_LINKMAP, &own) == 0 &&
            dladdr1(symbol, &where, reinterpret_cast<void**>(&holder), RTLD_DL_LINKMAP) != 0 &&
            holder == own) {
            using Entry = const qel_output_path_v1* (*)();
            found = reinterpret_cast<Entry>(symbol)();
        }
        dlclose(handle);
        if (found != nullptr && found->size >= sizeof(qel_output_path_v1)) return found;
    }
    return &kOwnPath;
}

}  // namespace

const qel_output_path_v1& processOutput() {
    static const qel_output_path_v1* const path = findProcessPath();
    return *path;
}

namespace {
// At load: agree on the process's path and let it start (its output thread
// and console handlers), before any thread of the library exists.
struct JoinProcessOutput {
    JoinProcessOutput() { processOutput().flush(); }
} g_join;
}  // namespace

}  // namespace output::detail
QEL_STANDALONE_ABI_END
}  // namespace qel

const qel_output_path_v1* qel_output_process_path_v1(void) { return &qel::output::detail::kOwnPath; }
