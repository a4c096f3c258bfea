// The pieces of the real-time support that need no controller: the cycle
// schedule, the hand-overs between threads, and how refused settings are
// reported.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qel/realtime/CycleClock.hpp"
#include "qel/realtime/CycleSignal.hpp"
#include "qel/realtime/PiMutex.hpp"
#include "qel/realtime/SampleRing.hpp"
#include "qel/realtime/Snapshot.hpp"
#include "qel/realtime/ThreadSettings.hpp"
#include "qel/realtime/TripleBuffer.hpp"
#include "support/CapturedOutput.hpp"

namespace qel::realtime {
namespace {

constexpr int64_t kPeriod = 5000000;  // ns

TEST(Schedule, KeepsAbsoluteDeadlinesAndReanchorsAfterAnOverrun) {
    Schedule s{kPeriod};  // the first cycle started at 0
    bool missed = true;
    // Woken late by 300 µs: the next cycle is still due at 5 ms, and the one
    // after at 10 ms, so the lateness does not add up.
    EXPECT_EQ(s.next(4700000, kPeriod, &missed), 5000000);
    EXPECT_FALSE(missed);
    EXPECT_EQ(s.deadline_ns, 10000000);
    EXPECT_EQ(s.next(9999999, kPeriod, &missed), 10000000);
    EXPECT_FALSE(missed);
    // Finishing exactly on the deadline is not an overrun.
    EXPECT_EQ(s.next(15000000, kPeriod, &missed), 15000000);
    EXPECT_FALSE(missed);
    // A cycle ending at 32 ms overran its deadline of 20 ms: the next starts
    // at once, and the schedule counts from there, without the two cycles
    // that could not run.
    EXPECT_EQ(s.next(32000000, kPeriod, &missed), 32000000);
    EXPECT_TRUE(missed);
    EXPECT_EQ(s.deadline_ns, 37000000);
    EXPECT_EQ(s.next(33000000, kPeriod, &missed), 37000000);
    EXPECT_FALSE(missed);
}

TEST(CycleClock, WaitsForTheNextDeadlineAndReportsAnOverrun) {
    // A call made before the deadline sleeps to it; one made after reports
    // the overrun. Which of the two a call was is read off the clock around
    // it, so a preempted test thread cannot make the check wrong.
    constexpr int64_t kPeriod = 20000000;  // 20 ms
    CycleClock clock(kPeriod);
    clock.start();
    const int64_t first = clock.cycleStart();
    const int64_t asked = monotonicNanos();
    const bool missed = clock.waitNextCycle();
    if (missed) {
        EXPECT_GT(monotonicNanos(), first + kPeriod) << "an overrun reported before the deadline";
    } else {
        EXPECT_LE(asked, first + kPeriod) << "a call after the deadline slept";
        EXPECT_GE(clock.cycleStart(), first + kPeriod) << "never woken before its deadline";
        EXPECT_EQ(clock.cycleLateness(), clock.cycleStart() - (first + kPeriod));
    }
    const int64_t late = monotonicNanos() + 3 * kPeriod;
    while (monotonicNanos() < late) {
    }
    // Due one period after the first deadline, or after the re-anchored start.
    const int64_t due = (missed ? clock.cycleStart() : first + kPeriod) + kPeriod;
    EXPECT_TRUE(clock.waitNextCycle()) << "three periods of work overran the cycle";
    // Started at once, at least the three periods of work after its due time.
    EXPECT_GE(clock.cycleLateness(), late - due);
    EXPECT_EQ(clock.cycleLateness(), clock.cycleStart() - due);
}

struct Pose {
    double v[6];
    uint64_t id;
};

TEST(TripleBuffer, TheReaderGetsTheNewestValueOnceAndNeverATornOne) {
    TripleBuffer<Pose> buffer;
    Pose got{};
    EXPECT_FALSE(buffer.take(&got)) << "nothing published";
    buffer.publish(Pose{{1, 1, 1, 1, 1, 1}, 1});
    buffer.publish(Pose{{2, 2, 2, 2, 2, 2}, 2});
    ASSERT_TRUE(buffer.take(&got));
    EXPECT_EQ(got.id, 2u) << "the older value was overwritten";
    EXPECT_FALSE(buffer.take(&got)) << "taken once";
    EXPECT_EQ(got.id, 2u) << "a failed take leaves the value";

    // A writer and a reader at full speed: every value taken is whole, and
    // ids never go backwards.
    constexpr uint64_t kValues = 200000;
    std::thread writer([&] {
        for (uint64_t id = 3; id <= kValues; ++id) {
            Pose& slot = buffer.writeSlot();
            for (double& x : slot.v) x = static_cast<double>(id);
            slot.id = id;
            buffer.publish();
        }
    });
    uint64_t last = 2;
    bool whole = true;
    bool ordered = true;
    while (last < kValues) {
        if (!buffer.take(&got)) continue;
        for (double x : got.v) whole = whole && x == static_cast<double>(got.id);
        ordered = ordered && got.id > last;
        last = got.id;
    }
    writer.join();
    EXPECT_TRUE(whole);
    EXPECT_TRUE(ordered);
}

// Any number of readers against one writer that never waits: every value
// read is one that was stored, whole, and a reader never goes back in time.
TEST(Snapshot, ReadersGetWholeValuesAndTheWriterNeverWaits) {
    Snapshot<Pose> snapshot;
    EXPECT_EQ(snapshot.load().id, 0u) << "all zero before the first store";
    constexpr uint64_t kValues = 100000;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<int> backwards{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            uint64_t last = 0;
            while (!done) {
                const Pose got = snapshot.load();
                for (double x : got.v) {
                    if (x != static_cast<double>(got.id)) ++torn;
                }
                if (got.id < last) ++backwards;
                last = got.id;
            }
        });
    }
    for (uint64_t id = 1; id <= kValues; ++id) {
        Pose value;
        for (double& x : value.v) x = static_cast<double>(id);
        value.id = id;
        snapshot.store(value);
    }
    done = true;
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(backwards.load(), 0);
    EXPECT_EQ(snapshot.load().id, kValues);
}

