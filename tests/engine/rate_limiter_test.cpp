// The pace of an upload, driven by a clock the test moves by hand.
#include "rate_limiter.hpp"

#include <gtest/gtest.h>

namespace {

using Clock = qz::RateLimiter::Clock;
using std::chrono::milliseconds;

qz::Options paced(std::uint64_t maximum, std::uint64_t start, bool congestion, int aggression = 5) {
    qz::Options o;
    o.setBandwidth(maximum, start);
    o.setCongestionControl(congestion, aggression);
    o.setLimits(1024, 1048576);
    return o;
}

// Asks for `wanted` bytes every millisecond for `ms` milliseconds, ticking
// as the transfer loop does; returns the bytes granted.
std::uint64_t drive(qz::RateLimiter& limiter, Clock::time_point& now, int ms, std::size_t wanted) {
    std::uint64_t granted = 0;
    for (int i = 0; i < ms; ++i) {
        now += milliseconds(1);
        limiter.tick(now);
        granted += limiter.grant(wanted, now);
    }
    return granted;
}

TEST(RateLimiter, NoCapAndNoClimbGrantsEverything) {
    const auto now = Clock::now();
    for (const auto& o : {paced(0, 0, false), paced(0, 0, true), paced(0, 1000, false)}) {
        qz::RateLimiter limiter(o, now);
        EXPECT_FALSE(limiter.limited());
        EXPECT_EQ(limiter.grant(1 << 20, now), 1u << 20);
        EXPECT_EQ(limiter.rate(), 0u);
    }
}

TEST(RateLimiter, CapHoldsTheAverageAcrossCallers) {
    auto now = Clock::now();
    qz::RateLimiter limiter(paced(8'000'000, 0, false), now);  // 1 MB/s
    const std::uint64_t granted = drive(limiter, now, 2000, 64 * 1024);
    // Two seconds at 1 MB/s, plus the bucket that was full at the start.
    EXPECT_GE(granted, 1'950'000u);
    EXPECT_LE(granted, 2'030'000u);
    EXPECT_EQ(limiter.rate(), 8'000'000u);
}

TEST(RateLimiter, ClimbsFastWhileTheLinkKeepsUpAndStopsAtTheMaximum) {
    struct Case {
        int aggression;
        int ticksToMaximum;
    };
    // 100 Mbit/s to 100 Gbit/s is a factor of 1000.
    const Case cases[] = {{5, 8}, {10, 5}, {1, 27}};
    for (const auto& c : cases) {
        auto now = Clock::now();
        qz::RateLimiter limiter(paced(100'000'000'000ull, 100'000'000, true, c.aggression), now);
        EXPECT_EQ(limiter.rate(), 100'000'000u);
        int ticks = 0;
        while (limiter.rate() < 100'000'000'000ull && ticks < 100) {
            drive(limiter, now, 5, std::size_t{1} << 30);
            ++ticks;
        }
        EXPECT_EQ(limiter.rate(), 100'000'000'000u) << c.aggression;
        EXPECT_LE(ticks, c.ticksToMaximum) << c.aggression;
    }
}

TEST(RateLimiter, DoesNotClimbWhenTheConnectionsDoNotUseTheRate) {
    auto now = Clock::now();
    qz::RateLimiter limiter(paced(1'000'000'000, 8'000'000, true), now);
    for (int i = 0; i < 100; ++i) {
        now += milliseconds(10);
        limiter.tick(now);
        limiter.grant(100, now);
    }
    EXPECT_EQ(limiter.rate(), 8'000'000u);
}

TEST(RateLimiter, BacksOffOnBreaksButNotBelowTheStart) {
    auto now = Clock::now();
    qz::RateLimiter limiter(paced(1'000'000'000, 10'000'000, true), now);
    drive(limiter, now, 30, std::size_t{1} << 30);
    const std::uint64_t climbed = limiter.rate();
    ASSERT_GT(climbed, 10'000'000u);
    EXPECT_TRUE(limiter.backOff());
    EXPECT_NEAR(static_cast<double>(limiter.rate()), static_cast<double>(climbed) * 0.75, 2.0);
    while (limiter.backOff()) {
    }
    EXPECT_EQ(limiter.rate(), 10'000'000u);

    qz::RateLimiter steady(paced(1'000'000, 0, false), now);
    EXPECT_FALSE(steady.backOff());
}

TEST(RateLimiter, AWaitingConnectionWaitsForAWholeUnit) {
    auto now = Clock::now();
    qz::Options o = paced(8'000, 0, false);  // 1000 bytes a second
    o.setLimits(500, 1048576);
    qz::RateLimiter limiter(o, now);
    EXPECT_EQ(limiter.grant(4096, now), 500u);
    EXPECT_EQ(limiter.grant(4096, now), 0u);
    EXPECT_FALSE(limiter.hasBudget());
    EXPECT_EQ(limiter.untilBudget(), milliseconds(500));
    now += milliseconds(250);
    EXPECT_EQ(limiter.grant(4096, now), 0u);
    now += milliseconds(250);
    EXPECT_EQ(limiter.grant(4096, now), 500u);
    // The end of a file asks for less than a unit and gets it.
    now += milliseconds(20);
    EXPECT_EQ(limiter.grant(10, now), 10u);
}

}  // namespace
