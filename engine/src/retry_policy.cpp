#include "retry_policy.hpp"

#include <algorithm>

namespace qz {

namespace {
constexpr std::chrono::milliseconds kLongestFilePause{4000};
}  // namespace

RetryPolicy::RetryPolicy(std::chrono::seconds unreachableTimeout)
    : timeout_(std::max(unreachableTimeout, std::chrono::seconds(1))) {}

RetryDecision RetryPolicy::afterFailure(EFailure failure, int answeredAttempts, Clock::time_point now) {
    using std::chrono::milliseconds;
    switch (failure) {
        case EFailure::ePermanent: reached(); return {ERetry::eFailFile, milliseconds(0)};
        case EFailure::eTransient: {
            reached();
            if (answeredAttempts >= kAnsweredAttempts) return {ERetry::eFailFile, milliseconds(0)};
            const int doublings = std::clamp(answeredAttempts - 1, 0, 16);
            return {ERetry::eRetry, std::min(kFirstFilePause * (1 << doublings), kLongestFilePause)};
        }
        case EFailure::eUnreachable: break;
    }
    if (!outage_) {
        outage_ = true;
        since_ = now;
        roundPause_ = kFirstRoundPause;
        roundEnds_ = now + roundPause_;
    } else if (now - since_ >= timeout_) {
        return {ERetry::eGiveUp, milliseconds(0)};
    } else if (now >= roundEnds_) {
        roundPause_ = std::min(roundPause_ * 2, kLongestRoundPause);
        roundEnds_ = now + roundPause_;
    }
    // The last round is cut short so that the server is tried once more as
    // the timeout runs out.
    const Clock::time_point next = std::min(roundEnds_, since_ + timeout_);
    return {ERetry::eRetry, std::chrono::ceil<milliseconds>(std::max(next - now, Clock::duration::zero()))};
}

void RetryPolicy::reached() { outage_ = false; }

RetryPolicy::Clock::time_point RetryPolicy::nextAttemptAt() const {
    return outage_ ? std::min(roundEnds_, since_ + timeout_) : Clock::time_point::min();
}

RetryPolicy::Clock::duration RetryPolicy::unreachableFor(Clock::time_point now) const {
    return outage_ ? now - since_ : Clock::duration::zero();
}

}  // namespace qz
