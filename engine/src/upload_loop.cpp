#include "upload_loop.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

#include "control_report.hpp"
#include "local_file.hpp"
#include "read_for_sending.hpp"
#include "qz/quoted.hpp"
#include "qz/rates.hpp"
#include "remote_path.hpp"

namespace qz {

namespace {

constexpr std::chrono::milliseconds kProgressPeriod{200};

int millisecondsUntil(UploadLoop::Clock::time_point now, UploadLoop::Clock::time_point then) {
    if (then <= now) return 0;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(then - now).count() + 1;
    return static_cast<int>(std::min<long long>(ms, 1000));
}

bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

UploadLoop::UploadLoop(const UploadContext& context)
    : context_(context),
      limiter_(context.options, Clock::now()),
      hasher_(static_cast<std::size_t>(context.options.effectiveConnections())),
      policy_(std::chrono::seconds(context.options.unreachableTimeout)),
      lanes_(context.options, context.connections, *this),
      throughput_(Clock::now()) {}

UploadLoop::~UploadLoop() {
    // An upload that ends early (an error, the host's exception) leaves its
    // files pending for the next one.
    for (const Attempt& a : checksWaiting_) file(a.number).unsend();
    for (const Attempt& a : lanes_.leave()) file(a.number).unsend();
}

void UploadLoop::run() {
    const Clock::time_point begin = Clock::now();
    throughput_ = Throughput(begin);
    GlobalStateAndStats& stats = context_.stats;
    stats.finished = false;
    stats.filesDone = stats.filesFailed = 0;
    stats.currentRate = 0;
    stats.elapsedSeconds = 0;
    for (auto& [number, record] : context_.files) {
        if (record.enqueue(begin)) {
            pending_.push_back(number);
        } else {
            ++stats.filesDone;
        }
    }
    context_.rateLimit = limiter_.rate();
    lanes_.open();
    note(Logging::EType::eSummary,
         "uploading " + std::to_string(pending_.size()) + " of " + std::to_string(stats.filesTotal) + " files over " +
             std::to_string(lanes_.wanted()) + " connection(s)" + (context_.options.pipelining ? " (pipelined)" : "") +
             ", rate " + rateText() + ", waiting up to " + std::to_string(policy_.timeout().count()) +
             " s for an unreachable server");

    Clock::time_point nextProgress = begin + kProgressPeriod;
    while (true) {
        Clock::time_point now = Clock::now();
        startWaiting(now);
        if (!workLeft() && !lanes_.busy()) break;
        // Logins start with the next round, while the server is away.
        bool finished = lanes_.advance(now, workLeft() && !givenUp_ && now >= policy_.nextAttemptAt());
        if (const std::size_t made = folders_.finished()) {
            policy_.reached();
            note(Logging::EType::eSummary, "created " + std::to_string(made) + " folder(s)");
            // Lanes asked for a file before the folders were there: nothing
            // on their sockets would wake them for one.
            lanes_.nudge();
        }
        now = Clock::now();
        if (lanes_.abortStalled(now)) finished = true;
        if (limiter_.tick(now)) rateChanged(false);
        if (now >= nextProgress) {
            publish(now);
            nextProgress = now + kProgressPeriod;
        }
        if (finished) continue;
        std::vector<pollfd> set = lanes_.pollSet();
        if (::poll(set.data(), set.size(), waitMilliseconds(now, nextProgress)) < 0 && errno != EINTR) {
            // Nothing to wait on that poll could take: the loop looks again soon.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    stats.finished = true;
    publish(Clock::now());
    summarize();
}

// Files to send or to check, or folders to create first.
bool UploadLoop::workLeft() const { return !pending_.empty() || !checksWaiting_.empty() || !folders_.made(); }

void UploadLoop::startWaiting(Clock::time_point now) {
    // A server that cannot be reached is tried again in rounds, not file by file.
    if (now < policy_.nextAttemptAt()) return;
    if (FtpPipeline* first = lanes_.first(); first && folders_.due(now)) folders_.start(*first, foldersNeeded());
    hintReadAhead();
}

// Folders come before the files that go into them.
std::vector<std::string> UploadLoop::foldersNeeded() const {
    std::vector<std::string> remaining;
    for (const auto& [number, entry] : context_.stats.fileMap) {
        if (entry.result != EFileResult::eDone) remaining.push_back(entry.remote.full());
    }
    std::vector<std::string> folders;
    for (const auto& f : foldersToCreate(remaining, context_.remoteFolders)) {
        if (fitsInCommand(f)) folders.push_back(f);
    }
    return folders;
}

// Tells the kernel which files come next, so their first blocks are read
// while the current ones are still on the wire.
void UploadLoop::hintReadAhead() {
    const std::size_t ahead = static_cast<std::size_t>(context_.options.encoders) * lanes_.wanted();
    std::size_t hinted = 0;
    for (const unsigned long number : pending_) {
        if (hinted++ >= ahead) break;
        QueuedFile& record = file(number);
        if (!std::exchange(record.counts.hinted, true)) adviseReadAhead(record.entry().local.full());
    }
}

std::optional<Attempt> UploadLoop::nextAttempt() {
    const Clock::time_point now = Clock::now();
    if (!folders_.made() || givenUp_ || now < policy_.nextAttemptAt()) return std::nullopt;
    // A stored file whose checks were cut short goes first.
    if (!checksWaiting_.empty()) {
        Attempt check = std::move(checksWaiting_.front());
        checksWaiting_.pop_front();
        return check;
    }
    // The queue holds each remote name once: no two transfers mix their bytes.
    for (;;) {
        auto ready = std::find_if(pending_.begin(), pending_.end(),
                                  [this, now](unsigned long number) { return file(number).notBefore() <= now; });
        if (ready == pending_.end()) return std::nullopt;
        const unsigned long number = *ready;
        pending_.erase(ready);
        if (std::optional<Attempt> a = open(number)) return a;
    }
}

// Opens the file for its next attempt; none, with the file failed by
// name, when that cannot be.
std::optional<Attempt> UploadLoop::open(unsigned long number) {
    QueuedFile& record = file(number);
    const TransferStats& st = record.entry();
    const std::string commandPath = remoteCommandPath(st.remote.full());
    if (commandPath.empty() || commandPath == "/") {
        fail(number, quoted(st.local.full()) + " has no remote name");
        return std::nullopt;
    }
    if (!fitsInCommand(commandPath)) {
        fail(number, quoted(st.local.full()) + ": the remote name " + quoted(st.remote.full()) +
                         " holds a line break, which FTP cannot carry");
        return std::nullopt;
    }
    OpenedFile opened = openQueuedFile(st.local.full());
    if (!opened.fd) {
        fail(number, quoted(st.local.full()) + " " + opened.fault);
        return std::nullopt;
    }
    const struct stat& info = opened.info;
    if (static_cast<std::uint64_t>(info.st_size) != st.fileSize) {
        fail(number, quoted(st.local.full()) + " changed size after it was queued: " + std::to_string(st.fileSize) +
                         " bytes then, " + std::to_string(info.st_size) + " now");
        return std::nullopt;
    }
    ::posix_fadvise(opened.fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    bool resume = record.resumeNext();
    if (resume && !record.partOf(info.st_mtim)) {
        // Resuming would join the server's old bytes to the new ones.
        note(Logging::EType::eWarnings, "sending " + quoted(st.remote.full()) +
                                            " from its first byte: the local file changed since the "
                                            "server got a part of it");
        resume = false;
        record.serverHoldsNothing();
    }
    record.beginAttempt();
    Attempt a;
    a.number = number;
    a.fd = std::move(opened.fd);
    a.size = st.fileSize;
    a.resumed = resume;
    a.modified = info.st_mtim;
    a.remotePath = commandPath;
    a.digest = std::make_shared<QueuedDigest>(hasher_);
    return a;
}

// The file's next bytes: their count, 0 once every byte is out and the file
// is as it was opened, or kHeldBack (the rate, the hashing worker) /
// kFailed (localFault says why).
std::int64_t UploadLoop::read(Attempt& a, char* buffer, std::size_t room) {
    a.paused = false;
    QueuedFile& record = file(a.number);
    const std::string& local = record.entry().local.full();
    record.sending();
    if (!hashUpTo(a, a.position)) return PipelineSource::kFailed;
    const std::uint64_t left = a.size - a.position;
    if (left == 0) {
        if (grewBeyond(a.fd.get(), a.size)) {
            a.localFault = quoted(local) + " grew during the upload";
            return PipelineSource::kFailed;
        }
        struct stat info {};
        if (::fstat(a.fd.get(), &info) != 0 || static_cast<std::uint64_t>(info.st_size) != a.size ||
            !sameTime(info.st_mtim, a.modified)) {
            a.localFault = quoted(local) + " changed during the upload";
            return PipelineSource::kFailed;
        }
        record.allOut();
        return 0;
    }
    // Read bytes must be hashed: none is read while the worker is far behind.
    if (!a.digest->hasRoom()) {
        a.paused = true;
        return PipelineSource::kHeldBack;
    }
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(room, left));
    const std::size_t granted = limiter_.grant(wanted, Clock::now());
    if (granted == 0) {
        a.paused = true;
        return PipelineSource::kHeldBack;
    }
    std::string fault;
    const std::int64_t n = readForSending(a.fd.get(), a.position, a.size, buffer, granted, *a.digest, fault);
    if (n < 0) {
        a.localFault = quoted(local) + " " + fault;
        return PipelineSource::kFailed;
    }
    limiter_.giveBack(granted - static_cast<std::size_t>(n));
    a.position += static_cast<std::uint64_t>(n);
    return n;
}

bool UploadLoop::hashUpTo(Attempt& a, std::uint64_t end) {
    std::string fault;
    if (qz::hashUpTo(a.fd.get(), *a.digest, end, fault)) return true;
    a.localFault = quoted(file(a.number).entry().local.full()) + " " + fault;
    return false;
}

// Bytes the server holds that the local file does not have: its copy is
// not a part of this file, and the file goes whole.
std::uint64_t UploadLoop::resumeAt(Attempt& a, std::optional<std::uint64_t> held) {
    QueuedFile& record = file(a.number);
    const std::string& remote = record.entry().remote.full();
    if (!held || *held > a.size) {
        a.resumed = false;
        record.counts.confirmed = 0;
        if (held) {
            note(Logging::EType::eWarnings, "sending " + quoted(remote) + " from its first byte: the server holds " +
                                                std::to_string(*held) + " bytes of its " + std::to_string(a.size));
        }
        return 0;
    }
    a.offset = a.position = *held;
    record.counts.confirmed = *held;
    if (*held > 0) {
        note(Logging::EType::eWarnings,
             "resuming " + quoted(remote) + " at byte " + std::to_string(*held) + " of " + std::to_string(a.size));
    }
    return *held;
}

int UploadLoop::waitMilliseconds(Clock::time_point now, Clock::time_point nextProgress) const {
    int wait = millisecondsUntil(now, nextProgress);
    if (lanes_.heldBack()) {
        auto budget = std::chrono::duration_cast<std::chrono::milliseconds>(limiter_.untilBudget()).count();
        wait = std::min(wait, static_cast<int>(std::max<long long>(1, budget)));
    }
    // The worker gives no sign when it has caught up: it is looked at again
    // soon. Bytes held back by the rate alone wait for the budget above.
    if (lanes_.hashBehind()) wait = std::min(wait, 1);
    // A login on its own thread gives no sign either.
    if (lanes_.loggingIn()) wait = std::min(wait, 50);
    const Clock::time_point round = policy_.nextAttemptAt();
    if (lanes_.missing() && workLeft() && !givenUp_) {
        wait = std::min(wait, millisecondsUntil(now, std::max(round, lanes_.nextLoginAt())));
    }
    if (!lanes_.anyUp()) return wait;
    // Folders are asked for once a connection is up and the pause has passed.
    if (!folders_.made()) wait = std::min(wait, millisecondsUntil(now, std::max(folders_.notBefore(), round)));
    for (const unsigned long number : pending_) {
        const Clock::time_point due = std::max(context_.files.at(number).notBefore(), round);
        // A file due now waits for a connection to come free, which wakes
        // the loop: looking again at once only burns a core while they send.
        if (due <= now) continue;
        wait = std::min(wait, millisecondsUntil(now, due));
    }
    return wait;
}

std::string UploadLoop::rateText() const {
    return limiter_.limited() ? formatTransferRate(limiter_.rate()) : "unlimited";
}

void UploadLoop::rateChanged(bool backedOff) {
    context_.rateLimit = limiter_.rate();
    // During a climb one line per doubling keeps the log short.
    const std::uint64_t now = limiter_.rate();
    if (backedOff || loggedRate_ == 0 || now == 0 || now >= loggedRate_ * 2) {
        note(Logging::EType::eSummary, "rate now " + rateText());
        loggedRate_ = now;
    }
}

void UploadLoop::publish(Clock::time_point now) {
    lanes_.forEachAttempt([this](const Attempt& a, std::uint64_t bytes) { file(a.number).progress(bytes); });
    GlobalStateAndStats& stats = context_.stats;
    std::uint64_t total = 0;
    for (const auto& [number, e] : stats.fileMap) total += e.bytesSent;
    stats.totalBytesTransferred = total;
    stats.elapsedSeconds = throughput_.elapsedSeconds(now);
    stats.currentRate = stats.finished ? throughput_.average(total, now) : throughput_.sample(total, now);
    if (context_.callback) context_.callback(stats, context_.callbackUser);
}

}  // namespace qz
