#pragma once
// The connections of one upload ("lanes", see FtpPipeline): each takes the
// next attempt from the upload when free, reads it through the upload (the
// rate, the hashing worker, the checks that the file did not change), and
// hands back how it ended. A lane that stops is replaced by a fresh login,
// up to as many as the server took at connect; one on which nothing moves
// for the stall timeout is stopped.
//
//   UploadLanes lanes(options, pool, owner, reader);
//   lanes.open();
//   while (...) { poll(lanes.pollSet()); lanes.advance(now, wantMore); lanes.abortStalled(now); }
//   for (Attempt& a : lanes.leave()) ...   // an upload that ends early

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "attempt_reader.hpp"
#include "connection_pool.hpp"
#include "file_attempt.hpp"
#include "ftp_pipeline.hpp"
#include "stall_watch.hpp"

namespace qz {

// What the lanes ask of the upload they serve.
class LaneOwner {
public:
    virtual ~LaneOwner() = default;
    // The next attempt, opened, for a free lane; none for now.
    virtual std::optional<Attempt> nextAttempt() = 0;
    // How an attempt ended; its file is closed. `serverHashes`: its lane asked for HASH.
    virtual void settled(Attempt a, const PipelineOutcome& outcome, bool serverHashes) = 0;
    // A folder listing for a free lane, once no attempt is due; none for now.
    virtual std::optional<PipelineJob> nextListing() = 0;
    // How a listing ended.
    virtual void listed(const PipelineOutcome& outcome) = 0;
    // A lane's server answered FEAT.
    virtual void featuresKnown(const FtpFeatures& features) = 0;
    // A lane stopped (`lost`: the server closed or broke it) and is
    // closed. True when the folders were asked for on it.
    virtual bool laneStopped(const FtpPipeline& pipeline, bool lost) = 0;
    // A fresh login failed, or its connection stopped before it carried a
    // file, while no lane was up and the other logins of the round had failed.
    virtual void loginFailed(const LoginError& e) = 0;
    // The server refuses every way of opening a data connection: `why`.
    virtual void dataRefused(const std::string& why) = 0;
};

class UploadLanes : private PipelineSource {
public:
    using Clock = std::chrono::steady_clock;

    UploadLanes(const Options& options, ConnectionPool& pool, LaneOwner& owner, AttemptReader& reader);
    ~UploadLanes() override;
    UploadLanes(const UploadLanes&) = delete;
    UploadLanes& operator=(const UploadLanes&) = delete;

    // Takes over the pool's connections, and the logins an earlier upload left.
    void open();
    // Does what can be done now. With `wantMore` (files wait), missing
    // connections log in again. True when an attempt settled.
    bool advance(Clock::time_point now, bool wantMore);
    // Stops the lanes on which nothing moved for too long; true if any.
    bool abortStalled(Clock::time_point now);
    // Lets every lane take what came due (e.g. the folders are there).
    void nudge();
    // Attempts still on the lanes, for an upload that ends early; lanes
    // with commands on the way are closed, as their replies would confuse
    // the next upload.
    std::vector<Attempt> leave();

    std::vector<pollfd> pollSet() const;
    bool busy() const;
    // An attempt is on a lane.
    bool carryingFiles() const;
    bool heldBack() const;
    // An attempt waits for the hashing worker, which gives no sign when it catches up.
    bool hashBehind() const;
    bool loggingIn() const { return !relogins_.empty(); }
    bool anyUp() const { return !lanes_.empty(); }
    // Fewer lanes than wanted, counting those logging in, and more may log
    // in now or at nextLoginAt().
    bool missing() const { return lanes_.size() + relogins_.size() < wanted_ && !roundUnderWay(); }
    std::size_t wanted() const { return wanted_; }
    Clock::time_point nextLoginAt() const { return reloginNotBefore_; }
    // The first lane, to ask for the folders; nullptr when none is up.
    FtpPipeline* first() { return lanes_.empty() ? nullptr : lanes_.front().pipeline.get(); }
    // Each attempt on a lane with the bytes the server may hold of its file.
    template <typename Visit>
    void forEachAttempt(Visit visit) const;

private:
    struct Lane {
        CurlControlLink* link = nullptr;  // one of the pool's
        std::unique_ptr<FtpPipeline> pipeline;
        std::deque<Attempt> attempts;         // handed to it and not settled, oldest first
        std::vector<unsigned long> listings;  // listing jobs handed to it and not settled
        StallWatch::Mark mark;
        int stopsInARow = 0;   // its connection stopped without a file checked in between
        bool carried = false;  // an attempt settled on it
    };
    struct Relogin {
        PendingLogin login;
        int stopsInARow = 0;
    };

    void add(CurlControlLink* link, int stopsInARow);
    void adoptRelogins(Clock::time_point now);
    void loginFailed(const LoginError& e, Clock::time_point now);
    // An attempt settled on a lane (since its login).
    bool carrying() const;
    // While no lane carries files the logins go in rounds: the next one
    // starts once each of this one has ended, and the last to fail decides.
    bool roundUnderWay() const { return !relogins_.empty() && !carrying(); }
    void dropStopped(bool wantMore);
    Lane& laneOf(const FtpPipeline& pipeline);
    Attempt* attempt(unsigned long number);

    std::optional<PipelineJob> nextFile(FtpPipeline& pipeline) override;
    std::int64_t read(unsigned long id, SharedBlock& block, std::size_t room) override;
    std::uint64_t resumeAt(unsigned long id, std::optional<std::uint64_t> held) override;
    void settled(FtpPipeline& pipeline, const PipelineOutcome& outcome) override;
    void loggedIn(FtpPipeline& pipeline) override { owner_.featuresKnown(pipeline.features()); }

    const Options& options_;
    ConnectionPool& pool_;
    LaneOwner& owner_;
    AttemptReader& reader_;
    std::vector<Lane> lanes_;
    std::vector<Relogin> relogins_;
    std::size_t wanted_ = 1;  // as many as the server took, at least one
    // After a login that failed while other lanes carried files.
    std::chrono::milliseconds reloginPause_{0};
    Clock::time_point reloginNotBefore_;
    unsigned long settles_ = 0;
    bool storeAfterPassiveReply_ = false;  // see PipelineSettings
    StallWatch stalls_;
};

template <typename Visit>
void UploadLanes::forEachAttempt(Visit visit) const {
    for (const Lane& lane : lanes_) {
        for (const Attempt& a : lane.attempts) {
            const bool sending = lane.pipeline->sending() == a.number;
            visit(a, sending ? a.offset + lane.pipeline->bytesOfSending() : a.size);
        }
    }
}

}  // namespace qz
