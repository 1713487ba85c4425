// What follows a failed attempt, driven by a clock the test moves by hand.
#include "retry_policy.hpp"

#include <gtest/gtest.h>

namespace {

using qz::EFailure;
using qz::ERetry;
using qz::RetryPolicy;
using Clock = RetryPolicy::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(RetryPolicy, AnUnreachableServerIsTriedInGrowingRoundsUntilTheTimeoutHasPassed) {
    RetryPolicy policy(seconds(20));
    Clock::time_point now{};
    const Clock::time_point first = now;
    // However many connections fail at once, they cost no file an attempt
    // and wait for the same round.
    for (int i = 0; i < 1000; ++i) {
        const auto d = policy.afterFailure(EFailure::eUnreachable, 0, now);
        ASSERT_EQ(d.action, ERetry::eRetry);
        EXPECT_EQ(d.pause, milliseconds(500));
    }
    EXPECT_TRUE(policy.unreachable());
    EXPECT_EQ(policy.nextAttemptAt(), now + milliseconds(500));
    // Each round's attempts fail as it begins: the pauses double up to 8 s,
    // and the last one ends as the timeout does.
    const milliseconds rounds[] = {milliseconds(1000), milliseconds(2000), milliseconds(4000), milliseconds(8000),
                                   milliseconds(4500)};
    now += milliseconds(500);
    for (const auto pause : rounds) {
        const auto d = policy.afterFailure(EFailure::eUnreachable, 0, now);
        ASSERT_EQ(d.action, ERetry::eRetry);
        EXPECT_EQ(d.pause, pause);
        EXPECT_EQ(policy.nextAttemptAt(), now + pause);
        now += pause;
    }
    EXPECT_EQ(now - first, seconds(20));
    EXPECT_EQ(policy.unreachableFor(now), seconds(20));
    EXPECT_EQ(policy.afterFailure(EFailure::eUnreachable, 0, now).action, ERetry::eGiveUp);
}

TEST(RetryPolicy, AServerThatAnswersAgainEndsTheOutageAndTheNextOneStartsAfresh) {
    RetryPolicy policy(seconds(10));
    Clock::time_point now{};
    policy.afterFailure(EFailure::eUnreachable, 0, now);
    now += seconds(9);
    policy.afterFailure(EFailure::eUnreachable, 0, now);
    policy.reached();
    EXPECT_FALSE(policy.unreachable());
    EXPECT_EQ(policy.nextAttemptAt(), Clock::time_point::min());
    now += seconds(5);
    const auto d = policy.afterFailure(EFailure::eUnreachable, 0, now);
    EXPECT_EQ(d.action, ERetry::eRetry);
    EXPECT_EQ(d.pause, milliseconds(500));
    EXPECT_EQ(policy.unreachableFor(now + seconds(2)), seconds(2));
}

TEST(RetryPolicy, AFileThatFailsWhileTheServerAnswersHasFiveAttemptsAndARefusalEndsItAtOnce) {
    struct Case {
        EFailure failure;
        int answered;
        ERetry action;
        milliseconds pause;
    };
    const Case cases[] = {
        {EFailure::eTransient, 1, ERetry::eRetry, milliseconds(250)},
        {EFailure::eTransient, 2, ERetry::eRetry, milliseconds(500)},
        {EFailure::eTransient, 4, ERetry::eRetry, milliseconds(2000)},
        {EFailure::eTransient, 5, ERetry::eFailFile, milliseconds(0)},
        {EFailure::ePermanent, 1, ERetry::eFailFile, milliseconds(0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answered);
        RetryPolicy policy(seconds(60));
        Clock::time_point now{};
        policy.afterFailure(EFailure::eUnreachable, 0, now);
        const auto d = policy.afterFailure(c.failure, c.answered, now + seconds(1));
        EXPECT_EQ(d.action, c.action);
        EXPECT_EQ(d.pause, c.pause);
        // An answer, even a refusal, shows the server is there.
        EXPECT_FALSE(policy.unreachable());
    }
}

TEST(RetryPolicy, ATimeoutBelowOneSecondIsOneSecond) {
    RetryPolicy policy(seconds(0));
    EXPECT_EQ(policy.timeout(), seconds(1));
    Clock::time_point now{};
    policy.afterFailure(EFailure::eUnreachable, 0, now);
    EXPECT_EQ(policy.afterFailure(EFailure::eUnreachable, 0, now + seconds(1)).action, ERetry::eGiveUp);
}

}  // namespace
