// The library's single output path: what a host that configures nothing sees,
// what an installed sink receives and on which thread, levels, folding of
// repeated lines, the dependency's messages, and that a writer never waits:
// not for a slow sink, a full pipe, a closed pipe, nor across fork().
#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "qel/output/Output.hpp"
#include "qel/solver/vanteq.hpp"
#include "support/CapturedOutput.hpp"

// Allocation counting for the calling thread only, so that gtest's own work
// and the output thread do not count. The sanitizers bring their own
// allocator, which this must not replace.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define QEL_COUNT_ALLOCATIONS 1
namespace {
thread_local bool t_counting = false;
thread_local long t_allocations = 0;
}  // namespace
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* malloc(size_t size) {
    if (t_counting) ++t_allocations;
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t n, size_t size) {
    if (t_counting) ++t_allocations;
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, size_t size) {
    if (t_counting) ++t_allocations;
    return __libc_realloc(p, size);
}
#endif

namespace qel::output {
namespace {

using qel::test::CaptureStderr;
using qel::test::CaptureStdout;
using qel::test::GetCapturedStderr;
using qel::test::GetCapturedStdout;

struct Message {
    Level level;
    std::string text;
    std::string thread;  // name of the thread the sink ran on
};

std::string threadName() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

// Restores the default output after each test, whatever it changed.
class OutputTest : public testing::Test {
protected:
    void TearDown() override {
        setSink(nullptr);
        setMinimumLevel(Level::kTrace);
        setRepeatInterval(std::chrono::milliseconds(0));
        detail::setRepeatClock(nullptr);
        flush();
    }
    // Installs a sink that records into `messages`; read them after flush().
    void record() {
        setSink([this](Level level, const char* text) { messages.push_back({level, text, threadName()}); });
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const Message& m : messages) out.push_back(m.text);
        return out;
    }
    std::vector<Message> messages;
};

TEST_F(OutputTest, WithNothingConfiguredEachMessageGoesUnchangedToItsStream) {
    CaptureStdout();
    CaptureStderr();
    write(Level::kInfo, Stream::kStdout, "SocketCAN adapter created.");
    write(Level::kTrace, Stream::kStderr, "Qelmark");
    write(Level::kDebug, Stream::kStdout, "[ReadData]", false);
    writef(Level::kWarning, Stream::kStdout, "继续运行将超出关节%d限位，请返回！", 3);
    writef(Level::kError, Stream::kStderr, "Failed to get chain from %s to %s.", "base_link", "x");
    writeRepeated(Level::kTrace, Stream::kStdout, "key", "电机掉线！掉线电机编号：2 5 ");
    writeRepeated(Level::kTrace, Stream::kStdout, "key", "电机掉线！掉线电机编号：2 5 ");
    const std::string out = GetCapturedStdout();
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(out,
              "SocketCAN adapter created.\n"
              "[ReadData]"
              "继续运行将超出关节3限位，请返回！\n"
              "电机掉线！掉线电机编号：2 5 \n"
              "电机掉线！掉线电机编号：2 5 \n");
    EXPECT_EQ(err, "Qelmark\nFailed to get chain from base_link to x.\n");
}

TEST_F(OutputTest, AnInstalledSinkGetsLevelAndTextOnTheOutputThreadAndTheStreamsGetNothing) {
    record();
    CaptureStdout();
    CaptureStderr();
    write(Level::kInfo, Stream::kStdout, "Init completed");
    writef(Level::kError, Stream::kStderr, "out of ilimit! %8.8f", 0.5);
    write(Level::kDebug, Stream::kStdout, "[ReadData]", false);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(GetCapturedStderr(), "");
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].level, Level::kInfo);
    EXPECT_EQ(messages[0].text, "Init completed");
    EXPECT_EQ(messages[1].level, Level::kError);
    EXPECT_EQ(messages[1].text, "out of ilimit! 0.50000000");
    EXPECT_EQ(messages[2].text, "[ReadData]");
    for (const Message& m : messages) EXPECT_EQ(m.thread, "qel-output") << "never the writer's thread";

    // An empty sink brings the default back for every later line; the sink
    // it replaced gets nothing more.
    setSink(nullptr);
    CaptureStdout();
    write(Level::kInfo, Stream::kStdout, "finish");
    EXPECT_EQ(GetCapturedStdout(), "finish\n");
    EXPECT_EQ(messages.size(), 3u);
}

