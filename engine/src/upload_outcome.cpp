// What the attempts come to: for each file, the server's count and hash
// check it, a failure is retried, resumed or named; for the upload, a
// summary that names the files that could not be sent.
#include <utility>

#include "qz/log.hpp"
#include "qz/quoted.hpp"
#include "qz/rates.hpp"
#include "upload_loop.hpp"

namespace qz {

namespace {

constexpr std::size_t kNamedFailures = 20;

}  // namespace

// What the verdict on an attempt means for the file, the server's copy
// and the upload.
void UploadLoop::apply(Sending& f, const AttemptVerdict& v) {
    if (v.reached) policy_.reached();
    QueuedFile& record = file(f.number);
    if (v.copy == EServerCopy::eMayHoldPart) record.serverMayHoldPart(f.modified);
    if (v.copy == EServerCopy::eNone) record.serverHoldsNothing();
    if (v.refusal) record.counts.refusedOnce = true;
    if (v.slowDown && limiter_.backOff()) rateChanged(true);
    switch (v.action) {
        case EVerdict::eDone: done(f, v.byHash, v.text); return;
        case EVerdict::eFail: fail(f.number, v.text); return;
        case EVerdict::eRetry:
            impl_.lastError = v.text;
            retryOrFail(f.number, v.text, v.failure, v.resume, v.atOnce);
            return;
        case EVerdict::eCheckAgain:
            record.counts.checkedAgain = true;
            if (!v.text.empty()) note(Logging::EType::eWarnings, v.text);
            // The next free connection asks.
            f.uploaded = f.size - f.offset;
            checksWaiting_.push_back(std::move(f));
            return;
    }
}

void UploadLoop::done(const Sending& f, bool byHash, const std::string& how) {
    QueuedFile& record = file(f.number);
    record.done(f.sha256, byHash);
    const TransferStats& st = record.entry();
    ++stats_.filesDone;
    note(Logging::EType::eTransfers, "sent " + quoted(st.remote.full()) + " (" + std::to_string(f.size) +
                                         " bytes, SHA-256 " + f.sha256 + ", " + how + ")");
}

void UploadLoop::retryOrFail(unsigned long number, const std::string& why, EFailure failure, bool resume, bool atOnce) {
    QueuedFile& record = file(number);
    const TransferStats& st = record.entry();
    QueuedFile::Counts& t = record.counts;
    const Clock::time_point now = Clock::now();
    if (failure == EFailure::eTransient) ++t.answeredAttempts;
    const RetryDecision decision = givenUp_ ? RetryDecision{ERetry::eGiveUp, {}}
                                            : policy_.afterFailure(failure, t.answeredAttempts, now);
    if (decision.action == ERetry::eGiveUp) {
        giveUp(why, now);
        fail(number, quoted(st.local.full()) + " as " + quoted(st.remote.full()) + " was not sent: " + givenUpWhy_);
        return;
    }
    if (decision.action == ERetry::eFailFile) {
        fail(number, quoted(st.local.full()) + " as " + quoted(st.remote.full()) + ": " + why + " (gave up after " +
                         std::to_string(t.attempts) + " attempts)");
        return;
    }
    const auto pause = atOnce && failure != EFailure::eUnreachable ? std::chrono::milliseconds(0) : decision.pause;
    record.retry(why, now + pause, resume);
    pending_.push_back(number);
    if (failure == EFailure::eUnreachable) {
        noteRound(why, decision.pause, now);
    } else {
        note(Logging::EType::eWarnings, "retrying " + quoted(st.remote.full()) + " (attempt " +
                                            std::to_string(t.attempts + 1) + ") after: " + why);
    }
}

// One line per round of attempts, not one per file.
void UploadLoop::noteRound(const std::string& why, std::chrono::milliseconds pause, Clock::time_point now) {
    if (policy_.nextAttemptAt() == loggedRound_) return;
    loggedRound_ = policy_.nextAttemptAt();
    note(Logging::EType::eWarnings, "cannot reach " + impl_.server + " (for " +
                                        secondsText(policy_.unreachableFor(now)) + " s now, waiting up to " +
                                        std::to_string(policy_.timeout().count()) + " s); trying again in " +
                                        secondsText(pause) + " s after: " + why);
}

void UploadLoop::unreachable(const std::string& why, Clock::time_point now) {
    const RetryDecision decision = givenUp_ ? RetryDecision{ERetry::eGiveUp, {}}
                                            : policy_.afterFailure(EFailure::eUnreachable, 0, now);
    if (decision.action == ERetry::eGiveUp) {
        giveUp(why, now);
        return;
    }
    noteRound(why, decision.pause, now);
}

// The server stayed unreachable for the whole timeout: every file not
// yet sent fails, named, and the upload ends.
void UploadLoop::giveUp(const std::string& why, Clock::time_point now) {
    if (givenUp_) return;
    const std::string text = "the server " + impl_.server + " could not be reached for " +
                             secondsText(policy_.unreachableFor(now)) + " s (the last attempt: " + why + ")";
    note(Logging::EType::eWarnings, "giving up: " + text);
    failRemaining(text);
}

void UploadLoop::failRemaining(const std::string& why) {
    givenUp_ = true;
    givenUpWhy_ = why;
    foldersMade_ = true;
    const auto failed = [this, &why](unsigned long number) {
        const TransferStats& st = file(number).entry();
        fail(number, quoted(st.local.full()) + " as " + quoted(st.remote.full()) + " was not sent: " + why);
    };
    for (const unsigned long number : pending_) failed(number);
    for (const Sending& f : checksWaiting_) failed(f.number);
    pending_.clear();
    checksWaiting_.clear();
}

void UploadLoop::fail(unsigned long number, const std::string& why) {
    QueuedFile& record = file(number);
    record.fail(why);
    const TransferStats& st = record.entry();
    impl_.lastError = why;
    ++stats_.filesFailed;
    note(Logging::EType::eTransfers, "failed " + quoted(st.remote.full()) + ": " + why);
}

// A server that cannot be reached for the folders is waited for as for a
// file; one that answers but fails them leaves the files meant for them to
// fail by name.
void UploadLoop::foldersFailed(bool answered, const std::string& why, Clock::time_point now) {
    const EFailure failure = answered ? EFailure::eTransient : EFailure::eUnreachable;
    if (failure == EFailure::eTransient) ++folderAttempts_;
    const RetryDecision decision = policy_.afterFailure(failure, folderAttempts_, now);
    if (decision.action == ERetry::eRetry) {
        foldersNotBefore_ = now + decision.pause;
        note(Logging::EType::eWarnings,
             "could not create folders, trying again in " + secondsText(decision.pause) + " s: " + why);
        return;
    }
    foldersMade_ = true;
    if (decision.action == ERetry::eGiveUp) {
        giveUp(why, now);
        return;
    }
    note(Logging::EType::eWarnings, "could not create folders: " + why);
}

void UploadLoop::summarize() {
    note(Logging::EType::eSummary,
         "sent " + std::to_string(stats_.filesDone) + " of " + std::to_string(stats_.filesTotal) + " files, " +
             std::to_string(stats_.totalBytesTransferred) + " of " + std::to_string(stats_.totalBytes) + " bytes in " +
             std::to_string(stats_.elapsedSeconds) + " s (" + formatTransferRate(stats_.currentRate) + ")");
    if (stats_.filesFailed == 0) return;
    std::string names;
    std::size_t named = 0;
    for (const auto& [number, e] : stats_.fileMap) {
        if (e.result != EFileResult::eFailed) continue;
        if (named++ == kNamedFailures) {
            names += "; and " + std::to_string(stats_.filesFailed - kNamedFailures) + " more";
            break;
        }
        names += (named > 1 ? "; " : "") + e.errorText;
    }
    const std::string message = "could not send " + std::to_string(stats_.filesFailed) + " of " +
                                std::to_string(stats_.filesTotal) + " files: " + names;
    note(Logging::EType::eSummary, message);
    raise(__LINE__, "upload", message,
          {{"files failed", std::to_string(stats_.filesFailed)},
           {"files done", std::to_string(stats_.filesDone)},
           {"ftp server", impl_.server}});
}

}  // namespace qz
