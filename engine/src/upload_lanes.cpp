// The loop's pipelined connections ("lanes"): each takes fresh files one
// after another, reads them through the loop (the rate, the hashing worker,
// the checks that the file did not change), and reports how each ended.
// A retry goes over the lanes as well; a resume asks the server what it holds.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "attempt_verdict.hpp"
#include "local_file.hpp"
#include "pipelined_links.hpp"
#include "qz/log.hpp"
#include "qz/quoted.hpp"
#include "remote_path.hpp"
#include "server_hash.hpp"
#include "upload_loop.hpp"

namespace qz {

namespace {

// A connection that stops again before a file was checked on it is not replaced.
constexpr int kStopsBeforeDropped = 2;

}  // namespace

PipelineSettings UploadLoop::laneSettings() const { return pipelineSettings(impl_.options); }

void UploadLoop::openLanes() {
    wantedLanes_ = std::max<std::size_t>(impl_.connectionsTaken, 1);
    // What an earlier upload left logging in joins when it is done.
    for (auto& pending : impl_.linksLoggingIn) relogins_.push_back({std::move(pending), 0});
    impl_.linksLoggingIn.clear();
    for (auto& link : impl_.links) addLane(link.get(), 0);
}

// `link`, one of the controller's connections, carries files from now on.
void UploadLoop::addLane(CurlControlLink* link, int stopsInARow) {
    Lane lane;
    lane.link = link;
    lane.mark.movedAt = Clock::now();
    lane.stopsInARow = stopsInARow;
    lane.pipeline = std::make_unique<FtpPipeline>(*lane.link, static_cast<PipelineSource&>(*this), laneSettings());
    lanes_.push_back(std::move(lane));
}

void UploadLoop::topUpLanes(Clock::time_point now) {
    if (givenUp_ || !workLeft() || now < reloginNotBefore_) return;
    while (lanesUp() < wantedLanes_) relogins_.push_back({loginLater(impl_.options), 0});
}

void UploadLoop::adoptRelogins() {
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
            loginFailed(*fault, Clock::now());
            continue;
        }
        reloginPause_ = {};
        impl_.links.push_back(std::move(link));
        addLane(impl_.links.back().get(), stops);
    }
}

// With other connections carrying files, the login is tried again after
// a growing pause. With none, the server is away (or refuses us).
void UploadLoop::loginFailed(const LoginError& e, Clock::time_point now) {
    const bool away = e.replyCode == 421;
    const std::string why = away        ? "the server " + impl_.server + " is not available (it said: " + e.reply + ")"
                            : e.unheard ? "the server " + impl_.server +
                                              " closed the connection before it said a word (" + e.cause + ")"
                                        : e.what();
    if (!lanes_.empty()) {
        reloginPause_ = std::clamp(reloginPause_ * 2, RetryPolicy::kFirstRoundPause, RetryPolicy::kLongestRoundPause);
        reloginNotBefore_ = now + reloginPause_;
        note(Logging::EType::eWarnings, "a connection to " + impl_.server +
                                            " could not log in again, trying again in " + secondsText(reloginPause_) +
                                            " s: " + why);
        return;
    }
    if (!relogins_.empty()) return;  // one of those may get in
    impl_.lastError = why;
    // Refused for good (a wrong password, say): no round will change that.
    if (e.replyCode >= 500) {
        failRemaining(why);
        return;
    }
    if (!foldersMade_) {
        foldersFailed(false, why, now);
    } else {
        unreachable(why, now);
    }
}

bool UploadLoop::lanesBusy() const {
    return std::any_of(lanes_.begin(), lanes_.end(), [](const Lane& l) { return !l.pipeline->quiet(); });
}

bool UploadLoop::lanesHeldBack() const {
    return std::any_of(lanes_.begin(), lanes_.end(), [](const Lane& l) { return l.pipeline->heldBack(); });
}

std::vector<pollfd> UploadLoop::lanesPollSet() const {
    std::vector<pollfd> set;
    for (const Lane& lane : lanes_) {
        for (const pollfd& p : lane.pipeline->pollSet()) set.push_back(p);
    }
    return set;
}

bool UploadLoop::advanceLanes() {
    adoptRelogins();
    const bool foldersWereMade = foldersMade_;
    const unsigned long settledBefore = laneSettles_;
    for (Lane& lane : lanes_) {
        lane.pipeline->advance();
        if (foldersBy_ == lane.link && !lane.pipeline->stopped() && !lane.pipeline->makingFolders()) {
            foldersBy_ = nullptr;
            foldersMade_ = true;
            policy_.reached();
            note(Logging::EType::eSummary, "created " + std::to_string(foldersAsked_) + " folder(s)");
        }
    }
    // Lanes asked for a file before the folders were there: they take one now,
    // as nothing on their sockets would wake them for it.
    if (!foldersWereMade && foldersMade_) {
        for (Lane& lane : lanes_) lane.pipeline->advance();
    }
    dropStoppedLanes();
    return laneSettles_ != settledBefore;
}

