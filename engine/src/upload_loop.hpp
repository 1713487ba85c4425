#pragma once
// One upload of the queue over the controller's connections ("lanes", see
// FtpPipeline): handing out the queued files, reading and hashing them as
// the connections ask for bytes, and deciding what each attempt's end
// means (upload_outcome.cpp).
//
//   UploadLoop loop(impl);
//   loop.run();   // throws qz::Exception naming the files that could not be sent

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "control_impl.hpp"
#include "attempt_verdict.hpp"
#include "file_phase.hpp"
#include "ftp_pipeline.hpp"
#include "pipelined_links.hpp"
#include "hash_worker.hpp"
#include "rate_limiter.hpp"
#include "retry_policy.hpp"
#include "stall_watch.hpp"
#include "throughput.hpp"
#include "unique_fd.hpp"

namespace qz {

using Clock = std::chrono::steady_clock;

// Seconds with one decimal, as in "1.5".
std::string secondsText(Clock::duration d);

inline bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// One file on its way over one connection.
struct Sending {
    unsigned long number = 0;
    UniqueFd fd;
    std::uint64_t size = 0;
    std::uint64_t offset = 0;    // where this attempt began (server's size on resume)
    std::uint64_t position = 0;  // next byte to read
    FilePhase phase;
    // Not phases, they hold across them: the attempt continues an earlier
    // one, and the rate holds its reading back for a while.
    bool resumed = false;
    bool paused = false;
    std::uint64_t uploaded = 0;            // bytes this attempt sent, once stored
    struct timespec modified {};           // as the file was opened
    std::string remotePath;                // as sent in commands
    std::string localFault;                // the local file changed under us: no retry
    std::shared_ptr<QueuedDigest> digest;  // of the bytes read, from byte 0
    std::string sha256;                    // the digest, once every byte is out
};

struct Pending {
    unsigned long number;
    Clock::time_point notBefore;
    bool resume;
};

// Every file goes over the lanes: first attempts, retries, resumes and
// checks. A lane that stops is replaced by a fresh login, up to as many as
// the server took at connect; while the server cannot be reached, the
// logins are tried in rounds.
class UploadLoop : private PipelineSource {
public:
    explicit UploadLoop(Control::Impl& impl);
    ~UploadLoop() override;
    void run();

private:
    // The loop: hands out files to idle connections, lets them work,
    // collects what ended.
    bool anyBusy() const;
    bool workLeft() const;
    void createFolders();
    std::vector<std::string> remainingFiles() const;  // remote names of the files not sent yet
    void startWaiting(Clock::time_point now);
    void hintReadAhead();
    bool beginAttempt(const Pending& p, Sending& f);
    int stallSeconds() const { return impl_.options.stallTimeout; }
    int waitMilliseconds(Clock::time_point now, Clock::time_point nextProgress) const;
    void waitForSockets(int milliseconds) const;
    std::string rateText() const;
    void rateChanged(bool backedOff);
    void publish(Clock::time_point now);

    // Reading, as a connection asks for bytes.
    std::int64_t readNext(Sending& f, char* buffer, std::size_t room);
    bool hashUpTo(Sending& f, std::uint64_t end);
    TransferStats& entry(const Sending& f) { return stats_.fileMap.at(f.number); }

    // What the attempts come to (upload_outcome.cpp).
    void apply(Sending& f, const AttemptVerdict& verdict);
    // `how`: how its arrival was verified, for its log line.
    void done(const Sending& f, bool byHash, const std::string& how);
    void retryOrFail(unsigned long number, const std::string& why, EFailure failure, bool resume, bool atOnce = false);
    // The server could not be reached (`why`): the next round waits, or
    // every file not sent yet fails once the timeout has run out.
    void unreachable(const std::string& why, Clock::time_point now);
    void noteRound(const std::string& why, std::chrono::milliseconds pause, Clock::time_point now);
    void giveUp(const std::string& why, Clock::time_point now);
    // Every file not settled yet fails with `why`, and the upload ends.
    void failRemaining(const std::string& why);
    void fail(unsigned long number, const std::string& why);
    // The request for the folders failed; `answered`: the server said why.
    void foldersFailed(bool answered, const std::string& why, Clock::time_point now);
    void summarize();

