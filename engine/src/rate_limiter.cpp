#include "rate_limiter.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qz {

namespace {
// Above this a rate is no limit at all on any link we know of.
constexpr double kUnlimited = 1e13 / 8;
// The bucket holds two ticks of budget: enough to keep a connection busy
// between two loop turns, too little to burst past the rate.
constexpr double kBucketSeconds = 0.02;

double seconds(RateLimiter::Clock::duration d) { return std::chrono::duration<double>(d).count(); }
}  // namespace

RateLimiter::RateLimiter(const Options& options, Clock::time_point now) : lastRefill_(now), lastTick_(now) {
    const double maximum = static_cast<double>(options.bandwidthMaximum) / 8;
    const double start = static_cast<double>(options.bandwidthStart) / 8;
    ceiling_ = maximum > 0 ? std::min(maximum, kUnlimited) : kUnlimited;
    if (options.congestionControl && start > 0 && start < ceiling_) {
        climbing_ = true;
        rate_ = floor_ = start;
    } else {
        rate_ = floor_ = ceiling_;
    }
    limited_ = rate_ < kUnlimited;
    growth_ = 1 + 0.3 * options.congestionAggression;
    backOff_ = 1 - 0.05 * options.congestionAggression;
    unit_ = options.unitSize;
    tokens_ = std::max(unit_, rate_ * kBucketSeconds);
}

void RateLimiter::refill(Clock::time_point now) {
    if (now <= lastRefill_) return;
    const double capacity = std::max(unit_, rate_ * kBucketSeconds);
    tokens_ = std::min(capacity, tokens_ + rate_ * seconds(now - lastRefill_));
    lastRefill_ = now;
}

std::size_t RateLimiter::grant(std::size_t wanted, Clock::time_point now) {
    if (!limited_ || wanted == 0) return wanted;
    refill(now);
    const double needed = std::min(static_cast<double>(wanted), unit_);
    if (tokens_ < needed) {
        starved_ = true;
        return 0;
    }
    auto granted = static_cast<std::size_t>(std::min(static_cast<double>(wanted), std::floor(tokens_)));
    if (granted < wanted) starved_ = true;
    tokens_ -= static_cast<double>(granted);
    return granted;
}

void RateLimiter::giveBack(std::size_t bytes) { tokens_ += static_cast<double>(bytes); }

bool RateLimiter::tick(Clock::time_point now) {
    if (!limited_) return false;
    refill(now);
    if (now - lastTick_ < kTick) return false;
    lastTick_ = now;
    const bool climb = climbing_ && starved_ && rate_ < ceiling_;
    starved_ = false;
    if (!climb) return false;
    rate_ = std::min(ceiling_, rate_ * growth_);
    limited_ = rate_ < kUnlimited;
    return true;
}

bool RateLimiter::backOff() {
    if (!climbing_ || rate_ <= floor_) return false;
    rate_ = std::max(floor_, rate_ * backOff_);
    limited_ = rate_ < kUnlimited;
    return true;
}

std::uint64_t RateLimiter::rate() const { return limited_ ? static_cast<std::uint64_t>(rate_ * 8) : 0; }

RateLimiter::Clock::duration RateLimiter::untilBudget() const {
    if (!limited_) return Clock::duration::zero();
    const double missing = std::max(0.0, unit_ - tokens_);
    auto wait = std::chrono::duration<double>(missing / rate_);
    return std::max<Clock::duration>(std::chrono::milliseconds(1), std::chrono::duration_cast<Clock::duration>(wait));
}

}  // namespace qz