// A lane whose connection stopped has handed its files back; its
// connection is closed, and a fresh one logs in while files wait. One that
// stopped again before a file was checked on it is not replaced (while
// others carry the files), and one the server dropped is replaced with the
// next round (a server that restarts is waited for in rounds).
void UploadLoop::dropStoppedLanes() {
    for (auto it = lanes_.begin(); it != lanes_.end();) {
        if (!it->pipeline->stopped()) {
            ++it;
            continue;
        }
        const int stops = it->stopsInARow + 1;
        const bool lost = it->pipeline->connectionLost();
        const bool again = stops < kStopsBeforeDropped && !lost && !givenUp_ && workLeft();
        note(Logging::EType::eWarnings, "a connection to " + impl_.server + " stopped, " +
                                            (again ? "logging in again" : "its files go over the other connections") +
                                            ": " + it->pipeline->fault());
        CurlControlLink* link = it->link;
        if (foldersBy_ == link) {
            // Asked for again, on another connection.
            foldersBy_ = nullptr;
            foldersFailed(!lost, "the connection to " + impl_.server + " stopped: " + it->pipeline->fault(),
                          Clock::now());
        }
        it = lanes_.erase(it);
        closeLink(link);
        if (again) {
            relogins_.push_back({loginLater(impl_.options), stops});
        } else if (!lost && wantedLanes_ > 1) {
            --wantedLanes_;
        }
    }
}

// An upload that ends early (an error, the host's exception) leaves lanes
// with commands on the way: their replies would confuse the next upload, so
// such connections are closed.
void UploadLoop::leaveLanes() {
    for (const Sending& f : checksWaiting_) unsend(f.number);
    checksWaiting_.clear();
    for (Lane& lane : lanes_) {
        for (Sending& f : lane.files) {
            unsend(f.number);
            f.fd.reset();
        }
        if (lane.pipeline->quiet()) continue;
        CurlControlLink* link = lane.link;
        lane.pipeline.reset();
        closeLink(link);
    }
    lanes_.clear();
}

// The connection is closed; a later upload goes on with the others.
void UploadLoop::closeLink(const CurlControlLink* link) {
    auto& links = impl_.links;
    links.erase(std::remove_if(links.begin(), links.end(), [link](const auto& l) { return l.get() == link; }),
                links.end());
}

UploadLoop::Lane& UploadLoop::laneOf(const FtpPipeline& pipeline) {
    for (Lane& lane : lanes_) {
        if (lane.pipeline.get() == &pipeline) return lane;
    }
    throw std::logic_error("a pipeline without its lane");
}

Sending* UploadLoop::laneFile(unsigned long number) {
    for (Lane& lane : lanes_) {
        for (Sending& f : lane.files) {
            if (f.number == number) return &f;
        }
    }
    return nullptr;
}

std::optional<PipelineJob> UploadLoop::nextFile(FtpPipeline& pipeline) {
    const Clock::time_point now = Clock::now();
    if (!foldersMade_ || givenUp_ || now < policy_.nextAttemptAt()) return std::nullopt;
    Lane& lane = laneOf(pipeline);
    // A stored file whose checks were cut short goes first: it holds its name.
    if (!checksWaiting_.empty()) {
        lane.files.push_back(std::move(checksWaiting_.front()));
        checksWaiting_.pop_front();
        const Sending& check = lane.files.back();
        return PipelineJob{check.number, check.remotePath, check.size, false, true};
    }
    for (;;) {
        // A fresh file only; two transfers to one remote name at once would mix their bytes.
        auto ready = std::find_if(pending_.begin(), pending_.end(), [this, now](const Pending& p) {
            return p.notBefore <= now &&
                   (sendingTo_.empty() ||
                    !sendingTo_.count(remoteCommandPath(stats_.fileMap.at(p.number).remote.full())));
        });
        if (ready == pending_.end()) return std::nullopt;
        const Pending p = *ready;
        pending_.erase(ready);
        Sending f;
        if (!beginAttempt(p, f)) continue;
        lane.files.push_back(std::move(f));
        const Sending& sent = lane.files.back();
        return PipelineJob{p.number, sent.remotePath, sent.size, sent.resumed};
    }
}

