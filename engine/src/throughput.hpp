#pragma once
// The rate of an upload as the progress shows it: over about the last
// second while it runs, over the whole run at its end. Time is a parameter,
// so that a test can move the clock by hand.
//
//   Throughput rate(begin);
//   stats.currentRate = rate.sample(totalBytes, now);       // a few times a second
//   stats.currentRate = rate.average(totalBytes, now);      // once at the end

#include <chrono>
#include <cstdint>
#include <deque>
#include <utility>

namespace qz {

// Bits per second of `bytes` in `seconds`; 0 for no time.
std::uint64_t bitsPerSecond(std::uint64_t bytes, double seconds);

class Throughput {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kWindow{1};

    explicit Throughput(Clock::time_point begin);

    // Records that `total` bytes are out by `now`; returns the rate since the
    // oldest sample of the window, 0 when nothing moved.
    std::uint64_t sample(std::uint64_t total, Clock::time_point now);
    std::uint64_t average(std::uint64_t total, Clock::time_point now) const;
    double elapsedSeconds(Clock::time_point now) const;

private:
    Clock::time_point begin_;
    std::deque<std::pair<Clock::time_point, std::uint64_t>> samples_;
};

}  // namespace qz