TEST_F(OutputTest, ASinkChangeTakesEffectBetweenTheLinesWrittenBeforeAndAfterIt) {
    std::vector<std::string> first;
    std::vector<std::string> second;
    // The first sink is slow, so that lines are still queued when the
    // second is installed.
    setSink([&](Level, const char* text) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        first.emplace_back(text);
    });
    for (int i = 0; i < 20; ++i) writef(Level::kInfo, Stream::kStdout, "a%d", i);
    setSink([&](Level, const char* text) { second.emplace_back(text); });
    for (int i = 0; i < 20; ++i) writef(Level::kInfo, Stream::kStdout, "b%d", i);
    flush();
    ASSERT_EQ(first.size(), 20u);
    ASSERT_EQ(second.size(), 20u);
    EXPECT_EQ(first.back(), "a19");
    EXPECT_EQ(second.front(), "b0");
}

TEST_F(OutputTest, MessagesBelowTheMinimumLevelAreDropped) {
    record();
    setMinimumLevel(Level::kWarning);
    EXPECT_EQ(minimumLevel(), Level::kWarning);
    write(Level::kTrace, Stream::kStderr, "Qelmark");
    writeRepeated(Level::kTrace, Stream::kStderr, "k", "Qelmark");
    write(Level::kInfo, Stream::kStdout, "finish");
    writef(Level::kDebug, Stream::kStdout, "%s", "debug");
    write(Level::kWarning, Stream::kStdout, "到YAW最大值！");
    write(Level::kError, Stream::kStderr, "Failed to URDF XML.");
    flush();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, "到YAW最大值！");
    EXPECT_EQ(messages[1].level, Level::kError);

    // The same holds for the default streams.
    setSink(nullptr);
    CaptureStdout();
    write(Level::kInfo, Stream::kStdout, "finish");
    EXPECT_EQ(GetCapturedStdout(), "");
}

int64_t g_fake_now_ns = 0;
int64_t fakeNow() { return g_fake_now_ns; }

TEST_F(OutputTest, RepeatedLinesAreFoldedPerKindWithACountOfWhatWasHeldBack) {
    record();
    detail::setRepeatClock(&fakeNow);
    g_fake_now_ns = 1'000'000'000;
    setRepeatInterval(std::chrono::milliseconds(1000));
    const char* banner = "banner";
    const char* offline = "offline";

    writeRepeated(Level::kTrace, Stream::kStderr, banner, "Qelmark");           // passes
    g_fake_now_ns += 100'000'000;
    writeRepeated(Level::kTrace, Stream::kStderr, banner, "Qelmark");           // folded
    writeRepeated(Level::kTrace, Stream::kStdout, offline, "电机掉线！3 ");     // own kind: passes
    writeRepeated(Level::kTrace, Stream::kStderr, banner, "Qelmark");           // folded
    write(Level::kTrace, Stream::kStderr, "Qelmark");                          // not a repeat line
    g_fake_now_ns += 899'000'000;                                              // 999 ms after the first
    writeRepeated(Level::kTrace, Stream::kStderr, banner, "Qelmark");           // still folded
    g_fake_now_ns += 1'000'000;                                                // 1000 ms
    writeRepeated(Level::kTrace, Stream::kStderr, banner, "Qelmark");           // passes, 3 folded
    writeRepeated(Level::kTrace, Stream::kStderr, banner, "Qelmark");           // folded again
    g_fake_now_ns += 1'000'000'000;
    writeRepeated(Level::kTrace, Stream::kStdout, offline, "电机掉线！3 ");     // passes, none folded
    flush();
    EXPECT_EQ(texts(), (std::vector<std::string>{"Qelmark", "电机掉线！3 ", "Qelmark",
                                                 "Qelmark (3 similar lines folded)", "电机掉线！3 "}));

    // Folding off again: every line passes.
    messages.clear();
    setRepeatInterval(std::chrono::milliseconds(0));
    for (int i = 0; i < 3; ++i) writeRepeated(Level::kTrace, Stream::kStderr, banner, "Qelmark");
    flush();
    EXPECT_EQ(messages.size(), 3u);
}