std::int64_t UploadLoop::read(unsigned long id, char* buffer, std::size_t room) {
    Sending* f = laneFile(id);
    return f ? readNext(*f, buffer, room) : kFailed;
}

// Bytes the server holds that the local file does not have: its copy is
// not a part of this file, and the file goes whole.
std::uint64_t UploadLoop::resumeAt(unsigned long id, std::optional<std::uint64_t> held) {
    Sending* f = laneFile(id);
    if (!f) return 0;
    if (!held || *held > f->size) {
        f->resumed = false;
        tally(id).confirmed = 0;
        if (held) {
            note(Logging::EType::eWarnings, "sending " + quoted(entry(*f).remote.full()) +
                                                " from its first byte: the server holds " + std::to_string(*held) +
                                                " bytes of its " + std::to_string(f->size));
        }
        return 0;
    }
    f->offset = f->position = *held;
    tally(id).confirmed = *held;
    if (*held > 0) {
        note(Logging::EType::eWarnings, "resuming " + quoted(entry(*f).remote.full()) + " at byte " +
                                            std::to_string(*held) + " of " + std::to_string(f->size));
    }
    return *held;
}

void UploadLoop::settled(FtpPipeline& pipeline, const PipelineOutcome& outcome) {
    Lane& lane = laneOf(pipeline);
    auto it = std::find_if(lane.files.begin(), lane.files.end(),
                           [&outcome](const Sending& f) { return f.number == outcome.id; });
    if (it == lane.files.end()) return;
    ++laneSettles_;
    if (outcome.end == EPipelineEnd::eChecked) lane.stopsInARow = 0;
    Sending f = std::move(*it);
    lane.files.erase(it);
    f.fd.reset();
    sendingTo_.erase(f.remotePath);
    const TransferStats& st = entry(f);
    FileTally& t = tally(f.number);
    AttemptFacts facts;
    facts.outcome = outcome;
    facts.size = f.size;
    facts.offset = f.offset;
    facts.storedBefore = f.uploaded;
    facts.localFault = f.localFault;
    facts.serverHashes = pipeline.hashing();
    facts.refusedOnce = t.refusedOnce;
    facts.checkedAgain = t.checkedAgain;
    facts.hashWait = hashReplyWait(std::chrono::seconds(stallSeconds()), f.size);
    facts.server = impl_.server;
    facts.local = st.local.full();
    facts.remote = st.remote.full();
    // Every byte confirmed: the digest taken while sending is wanted now.
    if (facts.localFault.empty() && outcome.stored && bytesConfirmed(facts) == f.size && f.sha256.empty()) {
        std::string fault;
        f.sha256 = f.digest->finish(fault);
        if (!fault.empty()) facts.localFault = quoted(facts.local) + " " + fault;
    }
    facts.sha256 = f.sha256;
    apply(f, judgeAttempt(facts));
}

void UploadLoop::publishLanes() {
    for (const Lane& lane : lanes_) {
        for (const Sending& f : lane.files) {
            const bool sending = lane.pipeline->sending() == f.number;
            entry(f).bytesSent = sending ? f.offset + lane.pipeline->bytesOfSending() : f.size;
        }
    }
}

// A lane on which nothing moved (no byte out, no reply in) for the stall
// timeout is stopped; its files go again over the other connections. The
// wait for a hash grows with the size of the file being hashed.
bool UploadLoop::abortStalledLanes(Clock::time_point now) {
    bool aborted = false;
    const std::chrono::seconds usual(stallSeconds());
    for (Lane& lane : lanes_) {
        FtpPipeline& p = *lane.pipeline;
        if (p.quiet()) {
            lane.mark = {p.bytesWritten(), p.replies(), now};
            continue;
        }
        std::chrono::seconds limit = usual;
        for (const Sending& f : lane.files) {
            if (p.hashing() && p.sending() != f.number) limit = std::max(limit, hashReplyWait(usual, f.size));
        }
        if (!stalls_.stalled(lane.mark, {p.bytesWritten(), p.replies(), p.heldBack(), limit}, now)) continue;
        const std::string seconds = std::to_string(limit.count()) + " s";
        std::string why = "nothing moved for " + seconds;
        std::uint64_t at = 0;
        if (p.sending()) {
            const Sending* f = laneFile(*p.sending());
            at = (f ? f->offset : 0) + p.bytesOfSending();
            // Every byte is out and the server's reply to the transfer does not come.
            if (f && at == f->size) why = "FTP response timeout, no reply for " + seconds;
        }
        p.abandon("the transfer stalled at byte " + std::to_string(at) + " on " + impl_.server + ": " + why);
        aborted = true;
    }
    if (aborted) dropStoppedLanes();
    return aborted;
}

}  // namespace qz