// Mutual exclusion as any mutex; priority inheritance where the kernel has
// it (reported, not required: some kernels do not).
TEST(PiMutex, ExcludesAndSaysWhetherItInheritsPriority) {
    PiMutex mutex;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                std::lock_guard<PiMutex> guard(mutex);
                ++counter;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(counter, 80000);
    ASSERT_TRUE(mutex.try_lock());
    bool taken_elsewhere = true;
    std::thread([&] { taken_elsewhere = mutex.try_lock(); }).join();
    EXPECT_FALSE(taken_elsewhere) << "held by this thread";
    mutex.unlock();
    std::printf("[ MEASURED ] priority inheritance: %s\n", mutex.inheritsPriority() ? "yes" : "no (plain mutex)");
}

TEST(SampleRing, KeepsOrderAndDropsWhatDoesNotFit) {
    SampleRing<int, 4> ring;
    int out[8] = {};
    EXPECT_EQ(ring.take(out, 8), 0u);
    for (int i = 1; i <= 6; ++i) ring.push(i);
    EXPECT_EQ(ring.dropped(), 2u) << "the writer never overwrites what was not taken";
    ASSERT_EQ(ring.take(out, 3), 3u);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[2], 3);
    ring.push(7);
    ASSERT_EQ(ring.take(out, 8), 2u);
    EXPECT_EQ(out[0], 4);
    EXPECT_EQ(out[1], 7);
}