TEST_F(OutputTest, LongMessagesAreCutAtTheBufferNotOverrun) {
    record();
    const std::string long_text(3 * kMaxMessage, 'x');
    const std::string too_long(3 * kMaxLine, 'y');
    writef(Level::kInfo, Stream::kStdout, "%s", long_text.c_str());
    write(Level::kInfo, Stream::kStdout, long_text.c_str());
    write(Level::kInfo, Stream::kStdout, too_long.c_str());
    write(Level::kInfo, Stream::kStdout, "");
    flush();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].text, std::string(kMaxMessage, 'x'));
    EXPECT_EQ(messages[1].text, long_text) << "plain texts are passed on whole";
    EXPECT_EQ(messages[2].text, std::string(kMaxLine, 'y'));
    EXPECT_EQ(messages[3].text, "");
}

TEST_F(OutputTest, LevelNamesRoundTrip) {
    const std::pair<Level, const char*> names[] = {{Level::kTrace, "trace"},
                                                   {Level::kDebug, "debug"},
                                                   {Level::kInfo, "info"},
                                                   {Level::kWarning, "warning"},
                                                   {Level::kError, "error"}};
    for (const auto& [level, name] : names) {
        EXPECT_STREQ(levelName(level), name);
        Level parsed = Level::kError;
        ASSERT_TRUE(parseLevel(name, &parsed)) << name;
        EXPECT_EQ(parsed, level);
    }
    Level untouched = Level::kInfo;
    EXPECT_FALSE(parseLevel("WARN", &untouched));
    EXPECT_FALSE(parseLevel(nullptr, &untouched));
    EXPECT_EQ(untouched, Level::kInfo);
}

TEST_F(OutputTest, TheDescriptionParsersWarningsTakeTheSamePath) {
    record();
    // The embedded description gives its base link an inertia, which the
    // parser warns about on every construction.
    qel::KinematicSolver solver;
    flush();
    bool seen = false;
    for (const Message& m : messages) {
        if (m.text.find("root link base_link has an inertia") != std::string::npos) {
            EXPECT_EQ(m.level, Level::kWarning);
            seen = true;
        }
    }
    EXPECT_TRUE(seen);

    messages.clear();
    setMinimumLevel(Level::kError);
    qel::KinematicSolver quiet;
    flush();
    EXPECT_TRUE(messages.empty()) << messages.front().text;
}

// Each writer's lines arrive in its own order, to one sink or the other;
// what the queue could not take is counted, never lost silently.
TEST_F(OutputTest, ConcurrentWritersAndSinkChangesKeepOrderAndCountWhatIsDropped) {
    constexpr int kWriters = 4;
    constexpr int kEach = 5000;
    std::vector<int> last_seen(kWriters, -1);
    long delivered = 0;
    long out_of_order = 0;
    auto sink = [&](Level, const char* text) {
        int writer = 0;
        int index = 0;
        if (std::sscanf(text, "%d %d", &writer, &index) != 2) return;
        ++delivered;
        if (index <= last_seen[writer]) ++out_of_order;
        last_seen[writer] = index;
    };
    const uint64_t dropped_before = droppedLines();
    setSink(sink);
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([w] {
            for (int i = 0; i < kEach; ++i) writef(Level::kInfo, Stream::kStdout, "%d %d", w, i);
        });
    }
    for (int i = 0; i < 200; ++i) setSink(sink);
    for (std::thread& t : writers) t.join();
    flush();
    EXPECT_EQ(out_of_order, 0);
    EXPECT_EQ(delivered + static_cast<long>(droppedLines() - dropped_before), kWriters * kEach);
}

