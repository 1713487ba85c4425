#include "throughput.hpp"

namespace qz {

namespace {

double secondsBetween(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

}  // namespace

std::uint64_t bitsPerSecond(std::uint64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<std::uint64_t>(static_cast<double>(bytes) * 8 / seconds) : 0;
}

Throughput::Throughput(Clock::time_point begin) : begin_(begin) {}

std::uint64_t Throughput::sample(std::uint64_t total, Clock::time_point now) {
    samples_.emplace_back(now, total);
    // The oldest sample goes once the next one is a window old: the rate
    // spans the last window, or a little more.
    while (samples_.size() > 2 && now - samples_[1].first >= kWindow) samples_.pop_front();
    const auto& [then, bytes] = samples_.front();
    return total > bytes ? bitsPerSecond(total - bytes, secondsBetween(then, now)) : 0;
}

std::uint64_t Throughput::average(std::uint64_t total, Clock::time_point now) const {
    return bitsPerSecond(total, elapsedSeconds(now));
}

double Throughput::elapsedSeconds(Clock::time_point now) const { return secondsBetween(begin_, now); }

}  // namespace qz
