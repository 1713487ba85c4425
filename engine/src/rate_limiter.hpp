#pragma once
// The pace of one upload across all its connections: a token bucket that
// the connections draw from before they read a block, and, with congestion
// control on, a rate that climbs from the start rate toward the maximum.
//
//   RateLimiter limiter(options, now);
//   std::size_t n = limiter.grant(wanted, now);   // 0: pause this connection
//   limiter.tick(now);                            // every loop turn
//
// The climb is multiplicative and fast: every tick (5 ms) in which the bucket
// ran dry (so the link kept up with the rate) the rate grows by
// 1 + 0.3 * aggression, i.e. x2.5 at the default aggression 5. A broken
// connection backs the rate off by 5 % per aggression step, never below the
// start rate.

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "qz/options.hpp"

namespace qz {

class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kTick{5};

    // `options` within their ranges (Options::normalized()).
    RateLimiter(const Options& options, Clock::time_point now);

    // Bytes of `wanted` that may leave now; 0 when the connection has to wait.
    std::size_t grant(std::size_t wanted, Clock::time_point now);
    // Returns bytes granted but not sent.
    void giveBack(std::size_t bytes);
    // Refills the bucket and, once per tick, lets the rate climb. Returns true
    // when the rate changed.
    bool tick(Clock::time_point now);
    // A connection broke: slow down a little.
    bool backOff();

    bool limited() const { return limited_; }
    // The current rate in bits per second; 0 means no limit.
    std::uint64_t rate() const;
    // Whether a waiting connection may send again.
    bool hasBudget() const { return !limited_ || tokens_ >= unit_; }
    // How long until a waiting connection may send again.
    Clock::duration untilBudget() const;

private:
    void refill(Clock::time_point now);

    bool limited_ = false;
    bool climbing_ = false;
    double ceiling_ = 0;  // bytes per second
    double floor_ = 0;    // bytes per second
    double rate_ = 0;     // bytes per second
    double growth_ = 1;
    double backOff_ = 1;
    double unit_ = 1;  // smallest grant, bytes
    double tokens_ = 0;
    bool starved_ = false;
    Clock::time_point lastRefill_;
    Clock::time_point lastTick_;
};

}  // namespace qz
