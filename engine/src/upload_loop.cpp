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

}  // namespace

UploadLoop::UploadLoop(const UploadContext& context)
    : context_(context),
      limiter_(context.options, Clock::now()),
      reader_(context.files, limiter_, static_cast<std::size_t>(context.options.effectiveConnections())),
      policy_(std::chrono::seconds(context.options.unreachableTimeout)),
      lanes_(context.options, context.connections, *this, reader_),
      report_(context_, limiter_) {}

UploadLoop::~UploadLoop() {
    // An upload that ends early (an error, the host's exception) leaves its
    // files pending for the next one.
    for (const Attempt& a : checksWaiting_) file(a.number).unsend();
    for (const Attempt& a : lanes_.leave()) file(a.number).unsend();
    skipListings();
}

void UploadLoop::run() {
    const Clock::time_point begin = Clock::now();
    report_.begin(begin);
    GlobalStateAndStats& stats = context_.stats;
    for (unsigned long number = 1; number <= context_.files.size(); ++number) {
        if (file(number).enqueue(begin)) {
            pending_.push_back(number);
        } else {
            ++stats.filesDone;
        }
    }
    lanes_.open();
    note(Logging::EType::eSummary,
         "uploading " + std::to_string(pending_.size()) + " of " + std::to_string(stats.filesTotal) + " files over " +
             std::to_string(lanes_.wanted()) + " connection(s)" + (context_.options.pipelining ? " (pipelined)" : "") +
             ", rate " + report_.rateText() + ", waiting up to " + std::to_string(policy_.timeout().count()) +
             " s for an unreachable server");

    Clock::time_point nextProgress = begin + kProgressPeriod;
    while (true) {
        Clock::time_point now = Clock::now();
        startWaiting(now);
        listFolders();
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
        if (limiter_.tick(now)) report_.rateChanged(false);
        if (now >= nextProgress) {
            report_.publish(now, lanes_);
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
    report_.publish(Clock::now(), lanes_);
    report_.summarize();
}

// Files to send or to check, or folders to create first.
bool UploadLoop::workLeft() const {
    return !pending_.empty() || !checksWaiting_.empty() || !folders_.made() || storedUnlisted_ > 0 || !checks_.idle();
}

void UploadLoop::startWaiting(Clock::time_point now) {
    // A server that cannot be reached is tried again in rounds, not file by file.
    if (now < policy_.nextAttemptAt()) return;
    if (FtpPipeline* first = lanes_.first(); first && folders_.due(now)) folders_.start(*first, foldersNeeded());
    hintReadAhead();
}

// Folders come before the files that go into them.
std::vector<std::string> UploadLoop::foldersNeeded() const {
    std::vector<std::string_view> remaining;
    remaining.reserve(context_.stats.fileMap.size());
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
        if (record.counts.hinted) continue;
        record.counts.hinted = true;
        adviseReadAhead(record.entry().local.full());
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
        std::string fault;
        if (std::optional<Attempt> a = reader_.open(number, fault)) return a;
        fail(number, fault);
    }
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
    // A file due now waits for a connection to come free, which wakes the
    // loop: looking again at once only burns a core while they send. Only
    // retries wait for a time of their own, and the queue may be long.
    if (!pending_.empty() && round > now) wait = std::min(wait, millisecondsUntil(now, round));
    if (lastRetryDue_ <= now) return wait;
    for (const unsigned long number : pending_) {
        const Clock::time_point due = context_.files.at(number).notBefore();
        if (due > now) wait = std::min(wait, millisecondsUntil(now, due));
    }
    return wait;
}

}  // namespace qz
