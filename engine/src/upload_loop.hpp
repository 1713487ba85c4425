#pragma once
// One upload of the queue: hands the queued files to the connections
// (UploadLanes) in turn, creates their folders first (FolderMaker), reads
// and hashes each file as a connection asks for its bytes under the rate,
// and applies what each attempt came to (judgeAttempt; upload_outcome.cpp):
// done, another attempt now or after a pause, a round of waiting for a
// server that is away, or a failure by name.
//
//   UploadLoop loop(context);
//   loop.run();   // throws qz::Exception naming the files that could not be sent

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "attempt_verdict.hpp"
#include "connection_pool.hpp"
#include "file_attempt.hpp"
#include "folder_maker.hpp"
#include "hash_worker.hpp"
#include "qz/control.hpp"
#include "queued_file.hpp"
#include "rate_limiter.hpp"
#include "retry_policy.hpp"
#include "throughput.hpp"
#include "upload_lanes.hpp"

namespace qz {

// What an upload works with, and nothing else of the controller.
struct UploadContext {
    const Options& options;
    GlobalStateAndStats& stats;                  // stats.fileMap: the queue, as the host sees it
    std::map<unsigned long, QueuedFile>& files;  // the engine's record of each, by number
    const std::vector<std::string>& remoteFolders;
    ConnectionPool& connections;
    StatsCallback callback;
    void* callbackUser;
    std::string& lastError;    // the last transfer error, for diagnosis
    std::uint64_t& rateLimit;  // bits per second, as it stands
};

class UploadLoop : private LaneOwner {
public:
    using Clock = std::chrono::steady_clock;

    explicit UploadLoop(const UploadContext& context);
    ~UploadLoop() override;
    UploadLoop(const UploadLoop&) = delete;
    UploadLoop& operator=(const UploadLoop&) = delete;
    void run();

private:
    // Handing out (upload_loop.cpp).
    bool workLeft() const;
    void startWaiting(Clock::time_point now);
    std::vector<std::string> foldersNeeded() const;
    void hintReadAhead();
    std::optional<Attempt> open(unsigned long number);
    bool hashUpTo(Attempt& a, std::uint64_t end);
    int waitMilliseconds(Clock::time_point now, Clock::time_point nextProgress) const;
    void rateChanged(bool backedOff);
    std::string rateText() const;
    void publish(Clock::time_point now);
    QueuedFile& file(unsigned long number) { return context_.files.at(number); }

    // What the lanes ask for.
    std::optional<Attempt> nextAttempt() override;
    std::int64_t read(Attempt& a, char* buffer, std::size_t room) override;
    std::uint64_t resumeAt(Attempt& a, std::optional<std::uint64_t> held) override;
    void settled(Attempt a, const PipelineOutcome& outcome, bool serverHashes) override;
    bool laneStopped(const FtpPipeline& pipeline, bool lost) override;
    void loginFailed(const LoginError& e) override;
    void dataRefused(const std::string& why) override;

    // What the attempts come to (upload_outcome.cpp).
    void apply(Attempt& a, const AttemptVerdict& verdict);
    // `how`: how its arrival was verified, for its log line.
    void done(const Attempt& a, bool byHash, const std::string& how);
    void retryOrFail(unsigned long number, const std::string& why, EFailure failure, bool resume, bool atOnce);
    // The server could not be reached (`why`): the next round waits, or
    // every file not sent yet fails once the timeout has run out.
    void unreachable(const std::string& why, Clock::time_point now);
    void noteRound(const std::string& why, std::chrono::milliseconds pause, Clock::time_point now);
    void foldersFailed(bool answered, const std::string& why, Clock::time_point now);
    void giveUp(const std::string& why, Clock::time_point now);
    // Every file not settled yet fails with `why`, and the upload ends.
    void failRemaining(const std::string& why);
    void fail(unsigned long number, const std::string& why);
    void summarize();

    UploadContext context_;
    RateLimiter limiter_;
    HashWorker hasher_;  // outlives the lanes, whose digests it takes
    RetryPolicy policy_;
    FolderMaker folders_;
    UploadLanes lanes_;
    std::deque<unsigned long> pending_;  // files waiting for an attempt, by number
    // Files a lane stored whose checks it could not finish: the next free
    // lane asks for them, the file is not sent again.
    std::deque<Attempt> checksWaiting_;
    Throughput throughput_;
    std::uint64_t loggedRate_ = 0;
    Clock::time_point loggedRound_;
    bool givenUp_ = false;
    std::string givenUpWhy_;  // why the files still queued were given up
};

}  // namespace qz
