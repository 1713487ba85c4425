// Which transfers stalled, with a clock the test moves by hand.
#include "stall_watch.hpp"

#include <gtest/gtest.h>

namespace {

using Clock = qz::StallWatch::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(StallWatch, OnlyATransferOnWhichNothingMovedForTheLimitStalls) {
    struct Case {
        const char* what;
        unsigned bytesPerTurn;
        unsigned repliesPerTurn;
        bool held;
        seconds limit;      // of the transfer, 0: the watch's
        milliseconds turn;  // time between loop turns
        bool stalls;
    };
    const Case cases[] = {
        {"nothing moves", 0, 0, false, seconds(0), milliseconds(500), true},
        {"bytes move", 1, 0, false, seconds(0), milliseconds(500), false},
        {"reply lines come in", 0, 1, false, seconds(0), milliseconds(500), false},
        {"paused by the rate or awaiting the reply", 0, 0, true, seconds(0), milliseconds(500), false},
        {"every turn comes after a blind spell", 0, 0, false, seconds(0), milliseconds(1500), false},
        {"a slow reply is awaited for longer", 0, 0, false, seconds(11), milliseconds(500), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto now = Clock::now();
        qz::StallWatch watch(seconds(5), now);
        qz::StallWatch::Mark mark{0, 3, now};
        qz::StallWatch::Seen seen{0, 3, c.held, c.limit};
        bool stalled = false;
        for (int turn = 0; turn < 20 && !stalled; ++turn) {
            now += c.turn;
            seen.uploaded += c.bytesPerTurn;
            seen.replies += c.repliesPerTurn;
            watch.beginTurn(now);
            stalled = watch.stalled(mark, seen, now);
        }
        EXPECT_EQ(stalled, c.stalls);
    }
}

TEST(StallWatch, StallsAfterTheLimitCountedFromTheLastMove) {
    auto now = Clock::now();
    qz::StallWatch watch(seconds(5), now);
    qz::StallWatch::Mark mark{0, 0, now};
    const auto turn = [&](milliseconds step, std::uint64_t uploaded) {
        now += step;
        watch.beginTurn(now);
        return watch.stalled(mark, {uploaded, 0, false, {}}, now);
    };
    EXPECT_FALSE(turn(milliseconds(900), 10));                              // moved: the limit counts from here
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(turn(milliseconds(900), 10));  // 4.5 s still
    EXPECT_TRUE(turn(milliseconds(900), 10));                               // 5.4 s still
}

}  // namespace
