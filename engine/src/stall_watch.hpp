#pragma once
// Which transfers stalled: nothing moved on them, neither a byte nor a
// reply line, for the stall timeout. Time is a parameter, as in the rate
// limiter, so that a test can move the clock by hand.
//
//   StallWatch watch(std::chrono::seconds(30), now);
//   watch.beginTurn(now);                                   // once per loop turn
//   if (watch.stalled(file.mark, {uploaded, replies, held, {}}, now)) abort(file);
//
// A turn of the loop that took long (the host's progress callback, say)
// is a blind spell: after it every transfer counts as moving. A transfer
// that waits for us (held back by the rate or the hashing worker) is not
// stalled either.

#include <chrono>
#include <cstdint>

namespace qz {

class StallWatch {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kBlindSpell{1000};

    // What one transfer had moved when it last moved.
    struct Mark {
        std::uint64_t uploaded = 0;
        unsigned replies = 0;
        Clock::time_point movedAt;
    };
    // What it has moved now.
    struct Seen {
        std::uint64_t uploaded = 0;  // bytes handed to the connection
        unsigned replies = 0;        // reply lines heard
        bool held = false;           // waiting for us, not for the server
        Clock::duration limit{};     // longer than the watch's limit for a reply known to be slow
    };

    StallWatch(Clock::duration limit, Clock::time_point now);

    void beginTurn(Clock::time_point now);
    // Updates `mark` and tells whether nothing moved for the limit.
    bool stalled(Mark& mark, const Seen& seen, Clock::time_point now) const;

private:
    Clock::duration limit_;
    Clock::time_point lastTurn_;
    bool blind_ = false;
};

}  // namespace qz
