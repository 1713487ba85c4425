#include "upload_loop.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

#include "local_file.hpp"
#include "read_for_sending.hpp"
#include "qz/log.hpp"
#include "qz/quoted.hpp"
#include "qz/rates.hpp"
#include "remote_path.hpp"

namespace qz {

namespace {

constexpr std::chrono::milliseconds kProgressPeriod{200};

int millisecondsUntil(Clock::time_point now, Clock::time_point then) {
    if (then <= now) return 0;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(then - now).count() + 1;
    return static_cast<int>(std::min<long long>(ms, 1000));
}

}  // namespace

std::string secondsText(Clock::duration d) {
    const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(d).count() / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

UploadLoop::UploadLoop(Control::Impl& impl)
    : impl_(impl),
      stats_(impl.stats),
      limiter_(impl.options, Clock::now()),
      hasher_(static_cast<std::size_t>(impl.options.effectiveConnections())),
      tallies_(impl.nextFileNumber),
      stalls_(std::chrono::seconds(stallSeconds()), Clock::now()),
      throughput_(Clock::now()),
      policy_(std::chrono::seconds(impl.options.unreachableTimeout)) {
    impl_.uploading = true;
}

// A file on its way when the upload ended early is pending again.
void UploadLoop::unsend(unsigned long number) {
    auto it = stats_.fileMap.find(number);
    if (it != stats_.fileMap.end() && it->second.result == EFileResult::eSending) {
        it->second.result = EFileResult::ePending;
        it->second.bytesSent = 0;
    }
}

UploadLoop::~UploadLoop() {
    impl_.uploading = false;
    leaveLanes();
    // A connection still logging in may serve the next upload; the upload
    // does not wait for it.
    for (Relogin& r : relogins_) impl_.linksLoggingIn.push_back(std::move(r.login));
}

void UploadLoop::run() {
    begin_ = Clock::now();
    stalls_ = StallWatch(std::chrono::seconds(stallSeconds()), begin_);
    throughput_ = Throughput(begin_);
    stats_.finished = false;
    stats_.filesDone = stats_.filesFailed = 0;
    stats_.currentRate = 0;
    stats_.elapsedSeconds = 0;
    for (auto& [number, entry] : stats_.fileMap) {
        if (entry.result == EFileResult::eDone) {
            ++stats_.filesDone;
            continue;
        }
        entry.result = EFileResult::ePending;
        entry.errorText.clear();
        // What an earlier upload left on the server is resumed.
        const bool resume = impl_.heldByServer.count(number) > 0;
        if (!resume) entry.bytesSent = 0;
        tally(number).confirmed = entry.bytesSent;
        pending_.push_back({number, begin_, resume});
    }
    impl_.rateLimit = limiter_.rate();
    openLanes();
    note(Logging::EType::eSummary,
         "uploading " + std::to_string(pending_.size()) + " of " + std::to_string(stats_.filesTotal) + " files over " +
             std::to_string(wantedLanes_) + " connection(s)" + (impl_.options.pipelining ? " (pipelined)" : "") +
             ", rate " + rateText() + ", waiting up to " + std::to_string(policy_.timeout().count()) +
             " s for an unreachable server");

    Clock::time_point nextProgress = begin_ + kProgressPeriod;
    while (true) {
        Clock::time_point now = Clock::now();
        startWaiting(now);
        if (!workLeft() && !anyBusy()) break;
        bool finished = advanceLanes();
        now = Clock::now();
        stalls_.beginTurn(now);
        if (abortStalledLanes(now)) finished = true;
        if (limiter_.tick(now)) rateChanged(false);
        if (now >= nextProgress) {
            publish(now);
            nextProgress = now + kProgressPeriod;
        }
        if (!finished) waitForSockets(waitMilliseconds(now, nextProgress));
    }
    stats_.finished = true;
    publish(Clock::now());
    summarize();
}

// The file's next bytes: their count, 0 once
// every byte is out and the file is as it was opened, or kHeldBack (the rate,
// the hashing worker) / kFailed (localFault says why).
std::int64_t UploadLoop::readNext(Sending& f, char* buffer, std::size_t room) {
    f.paused = false;
    if (f.phase.is(EFilePhase::eOpening)) f.phase.moveTo(EFilePhase::eSending);
    if (!hashUpTo(f, f.position)) return PipelineSource::kFailed;
    const std::uint64_t left = f.size - f.position;
    if (left == 0) {
        if (grewBeyond(f.fd.get(), f.size)) {
            f.localFault = quoted(entry(f).local.full()) + " grew during the upload";
            return PipelineSource::kFailed;
        }
        struct stat info {};
        if (::fstat(f.fd.get(), &info) != 0 || static_cast<std::uint64_t>(info.st_size) != f.size ||
            !sameTime(info.st_mtim, f.modified)) {
            f.localFault = quoted(entry(f).local.full()) + " changed during the upload";
            return PipelineSource::kFailed;
        }
        if (f.phase.is(EFilePhase::eSending)) f.phase.moveTo(EFilePhase::eAwaitingReply);
        return 0;
    }
    // Read bytes must be hashed: none is read while the worker is far behind.
    if (!f.digest->hasRoom()) {
        f.paused = true;
        return PipelineSource::kHeldBack;
    }
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(room, left));
    const std::size_t granted = limiter_.grant(wanted, Clock::now());
    if (granted == 0) {
        f.paused = true;
        return PipelineSource::kHeldBack;
    }
    std::string fault;
    const std::int64_t n = readForSending(f.fd.get(), f.position, f.size, buffer, granted, *f.digest, fault);
    if (n < 0) {
        f.localFault = quoted(entry(f).local.full()) + " " + fault;
        return PipelineSource::kFailed;
    }
    limiter_.giveBack(granted - static_cast<std::size_t>(n));
    f.position += static_cast<std::uint64_t>(n);
    return n;
}

bool UploadLoop::hashUpTo(Sending& f, std::uint64_t end) {
    std::string fault;
    if (qz::hashUpTo(f.fd.get(), *f.digest, end, fault)) return true;
    f.localFault = quoted(entry(f).local.full()) + " " + fault;
    return false;
}

bool UploadLoop::anyBusy() const { return lanesBusy(); }

// Files to send or to check, or folders to create first.
bool UploadLoop::workLeft() const { return !pending_.empty() || !checksWaiting_.empty() || !foldersMade_; }

void UploadLoop::waitForSockets(int milliseconds) const {
    std::vector<pollfd> set = lanesPollSet();
    if (::poll(set.data(), set.size(), milliseconds) < 0 && errno != EINTR) {
        // Nothing to wait on that poll could take: the loop looks again soon.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::string UploadLoop::rateText() const {
    return limiter_.limited() ? formatTransferRate(limiter_.rate()) : "unlimited";
}

void UploadLoop::rateChanged(bool backedOff) {
    impl_.rateLimit = limiter_.rate();
    // During a climb one line per doubling keeps the log short.
    const std::uint64_t now = limiter_.rate();
    if (backedOff || loggedRate_ == 0 || now == 0 || now >= loggedRate_ * 2) {
        note(Logging::EType::eSummary, "rate now " + rateText());
        loggedRate_ = now;
    }
}

// Folders come before the files that go into them.
void UploadLoop::createFolders() {
    std::vector<std::string> folders;
    for (const auto& f : foldersToCreate(remainingFiles(), impl_.remoteFolders)) {
        if (fitsInCommand(f)) folders.push_back(f);
    }
    if (folders.empty()) {
        foldersMade_ = true;
        return;
    }
    // All in one write; done once the lane has every reply (advanceLanes).
    lanes_.front().pipeline->makeFolders(folders);
    foldersBy_ = lanes_.front().link;
    foldersAsked_ = folders.size();
}

void UploadLoop::startWaiting(Clock::time_point now) {
    // A server that cannot be reached is tried again in rounds, not file by file.
    if (now < policy_.nextAttemptAt()) return;
    topUpLanes(now);
    if (!foldersMade_ && !foldersBy_ && !lanes_.empty() && now >= foldersNotBefore_) createFolders();
    hintReadAhead();
}

// Tells the kernel which files come next, so their first blocks are read
// while the current ones are still on the wire.
void UploadLoop::hintReadAhead() {
    const std::size_t ahead = static_cast<std::size_t>(impl_.options.encoders) * wantedLanes_;
    std::size_t hinted = 0;
    for (const auto& p : pending_) {
        if (hinted++ >= ahead) break;
        if (!std::exchange(tally(p.number).hinted, true)) adviseReadAhead(stats_.fileMap.at(p.number).local.full());
    }
}

// Opens the file for its next attempt as `f`; false, with the file failed
// by name, when that cannot be.
bool UploadLoop::beginAttempt(const Pending& p, Sending& f) {
    TransferStats& st = stats_.fileMap.at(p.number);
    const std::string commandPath = remoteCommandPath(st.remote.full());
    if (commandPath.empty() || commandPath == "/") {
        fail(p.number, quoted(st.local.full()) + " has no remote name");
        return false;
    }
    if (!fitsInCommand(commandPath)) {
        fail(p.number, quoted(st.local.full()) + ": the remote name " + quoted(st.remote.full()) +
                           " holds a line break, which FTP cannot carry");
        return false;
    }
    OpenedFile opened = openQueuedFile(st.local.full());
    if (!opened.fd) {
        fail(p.number, quoted(st.local.full()) + " " + opened.fault);
        return false;
    }
    const struct stat& info = opened.info;
    if (static_cast<std::uint64_t>(info.st_size) != st.fileSize) {
        fail(p.number, quoted(st.local.full()) + " changed size after it was queued: " + std::to_string(st.fileSize) +
                           " bytes then, " + std::to_string(info.st_size) + " now");
        return false;
    }
    ::posix_fadvise(opened.fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    bool resume = p.resume;
    if (resume) {
        auto held = impl_.heldByServer.find(p.number);
        if (held == impl_.heldByServer.end() || !sameTime(held->second, info.st_mtim)) {
            // Resuming would join the server's old bytes to the new ones.
            note(Logging::EType::eWarnings, "sending " + quoted(st.remote.full()) +
                                                " from its first byte: the local file changed since the "
                                                "server got a part of it");
            resume = false;
            tally(p.number).confirmed = 0;
        }
    }

    f = Sending{};
    f.number = p.number;
    f.fd = std::move(opened.fd);
    f.size = st.fileSize;
    f.phase.moveTo(EFilePhase::eOpening);
    f.resumed = resume;
    f.modified = info.st_mtim;
    f.remotePath = commandPath;
    f.digest = std::make_shared<QueuedDigest>(hasher_);
    sendingTo_.insert(commandPath);
    st.attempts += 1;
    st.result = EFileResult::eSending;
    tally(p.number).attempts += 1;
    return true;
}

int UploadLoop::waitMilliseconds(Clock::time_point now, Clock::time_point nextProgress) const {
    int wait = millisecondsUntil(now, nextProgress);
    if (lanesHeldBack()) {
        auto budget = std::chrono::duration_cast<std::chrono::milliseconds>(limiter_.untilBudget()).count();
        wait = std::min(wait, static_cast<int>(std::max<long long>(1, budget)));
    }
    // The worker gives no sign when it has caught up: it is looked at again
    // soon. Bytes held back by the rate alone wait for the budget above.
    const auto hashBehind = [](const Sending& f) { return f.paused && f.digest && !f.digest->hasRoom(); };
    const bool hashing = std::any_of(lanes_.begin(), lanes_.end(), [&](const Lane& l) {
        return std::any_of(l.files.begin(), l.files.end(), hashBehind);
    });
    if (hashing) wait = std::min(wait, 1);
    // A login on its own thread gives no sign either.
    if (!relogins_.empty()) wait = std::min(wait, 50);
    const Clock::time_point round = policy_.nextAttemptAt();
    // Logins start with the next round.
    if (lanesUp() < wantedLanes_ && workLeft() && !givenUp_) {
        wait = std::min(wait, millisecondsUntil(now, std::max(round, reloginNotBefore_)));
    }
    if (lanes_.empty()) return wait;
    // Folders are asked for once a connection is up and the pause has passed.
    if (!foldersMade_ && !foldersBy_) wait = std::min(wait, millisecondsUntil(now, std::max(foldersNotBefore_, round)));
    for (const auto& p : pending_) {
        const Clock::time_point due = std::max(p.notBefore, round);
        // A file due now waits for a connection to come free, which wakes
        // the loop: looking again at once only burns a core while they send.
        if (due <= now) continue;
        wait = std::min(wait, millisecondsUntil(now, due));
    }
    return wait;
}

void UploadLoop::publish(Clock::time_point now) {
    publishLanes();
    std::uint64_t total = 0;
    for (const auto& [number, e] : stats_.fileMap) total += e.bytesSent;
    stats_.totalBytesTransferred = total;
    stats_.elapsedSeconds = throughput_.elapsedSeconds(now);
    stats_.currentRate = stats_.finished ? throughput_.average(total, now) : throughput_.sample(total, now);
    if (impl_.callback) impl_.callback(stats_, impl_.callbackUser);
}

std::vector<std::string> UploadLoop::remainingFiles() const {
    std::vector<std::string> files;
    for (const auto& [number, entry] : stats_.fileMap) {
        if (entry.result != EFileResult::eDone) files.push_back(entry.remote.full());
    }
    return files;
}

}  // namespace qz
