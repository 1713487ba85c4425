#pragma once
// What an upload tells as it goes: the progress to the host's callback, the
// rate when it changes, one line per round of waiting for a server that is
// away, and at the end a summary that names the files that could not be
// sent (raised as the upload's error).

#include <chrono>
#include <cstdint>
#include <string>

#include "rate_limiter.hpp"
#include "retry_policy.hpp"
#include "throughput.hpp"
#include "upload_context.hpp"
#include "upload_lanes.hpp"

namespace qz {

class UploadReport {
public:
    using Clock = std::chrono::steady_clock;

    UploadReport(const UploadContext& context, const RateLimiter& limiter)
        : context_(context), limiter_(limiter), throughput_(Clock::now()) {}

    // The upload begins at `now`: the statistics start afresh.
    void begin(Clock::time_point now);
    // The bytes of every file, the rate, and the host's callback.
    void publish(Clock::time_point now, const UploadLanes& lanes);
    std::string rateText() const;
    void rateChanged(bool backedOff);
    // A round of waiting for the server (`policy` knows how long it is away).
    void round(const std::string& why, std::chrono::milliseconds pause, Clock::time_point now,
               const RetryPolicy& policy);
    // Raises qz::Exception naming the files that failed, if any.
    void summarize();

private:
    const UploadContext& context_;
    const RateLimiter& limiter_;
    Throughput throughput_;
    std::uint64_t loggedRate_ = 0;
    Clock::time_point loggedRound_;
};

}  // namespace qz
