#pragma once
// One upload of the queue: hands the queued files to the connections
// (UploadLanes) in turn, their folders first (FolderMaker), each opened and
// read under the rate (AttemptReader), and applies what each attempt came
// to (judgeAttempt; upload_outcome.cpp): done, another attempt now or after
// a pause, a round of waiting for a server that is away, or a failure by
// name. Once no file is left to send, the folders the stored files went
// to are listed (FolderChecks; upload_listings.cpp), which may still send
// a file again or fail it. UploadReport tells the host and the log how it
// goes.
//
//   UploadLoop loop(context);   // see upload_context.hpp
//   loop.run();   // throws qz::Exception naming the files that could not be sent

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "attempt_reader.hpp"
#include "attempt_verdict.hpp"
#include "connection_pool.hpp"
#include "file_attempt.hpp"
#include "folder_checks.hpp"
#include "folder_maker.hpp"
#include "queued_file.hpp"
#include "rate_limiter.hpp"
#include "retry_policy.hpp"
#include "upload_context.hpp"
#include "upload_lanes.hpp"
#include "upload_report.hpp"

namespace qz {

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
    int waitMilliseconds(Clock::time_point now, Clock::time_point nextProgress) const;
    QueuedFile& file(unsigned long number) { return context_.files.at(number); }

    // What the lanes ask for and tell.
    std::optional<Attempt> nextAttempt() override;
    void settled(Attempt a, const PipelineOutcome& outcome, bool serverHashes) override;
    bool laneStopped(const FtpPipeline& pipeline, bool lost) override;
    void loginFailed(const LoginError& e) override;
    void dataRefused(const std::string& why) override;
    std::optional<PipelineJob> nextListing() override;
    void listed(const PipelineOutcome& outcome) override;
    void featuresKnown(const FtpFeatures& features) override;

    // What the attempts come to (upload_outcome.cpp).
    void apply(Attempt& a, const AttemptVerdict& verdict);
    // Checked by the server; its folder's listing is due.
    void stored(const Attempt& a, const AttemptVerdict& verdict);
    void retryOrFail(unsigned long number, const std::string& why, EFailure failure, bool resume, bool atOnce);
    // The server could not be reached (`why`): the next round waits, or
    // every file not sent yet fails once the timeout has run out.
    void unreachable(const std::string& why, Clock::time_point now);
    void foldersFailed(bool answered, const std::string& why, Clock::time_point now);
    void giveUp(const std::string& why, Clock::time_point now);
    // Every file not settled yet fails with `why`, and the upload ends.
    void failRemaining(const std::string& why);
    void fail(unsigned long number, const std::string& why);

    // The listings (upload_listings.cpp).
    void listFolders();
    void skipListings();
    void applyFinding(const ListingFinding& finding);
    void finish(unsigned long number, EVerifiedBy how);

    UploadContext context_;
    RateLimiter limiter_;
    AttemptReader reader_;  // outlives the lanes, whose attempts it reads
    RetryPolicy policy_;
    FolderMaker folders_;
    UploadLanes lanes_;
    UploadReport report_;
    std::deque<unsigned long> pending_;  // files waiting for an attempt, by number
    Clock::time_point lastRetryDue_;     // the latest time a retry waits for
    // Files a lane stored whose checks it could not finish: the next free
    // lane asks for them, the file is not sent again.
    std::deque<Attempt> checksWaiting_;
    FolderChecks checks_;
    std::size_t storedUnlisted_ = 0;  // stored files not in a round of listings yet
    bool namesWarned_ = false;
    bool givenUp_ = false;
    std::string givenUpWhy_;  // why the files still queued were given up
};

}  // namespace qz
