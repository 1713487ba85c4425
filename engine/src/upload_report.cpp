#include "upload_report.hpp"

#include "control_report.hpp"
#include "qz/quoted.hpp"
#include "qz/rates.hpp"

namespace qz {

namespace {

constexpr std::size_t kNamedFailures = 20;

}  // namespace

void UploadReport::begin(Clock::time_point now) {
    throughput_ = Throughput(now);
    GlobalStateAndStats& stats = context_.stats;
    stats.finished = false;
    stats.filesDone = stats.filesFailed = 0;
    stats.currentRate = 0;
    stats.elapsedSeconds = 0;
    context_.rateLimit = limiter_.rate();
}

std::string UploadReport::rateText() const {
    return limiter_.limited() ? formatTransferRate(limiter_.rate()) : "unlimited";
}

void UploadReport::rateChanged(bool backedOff) {
    context_.rateLimit = limiter_.rate();
    // During a climb one line per doubling keeps the log short.
    const std::uint64_t now = limiter_.rate();
    if (backedOff || loggedRate_ == 0 || now == 0 || now >= loggedRate_ * 2) {
        note(Logging::EType::eSummary, "rate now " + rateText());
        loggedRate_ = now;
    }
}

void UploadReport::publish(Clock::time_point now, const UploadLanes& lanes) {
    lanes.forEachAttempt(
        [this](const Attempt& a, std::uint64_t bytes) { context_.files.at(a.number).progress(bytes); });
    GlobalStateAndStats& stats = context_.stats;
    std::uint64_t total = 0;
    for (const auto& [number, e] : stats.fileMap) total += e.bytesSent;
    stats.totalBytesTransferred = total;
    stats.elapsedSeconds = throughput_.elapsedSeconds(now);
    stats.currentRate = stats.finished ? throughput_.average(total, now) : throughput_.sample(total, now);
    if (context_.callback) context_.callback(stats, context_.callbackUser);
}

// One line per round of attempts, not one per file.
void UploadReport::round(const std::string& why, std::chrono::milliseconds pause, Clock::time_point now,
                         const RetryPolicy& policy) {
    if (policy.nextAttemptAt() == loggedRound_) return;
    loggedRound_ = policy.nextAttemptAt();
    note(Logging::EType::eWarnings, "cannot reach " + context_.connections.server() + " (for " +
                                        secondsText(policy.unreachableFor(now)) + " s now, waiting up to " +
                                        std::to_string(policy.timeout().count()) + " s); trying again in " +
                                        secondsText(pause) + " s after: " + why);
}

void UploadReport::summarize() {
    const GlobalStateAndStats& stats = context_.stats;
    note(Logging::EType::eSummary,
         "sent " + std::to_string(stats.filesDone) + " of " + std::to_string(stats.filesTotal) + " files, " +
             std::to_string(stats.totalBytesTransferred) + " of " + std::to_string(stats.totalBytes) + " bytes in " +
             std::to_string(stats.elapsedSeconds) + " s (" + formatTransferRate(stats.currentRate) + ")");
    if (stats.filesFailed == 0) return;
    std::string names;
    std::size_t named = 0;
    for (const auto& [number, e] : stats.fileMap) {
        if (e.result != EFileResult::eFailed) continue;
        if (named++ == kNamedFailures) {
            names += "; and " + std::to_string(stats.filesFailed - kNamedFailures) + " more";
            break;
        }
        names += (named > 1 ? "; " : "") + e.errorText;
    }
    const std::string message = "could not send " + std::to_string(stats.filesFailed) + " of " +
                                std::to_string(stats.filesTotal) + " files: " + names;
    note(Logging::EType::eSummary, message);
    raise(__LINE__, "upload", message,
          {{"files failed", std::to_string(stats.filesFailed)},
           {"files done", std::to_string(stats.filesDone)},
           {"ftp server", context_.connections.server()}});
}

}  // namespace qz
