// The rate the progress shows, with a clock the test moves by hand.
#include "throughput.hpp"

#include <gtest/gtest.h>

namespace {

using Clock = qz::Throughput::Clock;
using std::chrono::milliseconds;

TEST(Throughput, RateFollowsTheLastSecondAndTheEndShowsTheAverage) {
    struct Case {
        const char* what;
        std::uint64_t bytesPerSample;      // every 200 ms, for 3 s
        std::uint64_t lastBytesPerSample;  // in the last second
        std::uint64_t expectedRate;        // bits per second at 3 s
        std::uint64_t expectedAverage;
    };
    const Case cases[] = {
        {"steady", 25'000, 25'000, 1'000'000, 1'000'000},
        {"nothing moved", 0, 0, 0, 0},
        {"faster in the last second", 0, 50'000, 2'000'000, 2'000'000 / 3},
        {"stopped in the last second", 50'000, 0, 0, 2'000'000 * 2 / 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto begin = Clock::now();
        qz::Throughput rate(begin);
        std::uint64_t total = 0;
        std::uint64_t shown = 0;
        for (int i = 1; i <= 15; ++i) {
            total += i > 10 ? c.lastBytesPerSample : c.bytesPerSample;
            shown = rate.sample(total, begin + milliseconds(200 * i));
        }
        const auto end = begin + milliseconds(3000);
        EXPECT_NEAR(static_cast<double>(shown), static_cast<double>(c.expectedRate), 1.0);
        EXPECT_NEAR(static_cast<double>(rate.average(total, end)), static_cast<double>(c.expectedAverage), 1.0);
        EXPECT_DOUBLE_EQ(rate.elapsedSeconds(end), 3.0);
    }
}

TEST(Throughput, NoTimeGivesNoRate) {
    const auto now = Clock::now();
    qz::Throughput rate(now);
    EXPECT_EQ(rate.sample(1000, now), 0u);
    EXPECT_EQ(rate.average(1000, now), 0u);
    EXPECT_EQ(qz::bitsPerSecond(1000, 0.0), 0u);
    EXPECT_EQ(qz::bitsPerSecond(1000, 0.5), 16000u);
}

}  // namespace
