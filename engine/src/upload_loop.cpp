#include "upload_loop.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "local_file.hpp"
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

UploadLoop::UploadLoop(Control::Impl& impl, FtpSession& session)
    : impl_(impl),
      session_(session),
      stats_(impl.stats),
      limiter_(impl.options, Clock::now()),
      hasher_(session.channels()),
      tallies_(impl.nextFileNumber),
      stalls_(std::chrono::seconds(stallSeconds()), Clock::now()),
      throughput_(Clock::now()),
      policy_(std::chrono::seconds(impl.options.unreachableTimeout)) {
    for (std::size_t i = 0; i < session.channels(); ++i) {
        auto s = std::make_unique<Slot>();
        s->channel = &session.channel(i);
        s->loop = this;
        slots_.push_back(std::move(s));
    }
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
    for (auto& s : slots_) {
        if (s->channel->busy) {
            session_.remove(*s->channel);
            unsend(s->file.number);
        }
        closeFile(*s);
    }
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
             std::to_string(lanes_.empty() ? slots_.size() : lanes_.size()) + " connection(s)" +
             (lanes_.empty() || !impl_.options.pipelining ? "" : " (pipelined)") + ", rate " + rateText() +
             ", waiting up to " + std::to_string(policy_.timeout().count()) + " s for an unreachable server");

    Clock::time_point nextProgress = begin_ + kProgressPeriod;
    while (true) {
        Clock::time_point now = Clock::now();
        startWaiting(now);
        if (pending_.empty() && checksWaiting_.empty() && !anyBusy() && foldersMade_) break;
        session_.perform();
        bool finished = collectFinished();
        if (advanceLanes()) finished = true;
        now = Clock::now();
        if (abortStalled(now)) finished = true;
        if (limiter_.tick(now)) rateChanged(false);
        resumePaused();
        if (now >= nextProgress) {
            publish(now);
            nextProgress = now + kProgressPeriod;
        }
        if (!finished) {
            session_.wait(waitMilliseconds(now, nextProgress), lanesPollSet());
        }
    }
    stats_.finished = true;
    publish(Clock::now());
    summarize();
}

std::size_t UploadLoop::onRead(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* slot = static_cast<Slot*>(user);
    return slot->loop->read(*slot, buffer, size * count);
}

int UploadLoop::onSeek(void* user, curl_off_t offset, int origin) {
    auto* slot = static_cast<Slot*>(user);
    Sending& f = slot->file;
    if (origin != SEEK_SET || offset < 0 || static_cast<std::uint64_t>(offset) > f.size) {
        return CURL_SEEKFUNC_FAIL;
    }
    f.offset = f.position = static_cast<std::uint64_t>(offset);
    // The SIZE reply that led here is not the one that checks the result.
    slot->channel->lastSize = -1;
    slot->loop->resumedAt(*slot);
    return CURL_SEEKFUNC_OK;
}

std::size_t UploadLoop::read(Slot& slot, char* buffer, std::size_t room) {
    const std::int64_t n = readNext(slot.file, buffer, room);
    if (n == PipelineSource::kHeldBack) return CURL_READFUNC_PAUSE;
    if (n == PipelineSource::kFailed) return CURL_READFUNC_ABORT;
    return static_cast<std::size_t>(n);
}