// A sink that does not return holds up the output thread and nothing else:
// the writer goes on (its lines queue, then are dropped and counted), and the
// first line that passes afterwards says how many were dropped.
TEST_F(OutputTest, ABlockedSinkNeverHoldsUpTheWriter) {
    std::atomic<bool> open{false};
    std::vector<std::string> got;
    std::atomic<bool> waited_too_long{false};
    setSink([&](Level, const char* text) {
        got.emplace_back(text);
        if (got.size() == 1) {
            // Opened by the test once the writer is done; a writer that
            // waited for this sink would never get there.
            for (int ms = 0; !open && ms < 60000; ++ms) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            waited_too_long = !open;
        }
    });
    const uint64_t dropped_before = droppedLines();
    write(Level::kInfo, Stream::kStdout, "held");
    constexpr int kLines = 3000;
    for (int i = 0; i < kLines; ++i) writef(Level::kInfo, Stream::kStdout, "line %d", i);
    open = true;
    flush();
    const uint64_t dropped = droppedLines() - dropped_before;
    EXPECT_GT(dropped, 0u) << "3000 lines behind a blocked sink must overflow the queue";
    write(Level::kInfo, Stream::kStdout, "after");
    flush();
    EXPECT_FALSE(waited_too_long);
    ASSERT_EQ(got.size(), 1 + kLines - dropped + 1);
    // Every line that passed is in order, and one that follows a gap says
    // how many lines the gap held.
    int next = 0;
    uint64_t reported = 0;
    for (std::size_t i = 1; i < got.size(); ++i) {
        int number = kLines;
        unsigned long long gap = 0;
        char tail[64] = {};
        const bool numbered = std::sscanf(got[i].c_str(), "line %d%63[^\n]", &number, tail) >= 1;
        if (!numbered) std::sscanf(got[i].c_str(), "after%63[^\n]", tail);
        if (tail[0] != '\0') {
            ASSERT_EQ(std::sscanf(tail, " (%llu lines dropped before this one)", &gap), 1) << got[i];
        }
        EXPECT_EQ(number, next + static_cast<int>(gap)) << got[i];
        next = number + 1;
        reported += gap;
    }
    EXPECT_EQ(reported, dropped);
    EXPECT_EQ(next, kLines + 1) << "the last line is the one after the writing";
}

// Standard error a pipe: first full (nobody reads it), then with its reader
// gone. The writer returns at once in both cases, the full pipe gets every
// line once it is read, and the closed one neither blocks nor kills the
// process (SIGPIPE).
TEST_F(OutputTest, AFullOrClosedStandardErrorNeverStopsTheWriter) {
    flush();
    const int saved = dup(2);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    // Fill the pipe to the last byte.
    fcntl(pipe_fds[1], F_SETFL, O_NONBLOCK);
    const std::string filler(4096, '.');
    std::size_t filled = 0;
    for (;;) {
        const ssize_t n = ::write(pipe_fds[1], filler.data(), filler.size());
        if (n > 0) {
            filled += static_cast<std::size_t>(n);
        } else {
            break;
        }
    }
    fcntl(pipe_fds[1], F_SETFL, 0);
    dup2(pipe_fds[1], 2);
    for (int i = 0; i < 50; ++i) writef(Level::kError, Stream::kStderr, "blocked %d", i);
    // Reached: no line waited for the pipe. Now read it all.
    std::string read_back;
    std::thread reader([&] {
        char buffer[65536];
        ssize_t n;
        while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) read_back.append(buffer, static_cast<std::size_t>(n));
    });
    flush();
    dup2(saved, 2);
    close(pipe_fds[1]);
    reader.join();
    close(pipe_fds[0]);
    std::string expected(filled, '.');
    for (int i = 0; i < 50; ++i) expected += "blocked " + std::to_string(i) + "\n";
    EXPECT_EQ(read_back, expected);

    // The reader gone.
    ASSERT_EQ(pipe(pipe_fds), 0);
    close(pipe_fds[0]);
    dup2(pipe_fds[1], 2);
    write(Level::kError, Stream::kStderr, "into a closed pipe");
    flush();
    dup2(saved, 2);
    close(pipe_fds[1]);
    close(saved);
    CaptureStderr();
    write(Level::kError, Stream::kStderr, "still here");
    EXPECT_EQ(GetCapturedStderr(), "still here\n");
}