    Control::Impl& impl_;
    GlobalStateAndStats& stats_;
    RateLimiter limiter_;
    HashWorker hasher_;  // outlives the lanes, whose digests it takes

    // The connections (upload_lanes.cpp).
    struct Lane {
        CurlControlLink* link = nullptr;  // one of impl_.links
        std::unique_ptr<FtpPipeline> pipeline;
        std::deque<Sending> files;  // handed to it and not settled, oldest first
        StallWatch::Mark mark;
        int stopsInARow = 0;  // its connection stopped without a file checked in between
    };
    // A connection logging in, to replace one that stopped or broke.
    struct Relogin {
        PendingLogin login;
        int stopsInARow = 0;
    };
    PipelineSettings laneSettings() const;
    void addLane(CurlControlLink* link, int stopsInARow);
    void openLanes();
    // Starts logins while fewer connections carry files than wanted.
    void topUpLanes(Clock::time_point now);
    void adoptRelogins();
    void loginFailed(const LoginError& e, Clock::time_point now);
    // True when a file settled on a lane: the loop looks at once what follows.
    bool advanceLanes();
    void dropStoppedLanes();
    bool lanesBusy() const;
    bool lanesHeldBack() const;
    std::vector<pollfd> lanesPollSet() const;
    void publishLanes();
    bool abortStalledLanes(Clock::time_point now);
    void leaveLanes();
    void closeLink(const CurlControlLink* link);
    void unsend(unsigned long number);
    Lane& laneOf(const FtpPipeline& pipeline);
    Sending* laneFile(unsigned long number);
    std::optional<PipelineJob> nextFile(FtpPipeline& pipeline) override;
    std::int64_t read(unsigned long id, char* buffer, std::size_t room) override;
    std::uint64_t resumeAt(unsigned long id, std::optional<std::uint64_t> held) override;
    void settled(FtpPipeline& pipeline, const PipelineOutcome& outcome) override;
    std::size_t lanesUp() const { return lanes_.size() + relogins_.size(); }
    std::vector<Lane> lanes_;
    std::vector<Relogin> relogins_;
    std::size_t wantedLanes_ = 1;  // as many as the server took, at least one
    // After a login that failed while others carried files.
    std::chrono::milliseconds reloginPause_{0};
    Clock::time_point reloginNotBefore_;
    unsigned long laneSettles_ = 0;  // files settled on lanes so far
    // Files a lane stored whose checks it could not finish: the next lane
    // that is free asks for them, the file is not sent again.
    std::deque<Sending> checksWaiting_;
    std::deque<Pending> pending_;
    // What this upload keeps of each file, by file number: one record, not
    // a map each, as a queue may hold 100,000 files.
    struct FileTally {
        std::uint64_t confirmed = 0;  // bytes the server holds for certain
        int attempts = 0;             // in this upload
        int answeredAttempts = 0;     // failed attempts during which the server answered
        bool hinted = false;          // its read-ahead is asked for
        bool refusedOnce = false;     // the server had no room for it once
        bool checkedAgain = false;    // its checks were asked for a second time
    };
    std::vector<FileTally> tallies_;
    FileTally& tally(unsigned long number) { return tallies_.at(number); }
    std::set<std::string> sendingTo_;
    StallWatch stalls_;
    Throughput throughput_;
    Clock::time_point begin_;
    std::uint64_t loggedRate_ = 0;
    RetryPolicy policy_;
    bool foldersMade_ = false;
    CurlControlLink* foldersBy_ = nullptr;  // the lane that creates them
    std::size_t foldersAsked_ = 0;
    int folderAttempts_ = 0;  // failed while the server answered
    Clock::time_point foldersNotBefore_;
    Clock::time_point loggedRound_;
    bool givenUp_ = false;
    std::string givenUpWhy_;  // why the files still queued were given up
};

}  // namespace qz
