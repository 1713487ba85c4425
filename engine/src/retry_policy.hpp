#pragma once
// What follows a failed attempt at a file: another attempt after a pause,
// the end of that file, or the end of the upload once the server has been
// unreachable for too long. Pure: the clock is passed in, so it is tested
// without a server.
//
//   RetryPolicy policy(std::chrono::seconds(120));
//   RetryDecision d = policy.afterFailure(EFailure::eUnreachable, answered, now);
//   if (d.action == ERetry::eRetry) ...try again once d.pause has passed...
//   if (now >= policy.nextAttemptAt()) ...new attempts may start...
//   policy.reached();         // the server answered: whatever outage there was is over
//
// A server that went away (restart, failover, a dropped link, a greeting of
// "421 Service not available") costs no attempt of any file: while no
// attempt hears from it, the attempts are spread out in rounds with growing
// pauses (0.5 s doubling to 8 s), and only when it has stayed unreachable
// for the whole timeout, counted from the first attempt that could not reach
// it, is the upload given up. A file that fails while the server answers
// uses up one of its 5 attempts; a refusal for good (a 5xx reply) ends it at
// once.

#include <chrono>

namespace qz {

// Why one attempt failed.
enum class EFailure {
    eUnreachable,  // no word from the server during the attempt, or only its 421: it (or the link) is away
    eTransient,    // the server answered, then the attempt broke or stalled
    ePermanent,    // the server refused the file for good, or the request itself is wrong
};

enum class ERetry { eRetry, eFailFile, eGiveUp };

struct RetryDecision {
    ERetry action;
    std::chrono::milliseconds pause;  // before the next attempt (eRetry only)
};

class RetryPolicy {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kAnsweredAttempts = 5;
    static constexpr std::chrono::milliseconds kFirstFilePause{250};
    static constexpr std::chrono::milliseconds kFirstRoundPause{500};
    static constexpr std::chrono::milliseconds kLongestRoundPause{8000};

    explicit RetryPolicy(std::chrono::seconds unreachableTimeout);

    // `answeredAttempts`: the attempts at this file during which the server
    // answered, the failed one included when it did.
    RetryDecision afterFailure(EFailure failure, int answeredAttempts, Clock::time_point now);
    // The server answered: an outage, if any, is over.
    void reached();

    // Until then no new attempt should start: the server is away and the
    // current round's pause has not passed.
    Clock::time_point nextAttemptAt() const;
    bool unreachable() const { return outage_; }
    // Since the first attempt that could not reach the server (0 without an outage).
    Clock::duration unreachableFor(Clock::time_point now) const;
    std::chrono::seconds timeout() const { return timeout_; }

private:
    std::chrono::seconds timeout_;
    bool outage_ = false;
    Clock::time_point since_;
    Clock::time_point roundEnds_;
    std::chrono::milliseconds roundPause_{0};
};

}  // namespace qz
