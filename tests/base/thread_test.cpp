#include "clock.h"
#include "thread.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

bool returns_false(void* p)
{
    static_cast<std::atomic<int>*>(p)->store(7);
    return false;
}

bool returns_true(void*) { return true; }

TEST(Threads, ResultIsValidAfterJoin)
{
    std::atomic<int> touched{0};
    worker_thread w{returns_false, &touched, {}, true};
    ASSERT_TRUE(thread_start(w));
    ASSERT_TRUE(thread_join(w));
    EXPECT_FALSE(w.result);
    EXPECT_EQ(touched.load(), 7);

    worker_thread w2{returns_true, nullptr, {}, false};
    ASSERT_TRUE(thread_start(w2));
    ASSERT_TRUE(thread_join(w2));
    EXPECT_TRUE(w2.result);
}

TEST(Time, Arithmetic)
{
    const time_point_us t = time_add_ms({1, 500000}, 900);
    EXPECT_EQ(t.seconds, 2u);
    EXPECT_EQ(t.microseconds, 400000);
    const time_point_us big = time_add_ms({1, 0}, 2500);
    EXPECT_EQ(big.seconds, 3u);
    EXPECT_EQ(big.microseconds, 500000);
    const time_point_us d = time_diff({3, 100}, {1, 200});
    EXPECT_EQ(d.seconds, 1u);
    EXPECT_EQ(d.microseconds, 999900);
    EXPECT_TRUE(time_before({1, 5}, {1, 6}));
    EXPECT_FALSE(time_before({1, 6}, {1, 6}));
    EXPECT_TRUE(time_before({1, 999999}, {2, 0}));
}

TEST(Time, SleepAndMonotonicClockAgree)
{
    const time_point_us a = monotonic_now();
    sleep_ms(30);
    const time_point_us b = monotonic_now();
    const time_point_us d = time_diff(b, a);
    const std::uint64_t us = d.seconds * 1000000 + static_cast<std::uint64_t>(d.microseconds);
    EXPECT_GE(us, 30000u);
    EXPECT_LT(us, 1000000u);
}

} // namespace
