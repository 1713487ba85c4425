#pragma once
// One upload of the queue: libcurl's multi loop over the session's
// connections ("slots"), handing out the queued files, reading and hashing
// them as libcurl asks for bytes, and deciding what each finished request
// means (upload_outcome.cpp).
//
//   UploadLoop loop(impl, session);
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
#include "failure_kind.hpp"
#include "file_phase.hpp"
#include "ftp_pipeline.hpp"
#include "ftp_session.hpp"
#include "pipelined_links.hpp"
#include "hash_worker.hpp"
#include "rate_limiter.hpp"
#include "retry_policy.hpp"
#include "stall_watch.hpp"
#include "throughput.hpp"

namespace qz {

using Clock = std::chrono::steady_clock;

// Seconds with one decimal, as in "1.5".
std::string secondsText(Clock::duration d);

inline bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// One file on its way over one channel.
struct Sending {
    unsigned long number = 0;
    int fd = -1;
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
    StallWatch::Mark mark;                 // what had moved when it last moved
    unsigned answersAtStart = 0;           // the server's replies heard before this attempt
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

class UploadLoop;

struct Slot {
    Channel* channel = nullptr;
    UploadLoop* loop = nullptr;
    Sending file;
};

// With pipelined connections ("lanes", see FtpPipeline) the loop hands them
// every file, retries and resumes included, and keeps the session's
// connections for checks a lane could not finish, and for every file once
// no lane is left.
class UploadLoop : private PipelineSource {
public:
    UploadLoop(Control::Impl& impl, FtpSession& session);
    ~UploadLoop() override;
    void run();

private:
    // The loop: hands out files to idle connections, lets libcurl work,
    // collects what ended.
    bool anyBusy() const;
    void createFolders();
    std::vector<std::string> remainingFiles() const;  // remote names of the files not sent yet
    void startWaiting(Clock::time_point now);
    void hintReadAhead();
    bool beginAttempt(const Pending& p, Sending& f);
    void start(Slot& slot, const Pending& p);
    // How many of the session's connections may carry files now.
    std::size_t slotsAllowed() const;
    // Lanes carrying files or logging in again.
    std::size_t lanesUp() const;
    bool takenBySlots(const Pending& p) const;
    bool slotMayTake(const Pending& p, Clock::time_point now) const;
    bool collectFinished();
    bool abortStalled(Clock::time_point now);
    int stallSeconds() const { return std::max(impl_.options.stallTimeout, 1); }
    void resumePaused();
    int waitMilliseconds(Clock::time_point now, Clock::time_point nextProgress) const;
    std::string rateText() const;
    void rateChanged(bool backedOff);
    void publish(Clock::time_point now);

    // Reading, as libcurl asks for bytes.
    static std::size_t onRead(char* buffer, std::size_t size, std::size_t count, void* user);
    static int onSeek(void* user, curl_off_t offset, int origin);
    std::size_t read(Slot& slot, char* buffer, std::size_t room);
    std::int64_t readNext(Sending& f, char* buffer, std::size_t room);
    bool hashUpTo(Sending& f, std::uint64_t end);
    void resumedAt(Slot& slot);
    void closeFile(Slot& slot);
    TransferStats& entry(const Sending& f) { return stats_.fileMap.at(f.number); }
    std::uint64_t uploadedBy(const Slot& slot) const;

    // What the requests come to (upload_outcome.cpp).
    void startCheck(Slot& slot, std::uint64_t uploaded);
    // The options may change between uploads on one connection.
    bool hashCheck() const { return impl_.options.serverHashCheck && (session_.offersSha256() || lanesHash_); }
    enum class EVerified { eFailed, eBySize, eByHash };
    struct Verification {
        EVerified how;
        std::string text;  // for the file's log line
    };
    // `hashLine`: the server's reply to HASH, when it was asked.
    Verification verify(const Sending& f, bool hashAsked, const std::string& hashLine);
    // How long the server may say nothing on `f`'s request.
    std::chrono::seconds silenceAllowed(const Sending& f) const;
    bool hashOverdue(Slot& slot, CURLcode result);
    void done(const Sending& f, const Verification& verified);
    void finish(Slot& slot, CURLcode result, const std::string& stall = "");
    void conclude(Slot& slot, CURLcode result, const std::string& stall);
    void refused(Slot& slot, CURLcode result);
    void retryOrFail(unsigned long number, const std::string& why, EFailure failure, bool resume, bool atOnce = false);
    void giveUp(const std::string& why, Clock::time_point now);
    void fail(unsigned long number, const std::string& why);
    // The request for the folders failed; `answered`: the server said why.
    void foldersFailed(bool answered, const std::string& why, Clock::time_point now);
    void summarize();

    Control::Impl& impl_;
    FtpSession& session_;
    GlobalStateAndStats& stats_;
    RateLimiter limiter_;
    HashWorker hasher_;  // outlives the slots, whose digests it takes
    std::vector<std::unique_ptr<Slot>> slots_;

    // Pipelined connections (upload_lanes.cpp).
    struct Lane {
        CurlControlLink* link = nullptr;  // one of impl_.links
        std::unique_ptr<FtpPipeline> pipeline;
        std::deque<Sending> files;  // handed to it and not settled, oldest first
        StallWatch::Mark mark;
        int stopsInARow = 0;  // its connection stopped without a file checked in between
    };
    // A lane whose connection stopped, logging in again.
    struct Relogin {
        PendingLogin login;
        int stopsInARow = 0;
    };
    PipelineSettings laneSettings() const;
    void addLane(CurlControlLink* link, int stopsInARow);
    void openLanes();
    void adoptRelogins();
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
    void laneChecked(Sending& f, const PipelineOutcome& outcome);
    void laneFailed(Sending& f, const PipelineOutcome& outcome, const FtpPipeline& pipeline);
    std::vector<Lane> lanes_;
    std::vector<Relogin> relogins_;
    std::size_t lanesAtStart_ = 0;   // the connections the server took
    unsigned long laneSettles_ = 0;  // files settled on lanes so far
    // Files a lane stored whose checks it could not finish: a session's
    // connection asks for them, the file is not sent again.
    std::deque<Sending> checksWaiting_;
    bool handOverCheck(Sending& f, const PipelineOutcome& outcome, const FtpPipeline& pipeline);
    void startHandedCheck(Slot& slot);
    std::deque<Pending> pending_;
    // What this upload keeps of each file, by file number: one record, not
    // a map each, as a queue may hold 100,000 files.
    struct FileTally {
        std::uint64_t confirmed = 0;  // bytes the server holds for certain
        int attempts = 0;             // in this upload
        int answeredAttempts = 0;     // failed attempts during which the server answered
        bool hinted = false;          // its read-ahead is asked for
        bool refusedOnce = false;     // the server had no room for it once
        bool hashAskedAgain = false;  // its hash check was sent a second time
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
    bool lanesHash_ = false;  // a lane's server offered HASH with SHA-256
    int folderAttempts_ = 0;  // failed while the server answered
    Clock::time_point foldersNotBefore_;
    Clock::time_point loggedRound_;
    bool givenUp_ = false;
    std::string unreachableText_;  // why the files still queued were given up
};

}  // namespace qz
