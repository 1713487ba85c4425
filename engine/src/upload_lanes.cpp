#include "upload_lanes.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "control_report.hpp"
#include "retry_policy.hpp"
#include "server_hash.hpp"

namespace qz {

namespace {

// A connection that stops again before a file was checked on it is not replaced.
constexpr int kStopsBeforeDropped = 2;

}  // namespace

UploadLanes::UploadLanes(const Options& options, ConnectionPool& pool, LaneOwner& owner, AttemptReader& reader)
    : options_(options),
      pool_(pool),
      owner_(owner),
      reader_(reader),
      stalls_(std::chrono::seconds(options.stallTimeout), Clock::now()) {}

UploadLanes::~UploadLanes() {
    // A connection still logging in may serve the next upload; the upload
    // does not wait for it.
    for (Relogin& r : relogins_) pool_.keepLogin(std::move(r.login));
}

void UploadLanes::open() {
    wanted_ = std::max<std::size_t>(pool_.taken(), 1);
    for (PendingLogin& login : pool_.takeLogins()) relogins_.push_back({std::move(login), 0});
    for (CurlControlLink* link : pool_.links()) add(link, 0);
}

// `link`, one of the pool's connections, carries files from now on.
void UploadLanes::add(CurlControlLink* link, int stopsInARow) {
    Lane lane;
    lane.link = link;
    lane.mark.movedAt = Clock::now();
    lane.stopsInARow = stopsInARow;
    PipelineSettings settings = pipelineSettings(options_);
    settings.storeAfterPassiveReply = storeAfterPassiveReply_;
    lane.pipeline = std::make_unique<FtpPipeline>(*link, static_cast<PipelineSource&>(*this), settings);
    lanes_.push_back(std::move(lane));
}

bool UploadLanes::advance(Clock::time_point now, bool wantMore) {
    adoptRelogins(now);
    const unsigned long settledBefore = settles_;
    for (Lane& lane : lanes_) lane.pipeline->advance();
    dropStopped(wantMore);
    if (wantMore && now >= reloginNotBefore_) {
        while (missing()) relogins_.push_back({loginLater(options_), 0});
    }
    return settles_ != settledBefore;
}

void UploadLanes::nudge() {
    for (Lane& lane : lanes_) lane.pipeline->advance();
}

// A failed login while other lanes carry files is tried again after a
// growing pause; with none up, the upload decides (the server is away, or
// refuses us).
void UploadLanes::adoptRelogins(Clock::time_point now) {
    for (auto it = relogins_.begin(); it != relogins_.end();) {
        if (it->login.link.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            ++it;
            continue;
        }
        const int stops = it->stopsInARow;
        std::unique_ptr<CurlControlLink> link;
        std::optional<LoginError> fault;
        try {
            link = it->login.link.get();
        } catch (const LoginError& e) {
            fault = e;
        }
        it = relogins_.erase(it);
        if (fault) {
            loginFailed(*fault, now);
        } else {
            add(pool_.add(std::move(link)), stops);
        }
    }
}

// A login counts as good once an attempt settled on its connection, not
// when the server merely took it: the pause before the next one grows
// until then. With no lane carrying files, the last login of the round to
// fail leaves the decision to the upload.
void UploadLanes::loginFailed(const LoginError& e, Clock::time_point now) {
    reloginPause_ = std::clamp(reloginPause_ * 2, RetryPolicy::kFirstRoundPause, RetryPolicy::kLongestRoundPause);
    reloginNotBefore_ = now + reloginPause_;
    if (carrying()) {
        note(Logging::EType::eWarnings, "a connection to " + pool_.server() +
                                            " could not log in again, trying again in " + secondsText(reloginPause_) +
                                            " s: " + loginFailure(e, pool_.server()));
    } else if (lanes_.empty() && relogins_.empty()) {
        owner_.loginFailed(e);
    }
}

bool UploadLanes::carrying() const {
    return std::any_of(lanes_.begin(), lanes_.end(), [](const Lane& l) { return l.carried; });
}

// A lane whose connection stopped has handed its files back; its
// connection is closed, and a fresh one logs in while files wait. One that
// stopped again before a file was checked on it is not replaced (while
// others carry the files), and one the server dropped is replaced with the
// next round (a server that restarts is waited for in rounds).
void UploadLanes::dropStopped(bool wantMore) {
    for (auto it = lanes_.begin(); it != lanes_.end();) {
        const FtpPipeline& pipeline = *it->pipeline;
        if (!pipeline.stopped()) {
            ++it;
            continue;
        }
        const int stops = it->stopsInARow + 1;
        const bool lost = pipeline.connectionLost();
        const bool folders = owner_.laneStopped(pipeline, lost);
        // A server that drops each connection before it takes a file would
        // be logged in to again and again with no file to count the
        // attempts: such a stop counts as a failed login.
        const bool loginOnly = !it->carried && !folders && wantMore;
        const bool again = stops < kStopsBeforeDropped && !lost && !loginOnly && wantMore;
        const bool others = lanes_.size() > 1;
        note(Logging::EType::eWarnings, "a connection to " + pool_.server() + " stopped, " +
                                            (again    ? "logging in again"
                                             : others ? "its files go over the other connections"
                                                      : "its files wait for a fresh login") +
                                            ": " + pipeline.fault());
        if (pipeline.dataRefused()) owner_.dataRefused(pipeline.fault());
        const std::string fault = pipeline.fault();
        CurlControlLink* link = it->link;
        it = lanes_.erase(it);
        pool_.close(link);
        if (loginOnly) {
            loginFailed(LoginError("the connection to " + pool_.server() + " stopped before it took a file: " + fault,
                                   fault, 0, "", false),
                        Clock::now());
        } else if (again) {
            relogins_.push_back({loginLater(options_), stops});
        } else if (!lost && wanted_ > 1) {
            --wanted_;
        }
    }
}

std::vector<Attempt> UploadLanes::leave() {
    std::vector<Attempt> left;
    for (Lane& lane : lanes_) {
        for (Attempt& a : lane.attempts) {
            a.fd.reset();
            left.push_back(std::move(a));
        }
        if (lane.pipeline->quiet()) continue;
        CurlControlLink* link = lane.link;
        lane.pipeline.reset();
        pool_.close(link);
    }
    lanes_.clear();
    return left;
}

std::vector<pollfd> UploadLanes::pollSet() const {
    std::vector<pollfd> set;
    for (const Lane& lane : lanes_) {
        for (const pollfd& p : lane.pipeline->pollSet()) set.push_back(p);
    }
    return set;
}

bool UploadLanes::busy() const {
    return std::any_of(lanes_.begin(), lanes_.end(), [](const Lane& l) { return !l.pipeline->quiet(); });
}

bool UploadLanes::carryingFiles() const {
    return std::any_of(lanes_.begin(), lanes_.end(), [](const Lane& l) { return !l.attempts.empty(); });
}

bool UploadLanes::heldBack() const {
    return std::any_of(lanes_.begin(), lanes_.end(), [](const Lane& l) { return l.pipeline->heldBack(); });
}

bool UploadLanes::hashBehind() const {
    return std::any_of(lanes_.begin(), lanes_.end(), [](const Lane& l) {
        return std::any_of(l.attempts.begin(), l.attempts.end(),
                           [](const Attempt& a) { return a.paused && a.digest && !a.digest->hasRoom(); });
    });
}

UploadLanes::Lane& UploadLanes::laneOf(const FtpPipeline& pipeline) {
    for (Lane& lane : lanes_) {
        if (lane.pipeline.get() == &pipeline) return lane;
    }
    throw std::logic_error("a pipeline without its lane");
}

Attempt* UploadLanes::attempt(unsigned long number) {
    for (Lane& lane : lanes_) {
        for (Attempt& a : lane.attempts) {
            if (a.number == number) return &a;
        }
    }
    return nullptr;
}

std::optional<PipelineJob> UploadLanes::nextFile(FtpPipeline& pipeline) {
    std::optional<Attempt> next = owner_.nextAttempt();
    Lane& lane = laneOf(pipeline);
    if (!next) {
        std::optional<PipelineJob> listing = owner_.nextListing();
        if (listing) lane.listings.push_back(listing->id);
        return listing;
    }
    lane.attempts.push_back(std::move(*next));
    const Attempt& a = lane.attempts.back();
    return PipelineJob{a.number, a.remotePath, a.size, a.resumed, a.checkOnly};
}

std::int64_t UploadLanes::read(unsigned long id, SharedBlock& block, std::size_t room) {
    Attempt* a = attempt(id);
    return a ? reader_.read(*a, block, room) : kFailed;
}

std::uint64_t UploadLanes::resumeAt(unsigned long id, std::optional<std::uint64_t> held) {
    Attempt* a = attempt(id);
    return a ? reader_.resumeAt(*a, held) : 0;
}

void UploadLanes::settled(FtpPipeline& pipeline, const PipelineOutcome& outcome) {
    Lane& lane = laneOf(pipeline);
    // What one connection learned of the server holds for the fresh logins.
    storeAfterPassiveReply_ = storeAfterPassiveReply_ || pipeline.storesAfterPassiveReply();
    if (auto listing = std::find(lane.listings.begin(), lane.listings.end(), outcome.id);
        listing != lane.listings.end()) {
        lane.listings.erase(listing);
        ++settles_;
        // A whole listing shows the connection sound, as a checked file does.
        if (outcome.end == EPipelineEnd::eChecked) {
            lane.carried = true;
            lane.stopsInARow = 0;
            reloginPause_ = {};
        }
        owner_.listed(outcome);
        return;
    }
    auto it = std::find_if(lane.attempts.begin(), lane.attempts.end(),
                           [&outcome](const Attempt& a) { return a.number == outcome.id; });
    if (it == lane.attempts.end()) return;
    ++settles_;
    lane.carried = true;
    reloginPause_ = {};
    if (outcome.end == EPipelineEnd::eChecked) lane.stopsInARow = 0;
    Attempt a = std::move(*it);
    lane.attempts.erase(it);
    a.fd.reset();
    owner_.settled(std::move(a), outcome, pipeline.hashing());
}

// A lane on which nothing moved (no byte out, no reply in) for the stall
// timeout is stopped; its files go again over the other connections. The
// wait for a hash grows with the size of the file being hashed.
bool UploadLanes::abortStalled(Clock::time_point now) {
    stalls_.beginTurn(now);
    bool aborted = false;
    const std::chrono::seconds usual(options_.stallTimeout);
    for (Lane& lane : lanes_) {
        FtpPipeline& p = *lane.pipeline;
        if (p.quiet()) {
            lane.mark = {p.bytesWritten(), p.replies(), now};
            continue;
        }
        std::chrono::seconds limit = usual;
        for (const Attempt& a : lane.attempts) {
            if (p.hashing() && p.sending() != a.number) limit = std::max(limit, hashReplyWait(usual, a.size));
        }
        if (!stalls_.stalled(lane.mark, {p.bytesWritten(), p.replies(), p.heldBack(), limit}, now)) continue;
        const std::string seconds = std::to_string(limit.count()) + " s";
        std::string why = "nothing moved for " + seconds;
        std::uint64_t at = 0;
        if (p.sending()) {
            const Attempt* a = attempt(*p.sending());
            at = (a ? a->offset : 0) + p.bytesOfSending();
            // Every byte is out and the server's reply to the transfer does not come.
            if (a && at == a->size) why = "FTP response timeout, no reply for " + seconds;
        }
        p.abandon("the transfer stalled at byte " + std::to_string(at) + " on " + pool_.server() + ": " + why);
        aborted = true;
    }
    return aborted;
}

}  // namespace qz