TEST(CycleSignal, WakesAWaiterForEveryPublicationAndTimesOutWithoutOne) {
    CycleSignal signal;
    EXPECT_EQ(signal.count(), 0u);
    signal.publish();  // nobody waits: counted all the same
    EXPECT_EQ(signal.count(), 1u);
    // A publication the waiter has not seen yet returns at once.
    EXPECT_EQ(signal.waitPast(0, 60'000'000'000), 1u);
    // None comes: the wait lasts its time-out, never less.
    const int64_t before = monotonicNanos();
    EXPECT_EQ(signal.waitPast(1, 20'000'000), 1u);
    EXPECT_GE(monotonicNanos() - before, 20'000'000);
    EXPECT_EQ(signal.waitPast(1, 0), 1u);
    EXPECT_EQ(signal.waitPast(1, -5), 1u);

    // A writer publishing at its own pace, now and then after a pause, and a
    // reader waiting for each next count: every wait ends on a publication,
    // and the reader gets to the last one. A lost wake-up would leave the
    // reader asleep for the whole time-out while the writer had long moved
    // on.
    constexpr uint32_t kPublications = 2000;
    constexpr int64_t kTimeout = 2'000'000'000;
    uint32_t timeouts = 0;
    uint32_t seen = signal.count();
    std::thread reader([&] {
        while (seen != 1 + kPublications) {
            const int64_t asleep = monotonicNanos();
            const uint32_t now = signal.waitPast(seen, kTimeout);
            if (monotonicNanos() - asleep >= kTimeout) ++timeouts;
            EXPECT_NE(now, seen);
            seen = now;
        }
    });
    for (uint32_t i = 0; i < kPublications; ++i) {
        signal.publish();
        if (i % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    reader.join();
    EXPECT_EQ(timeouts, 0u) << "a publication did not wake the waiter";
    EXPECT_EQ(seen, 1 + kPublications);
}

TEST(ThreadSettings, RefusalsNameTheSettingAndFollowTheHostsChoice) {
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop) std::this_thread::yield();
    });
    const pthread_t handle = worker.native_handle();

    EXPECT_EQ(applyScheduling(handle, ThreadSettings{}, "worker"), "") << "nothing asked, nothing refused";

    ThreadSettings too_high;
    too_high.policy = ThreadSettings::Policy::kFifo;
    too_high.priority = 100;
    const std::string priority = applyScheduling(handle, too_high, "worker");
    EXPECT_NE(priority.find("worker"), std::string::npos) << priority;
    EXPECT_NE(priority.find("priority 100"), std::string::npos) << priority;

    ThreadSettings no_such_cpu;
    no_such_cpu.cpus = {CPU_SETSIZE - 1};
    const std::string cpu = applyScheduling(handle, no_such_cpu, "worker");
    EXPECT_NE(cpu.find("CPU 1023"), std::string::npos) << cpu;
    no_such_cpu.cpus = {-1};
    EXPECT_NE(applyScheduling(handle, no_such_cpu, "worker").find("CPU -1 does not exist"), std::string::npos);

    ThreadSettings pinned;
    pinned.cpus = {0};
    EXPECT_EQ(applyScheduling(handle, pinned, "worker"), "");
    cpu_set_t set;
    ASSERT_EQ(pthread_getaffinity_np(handle, sizeof set, &set), 0);
    EXPECT_TRUE(CPU_ISSET(0, &set));
    EXPECT_EQ(CPU_COUNT(&set), 1);
    stop = true;
    worker.join();

    EXPECT_NO_THROW(handleRefusal(OnRefusal::kThrow, ""));
    try {
        handleRefusal(OnRefusal::kThrow, priority);
        ADD_FAILURE() << "a refusal the host chose to be an error must throw";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(priority), std::string::npos);
    }
    qel::test::CaptureStderr();
    handleRefusal(OnRefusal::kWarn, priority);
    const std::string err = qel::test::GetCapturedStderr();
    EXPECT_EQ(err, "Warning: real-time setting refused, running without it: " + priority + "\n");
}

}  // namespace
}  // namespace qel::realtime