// The file's next bytes for either kind of connection: their count, 0 once
// every byte is out and the file is as it was opened, or kHeldBack (the rate,
// the hashing worker) / kFailed (localFault says why).
std::int64_t UploadLoop::readNext(Sending& f, char* buffer, std::size_t room) {
    f.paused = false;
    if (f.phase.is(EFilePhase::eOpening)) f.phase.moveTo(EFilePhase::eSending);
    if (!hashUpTo(f, f.position)) return PipelineSource::kFailed;
    const std::uint64_t left = f.size - f.position;
    if (left == 0) {
        if (grewBeyond(f.fd, f.size)) {
            f.localFault = quoted(entry(f).local.full()) + " grew during the upload";
            return PipelineSource::kFailed;
        }
        struct stat info {};
        if (::fstat(f.fd, &info) != 0 || static_cast<std::uint64_t>(info.st_size) != f.size ||
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
    const std::int64_t n = readForSending(f.fd, f.position, f.size, buffer, granted, *f.digest, fault);
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
    if (qz::hashUpTo(f.fd, *f.digest, end, fault)) return true;
    f.localFault = quoted(entry(f).local.full()) + " " + fault;
    return false;
}

// Bytes of this attempt handed to the connection.
std::uint64_t UploadLoop::uploadedBy(const Slot& slot) const {
    if (slot.file.phase.is(EFilePhase::eChecking)) return slot.file.uploaded;
    curl_off_t uploaded = 0;
    curl_easy_getinfo(slot.channel->easy, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    return static_cast<std::uint64_t>(uploaded);
}

bool UploadLoop::anyBusy() const {
    return lanesBusy() || std::any_of(slots_.begin(), slots_.end(), [](const auto& s) { return s->channel->busy; });
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
    if (!lanes_.empty()) {
        // All in one write; done once the lane has every reply (advanceLanes).
        lanes_.front().pipeline->makeFolders(folders);
        foldersBy_ = lanes_.front().link;
        foldersAsked_ = folders.size();
        return;
    }
    std::vector<std::string> commands;
    commands.reserve(folders.size());
    // "*": a folder that exists already is no error.
    for (const auto& f : folders) commands.push_back("*MKD " + f);
    Channel& c = *slots_.front()->channel;
    session_.prepareCommands(c);
    c.setCommands(CURLOPT_QUOTE, commands);
    const unsigned answersBefore = c.answers;
    const CURLcode result = session_.runAlone({&c})[0];
    const std::string why = c.describe(result);
    const Clock::time_point now = Clock::now();
    c.prepare(session_.url(""));
    if (result == CURLE_OK) {
        foldersMade_ = true;
        policy_.reached();
        note(Logging::EType::eSummary, "created " + std::to_string(commands.size()) + " folder(s)");
        return;
    }
    foldersFailed(c.answers != answersBefore && !serviceUnavailable(c.lastReply), why, now);
}

void UploadLoop::startWaiting(Clock::time_point now) {
    // A server that cannot be reached is tried again in rounds, not file by file.
    if (now < policy_.nextAttemptAt()) return;
    if (!foldersMade_) {
        if (anyBusy() || now < foldersNotBefore_) return;
        createFolders();
        if (!foldersMade_) return;
    }
    std::size_t busy = static_cast<std::size_t>(
        std::count_if(slots_.begin(), slots_.end(), [](const auto& s) { return s->channel->busy; }));
    for (auto& s : slots_) {
        if (!s->channel->busy && busy < slotsAllowed() && !checksWaiting_.empty() && lanesUp() == 0) {
            startHandedCheck(*s);
            ++busy;
        }
        while (!s->channel->busy && busy < slotsAllowed()) {
            auto ready = std::find_if(pending_.begin(), pending_.end(),
                                      [this, now](const Pending& p) { return slotMayTake(p, now); });
            if (ready == pending_.end()) break;
            Pending p = *ready;
            pending_.erase(ready);
            start(*s, p);
            if (s->channel->busy) ++busy;
        }
    }
    hintReadAhead();
}

// While lanes carry the files, the session's connections stand in only
// for lanes the server dropped during this upload (one that restarts is
// waited for there, in rounds), and carry checks once no lane is up. A
// server that took fewer connections than asked for gets no more.
std::size_t UploadLoop::lanesUp() const { return lanes_.size() + relogins_.size(); }

std::size_t UploadLoop::slotsAllowed() const {
    if (lanesUp() == 0) return slots_.size();
    return std::clamp<std::size_t>(lanesAtStart_ - std::min(lanesUp(), lanesAtStart_), 1, slots_.size());
}

bool UploadLoop::takenBySlots(const Pending&) const { return lanesUp() < lanesAtStart_ || lanesUp() == 0; }

// Two transfers to one remote name at once would mix their bytes.
bool UploadLoop::slotMayTake(const Pending& p, Clock::time_point now) const {
    return p.notBefore <= now && takenBySlots(p) &&
           (sendingTo_.empty() || !sendingTo_.count(remoteCommandPath(stats_.fileMap.at(p.number).remote.full())));
}

// Tells the kernel which files come next, so their first blocks are read
// while the current ones are still on the wire.
void UploadLoop::hintReadAhead() {
    const std::size_t ahead = static_cast<std::size_t>(std::clamp(impl_.options.encoders, 0, 64)) * slots_.size();
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
    const OpenedFile opened = openQueuedFile(st.local.full());
    if (opened.fd < 0) {
        fail(p.number, quoted(st.local.full()) + " " + opened.fault);
        return false;
    }
    const int fd = opened.fd;
    const struct stat& info = opened.info;
    if (static_cast<std::uint64_t>(info.st_size) != st.fileSize) {
        ::close(fd);
        fail(p.number, quoted(st.local.full()) + " changed size after it was queued: " + std::to_string(st.fileSize) +
                           " bytes then, " + std::to_string(info.st_size) + " now");
        return false;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
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
    f.fd = fd;
    f.size = st.fileSize;
    f.phase.moveTo(EFilePhase::eOpening);
    f.resumed = resume;
    f.modified = info.st_mtim;
    f.mark.movedAt = Clock::now();
    f.remotePath = commandPath;
    f.digest = std::make_shared<QueuedDigest>(hasher_);
    sendingTo_.insert(commandPath);
    st.attempts += 1;
    st.result = EFileResult::eSending;
    tally(p.number).attempts += 1;
    return true;
}

void UploadLoop::start(Slot& slot, const Pending& p) {
    if (!beginAttempt(p, slot.file)) return;
    Channel& c = *slot.channel;
    slot.file.answersAtStart = c.answers;
    const TransferStats& st = entry(slot.file);
    session_.prepareUpload(c, st.remote.full(), st.fileSize, slot.file.resumed, onRead, onSeek, &slot);
    session_.add(c);
}

void UploadLoop::resumedAt(Slot& slot) {
    TransferStats& st = entry(slot.file);
    tally(slot.file.number).confirmed = slot.file.offset;
    note(Logging::EType::eWarnings, "resuming " + quoted(st.remote.full()) + " at byte " +
                                        std::to_string(slot.file.offset) + " of " + std::to_string(slot.file.size));
}

void UploadLoop::closeFile(Slot& slot) {
    if (slot.file.fd >= 0) ::close(slot.file.fd);
    slot.file.fd = -1;
}

bool UploadLoop::collectFinished() {
    auto done = session_.finished();
    for (auto& [channel, result] : done) {
        for (auto& s : slots_) {
            if (s->channel == channel) finish(*s, result);
        }
    }
    return !done.empty();
}

// Transfers on which nothing moved for the stall timeout are taken off
// their connection, which libcurl then closes, and tried again.
bool UploadLoop::abortStalled(Clock::time_point now) {
    stalls_.beginTurn(now);
    bool aborted = abortStalledLanes(now);
    for (auto& s : slots_) {
        Channel& c = *s->channel;
        if (!c.busy) continue;
        Sending& f = s->file;
        const std::uint64_t uploaded = uploadedBy(*s);
        // Held back by the rate, or all out with the reply awaited (which the
        // session hands to libcurl in time): waiting, not stalled.
        const bool held = f.paused || c.awaitingReply;
        const std::chrono::seconds limit = silenceAllowed(f);
        if (!stalls_.stalled(f.mark, {uploaded, c.replies, held, limit}, now)) continue;
        session_.remove(c);
        finish(*s, CURLE_OPERATION_TIMEDOUT,
               "the transfer stalled at byte " + std::to_string(f.offset + uploaded) + " on " + session_.server() +
                   ": nothing moved for " + std::to_string(limit.count()) + " s");
        aborted = true;
    }
    return aborted;
}

void UploadLoop::resumePaused() {
    for (auto& s : slots_) {
        if (!s->file.paused || !s->channel->busy) continue;
        if (!limiter_.hasBudget()) return;
        if (!s->file.digest->hasRoom()) continue;
        s->file.paused = false;
        curl_easy_pause(s->channel->easy, CURLPAUSE_CONT);
    }
}

int UploadLoop::waitMilliseconds(Clock::time_point now, Clock::time_point nextProgress) const {
    int wait = millisecondsUntil(now, nextProgress);
    const bool paused = lanesHeldBack() ||
                        std::any_of(slots_.begin(), slots_.end(), [](const auto& s) { return s->file.paused; });
    if (paused) {
        auto budget = std::chrono::duration_cast<std::chrono::milliseconds>(limiter_.untilBudget()).count();
        wait = std::min(wait, static_cast<int>(std::max<long long>(1, budget)));
    }
    // The worker gives no sign when it has caught up: it is looked at again
    // soon. Bytes held back by the rate alone wait for the budget above.
    const auto hashBehind = [](const Sending& f) { return f.paused && f.digest && !f.digest->hasRoom(); };
    const bool hashing = std::any_of(slots_.begin(), slots_.end(),
                                     [&](const auto& s) { return hashBehind(s->file); }) ||
                         std::any_of(lanes_.begin(), lanes_.end(), [&](const Lane& l) {
                             return std::any_of(l.files.begin(), l.files.end(), hashBehind);
                         });
    if (hashing) wait = std::min(wait, 1);
    // A login on its own thread gives no sign either.
    if (!relogins_.empty()) wait = std::min(wait, 50);
    const bool idle = !lanes_.empty() ||
                      std::any_of(slots_.begin(), slots_.end(), [](const auto& s) { return !s->channel->busy; });
    // Folders are asked for once no connection is busy, which its reply tells.
    if (idle && !foldersMade_ && !anyBusy()) {
        wait = std::min(wait, millisecondsUntil(now, std::max(foldersNotBefore_, policy_.nextAttemptAt())));
    }
    if (idle) {
        const auto busy = std::count_if(slots_.begin(), slots_.end(), [](const auto& s) { return s->channel->busy; });
        // What startWaiting could hand to a connection at once.
        const bool slotFree = foldersMade_ && now >= policy_.nextAttemptAt() &&
                              static_cast<std::size_t>(busy) < slotsAllowed();
        if (slotFree && !checksWaiting_.empty() && lanesUp() == 0) wait = 0;
        for (const auto& p : pending_) {
            const Clock::time_point due = std::max(p.notBefore, policy_.nextAttemptAt());
            // A file due now that no free connection may take waits for one
            // to come free, which wakes the loop: looking again at once only
            // burns a core while the lanes send.
            if (due <= now && !(slotFree && slotMayTake(p, now))) continue;
            wait = std::min(wait, millisecondsUntil(now, due));
        }
    }
    return wait;
}

void UploadLoop::publish(Clock::time_point now) {
    for (auto& s : slots_) {
        if (!s->channel->busy) continue;
        entry(s->file).bytesSent = s->file.offset + uploadedBy(*s);
    }
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