// A child of fork() writes its own lines, and only those: what the parent
// had queued (here behind a standard error nobody reads) stays the parent's.
TEST_F(OutputTest, AForkedChildWritesItsOwnLinesOnly) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer ends a child of a multi-threaded process that starts a thread";
#endif
    CaptureStdout();
    const int saved_err = dup(2);
    int err_pipe[2];
    int child_out[2];
    ASSERT_EQ(pipe(err_pipe), 0);
    ASSERT_EQ(pipe(child_out), 0);
    fcntl(err_pipe[1], F_SETFL, O_NONBLOCK);
    const std::string filler(4096, '.');
    while (::write(err_pipe[1], filler.data(), filler.size()) > 0) {
    }
    fcntl(err_pipe[1], F_SETFL, 0);
    dup2(err_pipe[1], 2);
    write(Level::kError, Stream::kStderr, "parent, stuck");
    write(Level::kInfo, Stream::kStdout, "parent, queued");
    const pid_t child = fork();
    if (child == 0) {
        dup2(child_out[1], 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);  // not the parent's full pipe
        write(Level::kInfo, Stream::kStdout, "child");
#if defined(__SANITIZE_ADDRESS__)
        // The leak check at exit cannot stop the parent's threads, which do
        // not exist here, and would report false leaks.
        flush();
        std::_Exit(0);
#else
        std::exit(0);  // the lines still queued are written at exit
#endif
    }
    ASSERT_GT(child, 0);
    close(child_out[1]);
    std::string from_child;
    char buffer[4096];
    ssize_t n;
    while ((n = read(child_out[0], buffer, sizeof buffer)) > 0) from_child.append(buffer, static_cast<std::size_t>(n));
    close(child_out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(from_child, "child\n");

    std::thread reader([&] {
        while (read(err_pipe[0], buffer, sizeof buffer) > 0) {
        }
    });
    EXPECT_EQ(GetCapturedStdout(), "parent, queued\n");
    dup2(saved_err, 2);
    close(err_pipe[1]);
    reader.join();
    close(err_pipe[0]);
    close(saved_err);
}

#ifdef QEL_COUNT_ALLOCATIONS
TEST_F(OutputTest, WritingAllocatesNothing) {
    long delivered = 0;
    setSink([&](Level, const char*) { ++delivered; });
    // Warm-up outside the count (the sink is installed once, by the host).
    writef(Level::kInfo, Stream::kStdout, "%s %d", "warm", 1);
    flush();
    t_allocations = 0;
    t_counting = true;
    for (int i = 0; i < 100; ++i) {
        write(Level::kTrace, Stream::kStderr, "Qelmark");
        writef(Level::kTrace, Stream::kStdout, "电机掉线！掉线电机编号：%d ", i);
        writeRepeated(Level::kTrace, Stream::kStderr, "k", "Qelmark");
    }
    t_counting = false;
    flush();
    EXPECT_EQ(t_allocations, 0);
    EXPECT_EQ(delivered, 301);

    // The default streams, with folding on.
    setSink(nullptr);
    setRepeatInterval(std::chrono::milliseconds(1000));
    CaptureStdout();
    t_allocations = 0;
    t_counting = true;
    for (int i = 0; i < 100; ++i) {
        writef(Level::kInfo, Stream::kStdout, "%d", i);
        writeRepeated(Level::kTrace, Stream::kStdout, "k2", "电机掉线！掉线电机编号：3 ");
    }
    t_counting = false;
    GetCapturedStdout();
    EXPECT_EQ(t_allocations, 0);
}
#endif

}  // namespace
}  // namespace qel::output
