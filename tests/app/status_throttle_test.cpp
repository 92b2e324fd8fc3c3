#include "app/status_throttle.h"

#include <gtest/gtest.h>

namespace {

using ms = std::chrono::milliseconds;

TEST(StatusThrottle, ABurstShowsItsFirstTextAtOnceAndItsLastWhenTheIntervalIsOver) {
    status_throttle t(ms(250));
    const auto t0 = status_throttle::clock::time_point{} + std::chrono::hours(1);
    EXPECT_TRUE(t.offer(0, "delivered: 1", t0));
    EXPECT_TRUE(t.offer(2, "written: 1", t0 + ms(1))) << "fields are held back independently";
    EXPECT_FALSE(t.next_due(t0));
    EXPECT_FALSE(t.offer(0, "delivered: 2", t0 + ms(40)));
    EXPECT_FALSE(t.offer(0, "delivered: 3", t0 + ms(80)));
    ASSERT_TRUE(t.next_due(t0 + ms(100)));
    EXPECT_EQ(*t.next_due(t0 + ms(100)), ms(150));
    EXPECT_TRUE(t.take_due(t0 + ms(249)).empty());
    const auto due = t.take_due(t0 + ms(250));
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].first, 0);
    EXPECT_EQ(due[0].second, "delivered: 3") << "the newest text, not the first held";
    EXPECT_FALSE(t.next_due(t0 + ms(250)));
    // The held text's display counts as the field's change: the next one waits again.
    EXPECT_FALSE(t.offer(0, "delivered: 4", t0 + ms(300)));
    EXPECT_TRUE(t.offer(0, "delivered: 5", t0 + ms(500))) << "a quiet field takes its text at once";
    EXPECT_TRUE(t.take_due(t0 + ms(900)).empty()) << "the held text was replaced by the one shown";
}

}  // namespace
