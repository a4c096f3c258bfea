// The library's single output path: what a host that configures nothing sees,
// what an installed sink receives, levels, folding of repeated lines, the
// dependency's messages, threads and allocations.
#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "qel/output/Output.hpp"
#include "qel/solver/vanteq.hpp"

// Allocation counting for the calling thread only, so that gtest's own work
// on other threads does not count. The sanitizers bring their own allocator,
// which this must not replace.
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

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

struct Message {
    Level level;
    std::string text;
};

// Restores the default output after each test, whatever it changed.
class OutputTest : public testing::Test {
protected:
    void TearDown() override {
        setSink(nullptr);
        setMinimumLevel(Level::kTrace);
        setRepeatInterval(std::chrono::milliseconds(0));
        detail::setRepeatClock(nullptr);
    }
    // Installs a sink that records into `messages`.
    void record() {
        setSink([this](Level level, const char* text) { messages.push_back({level, text}); });
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

TEST_F(OutputTest, AnInstalledSinkGetsLevelAndTextAndTheStreamsGetNothing) {
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

    // An empty sink brings the default back.
    setSink(nullptr);
    CaptureStdout();
    write(Level::kInfo, Stream::kStdout, "finish");
    EXPECT_EQ(GetCapturedStdout(), "finish\n");
    EXPECT_EQ(messages.size(), 3u);
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

    std::vector<std::string> texts;
    for (const Message& m : messages) texts.push_back(m.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"Qelmark", "电机掉线！3 ", "Qelmark",
                                               "Qelmark (3 similar lines folded)",
                                               "电机掉线！3 "}));

    // Folding off again: every line passes.
    messages.clear();
    setRepeatInterval(std::chrono::milliseconds(0));
    for (int i = 0; i < 3; ++i) writeRepeated(Level::kTrace, Stream::kStderr, banner, "Qelmark");
    EXPECT_EQ(messages.size(), 3u);
}

TEST_F(OutputTest, LongMessagesAreCutAtTheBufferNotOverrun) {
    record();
    const std::string long_text(3 * kMaxMessage, 'x');
    writef(Level::kInfo, Stream::kStdout, "%s", long_text.c_str());
    write(Level::kInfo, Stream::kStdout, long_text.c_str());
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, std::string(kMaxMessage, 'x'));
    EXPECT_EQ(messages[1].text, long_text) << "plain texts are passed on whole";
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
    EXPECT_TRUE(messages.empty()) << messages.front().text;
}

TEST_F(OutputTest, ConcurrentWritersAndSinkChangesLoseNothing) {
    std::atomic<long> first{0};
    std::atomic<long> second{0};
    const Sink a = [&](Level, const char*) { ++first; };
    const Sink b = [&](Level, const char*) { ++second; };
    setSink(a);
    constexpr int kWriters = 4;
    constexpr int kEach = 5000;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([w] {
            for (int i = 0; i < kEach; ++i) writef(Level::kInfo, Stream::kStdout, "%d %d", w, i);
        });
    }
    for (int i = 0; i < 200; ++i) setSink(i % 2 ? a : b);
    for (std::thread& t : writers) t.join();
    EXPECT_EQ(first + second, kWriters * kEach);
}

#ifdef QEL_COUNT_ALLOCATIONS
TEST_F(OutputTest, WritingAllocatesNothing) {
    long delivered = 0;
    setSink([&](Level, const char*) { ++delivered; });
    // Warm-up outside the count (the sink is installed once, by the host).
    writef(Level::kInfo, Stream::kStdout, "%s %d", "warm", 1);
    t_allocations = 0;
    t_counting = true;
    for (int i = 0; i < 100; ++i) {
        write(Level::kTrace, Stream::kStderr, "Qelmark");
        writef(Level::kTrace, Stream::kStdout, "电机掉线！掉线电机编号：%d ", i);
        writeRepeated(Level::kTrace, Stream::kStderr, "k", "Qelmark");
    }
    t_counting = false;
    EXPECT_EQ(t_allocations, 0);
    EXPECT_EQ(delivered, 301);

    // The default streams, once their buffers exist.
    setSink(nullptr);
    setRepeatInterval(std::chrono::milliseconds(1000));
    CaptureStdout();
    write(Level::kInfo, Stream::kStdout, "warm");
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
