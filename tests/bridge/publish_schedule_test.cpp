// Which control cycles joint_states carries and how every slot that fell due
// is accounted for. The due cycles are computed here with whole numbers from
// the rule "slot k falls due at cycle ceil(k · 200 / rate)", rates given as
// fractions, never from the schedule under test.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "bridge/PublishSchedule.hpp"

namespace qel::test {
namespace {

using ros2::PublishSchedule;

// A rate of p / q samples a second.
struct Rate {
    uint64_t p, q;
    double hz() const { return static_cast<double>(p) / static_cast<double>(q); }
    uint64_t dueCycle(uint64_t slot) const { return (slot * 200 * q + p - 1) / p; }
    uint64_t slotAt(uint64_t cycle) const { return cycle * p / (200 * q); }
};

constexpr Rate kRates[] = {{200, 1}, {100, 1}, {50, 1}, {30, 1}, {15, 2}, {1, 1}, {333, 2}};

TEST(PublishSchedule, AThreadThatLooksEveryCyclePublishesEachSlotAtItsOwnCycleAndSkipsNone) {
    for (const Rate rate : kRates) {
        PublishSchedule schedule(rate.hz());
        uint64_t skipped = 0;
        std::vector<uint64_t> published;
        for (uint64_t cycle = 1; cycle <= 4000; ++cycle) {
            if (schedule.take(cycle, &skipped)) published.push_back(cycle);
            EXPECT_EQ(schedule.nextDue(), rate.dueCycle(rate.slotAt(cycle) + 1)) << rate.hz() << " at " << cycle;
        }
        EXPECT_EQ(skipped, 0u) << rate.hz();
        ASSERT_FALSE(published.empty());
        EXPECT_EQ(published.front(), 1u) << "the first look publishes";
        std::vector<uint64_t> expected{1};
        for (uint64_t k = rate.slotAt(1) + 1; rate.dueCycle(k) <= 4000; ++k) expected.push_back(rate.dueCycle(k));
        EXPECT_EQ(published, expected) << rate.hz();
    }
    // 30 a second: the average is exact, the spacing six or seven cycles.
    PublishSchedule thirty(30.0);
    uint64_t skipped = 0;
    std::vector<uint64_t> published;
    for (uint64_t cycle = 0; cycle <= 41; ++cycle) {
        if (thirty.take(cycle, &skipped)) published.push_back(cycle);
    }
    EXPECT_EQ(published, (std::vector<uint64_t>{0, 7, 14, 20, 27, 34, 40}));
}

TEST(PublishSchedule, ASlotIsSkippedOnlyWhenNoLookFellInItsWindowAndEverySlotIsCountedOnce) {
    // 100 a second looked at by hand: cycles 4 and 6 pass unseen, then 12 and 14.
    {
        PublishSchedule schedule(100.0);
        uint64_t skipped = 0;
        std::vector<uint64_t> published;
        for (const uint64_t cycle : {1, 2, 3, 3, 9, 10, 11, 16}) {
            if (schedule.take(cycle, &skipped)) published.push_back(cycle);
        }
        EXPECT_EQ(published, (std::vector<uint64_t>{1, 2, 9, 10, 16}));
        EXPECT_EQ(skipped, 4u);
        EXPECT_EQ(schedule.nextDue(), 18u);
    }
    // Any pattern of looks, against the rule: a slot k is skipped when no
    // look saw a cycle from its due cycle up to the next slot's; a look
    // publishes when it is the first to see a cycle of a newer slot.
    std::mt19937_64 random(20);
    for (const Rate rate : kRates) {
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<uint64_t> looks;
            uint64_t cycle = 1 + random() % 50;
            const uint64_t longest_gap = 1 + random() % 12;
            for (int n = 0; n < 500; ++n) {
                looks.push_back(cycle);
                cycle += random() % (longest_gap + 1);  // 0: the same cycle seen again
            }
            PublishSchedule schedule(rate.hz());
            uint64_t skipped = 0;
            uint64_t published = 0;
            for (const uint64_t look : looks) published += schedule.take(look, &skipped) ? 1 : 0;

            const std::set<uint64_t> seen(looks.begin(), looks.end());
            uint64_t expected_published = 0;
            uint64_t expected_skipped = 0;
            for (uint64_t k = rate.slotAt(looks.front()); k <= rate.slotAt(looks.back()); ++k) {
                const uint64_t from = k == rate.slotAt(looks.front()) ? looks.front() : rate.dueCycle(k);
                const auto look = seen.lower_bound(from);
                const bool in_window = look != seen.end() && *look < rate.dueCycle(k + 1);
                (in_window ? expected_published : expected_skipped) += 1;
            }
            EXPECT_EQ(published, expected_published) << rate.hz() << " trial " << trial;
            EXPECT_EQ(skipped, expected_skipped) << rate.hz() << " trial " << trial;
            EXPECT_EQ(published + skipped, rate.slotAt(looks.back()) - rate.slotAt(looks.front()) + 1)
                << "every slot from the first look's to the last look's, once";
        }
    }
}

}  // namespace
}  // namespace qel::test
