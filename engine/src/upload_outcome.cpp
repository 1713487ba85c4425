// What the attempts come to: the verdict on each (judgeAttempt) applied to
// its file, the server's copy and the upload; rounds of waiting for a
// server that is away; and a summary that names the files that could not
// be sent.
#include <utility>

#include "control_report.hpp"
#include "qz/quoted.hpp"
#include "qz/rates.hpp"
#include "server_hash.hpp"
#include "upload_loop.hpp"

namespace qz {

void UploadLoop::settled(Attempt a, const PipelineOutcome& outcome, bool serverHashes) {
    QueuedFile& record = file(a.number);
    const TransferStats& st = record.entry();
    if (outcome.stored) record.checking();
    AttemptFacts facts;
    facts.outcome = outcome;
    facts.size = a.size;
    facts.offset = a.offset;
    facts.storedBefore = a.uploaded;
    facts.localFault = a.localFault;
    facts.serverHashes = serverHashes;
    facts.refusedOnce = record.counts.refusedOnce;
    facts.appendRefused = record.counts.appendRefused;
    facts.checkedAgain = record.counts.checkedAgain;
    facts.hashWait = hashReplyWait(std::chrono::seconds(context_.options.stallTimeout), a.size);
    facts.server = context_.connections.server();
    facts.local = st.local.full();
    facts.remote = st.remote.full();
    // Every byte confirmed: the digest taken while sending is wanted now.
    if (facts.localFault.empty() && outcome.stored && bytesConfirmed(facts) == a.size && a.sha256.empty()) {
        std::string fault;
        a.sha256 = a.digest->finish(fault);
        if (!fault.empty()) facts.localFault = quoted(facts.local) + " " + fault;
    }
    facts.sha256 = a.sha256;
    apply(a, judgeAttempt(facts));
}

void UploadLoop::apply(Attempt& a, const AttemptVerdict& v) {
    if (v.reached) policy_.reached();
    QueuedFile& record = file(a.number);
    if (v.copy == EServerCopy::eMayHoldPart) record.serverMayHoldPart(a.modified);
    if (v.copy == EServerCopy::eNone) record.serverHoldsNothing();
    if (v.refusal) record.counts.refusedOnce = true;
    if (v.noAppend) record.counts.appendRefused = true;
    if (v.slowDown && limiter_.backOff()) report_.rateChanged(true);
    switch (v.action) {
        case EVerdict::eDone: stored(a, v); return;
        case EVerdict::eFail: fail(a.number, v.text); return;
        case EVerdict::eRetry:
            context_.lastError = v.text;
            retryOrFail(a.number, v.text, v.failure, v.resume, v.atOnce);
            return;
        case EVerdict::eCheckAgain:
            record.counts.checkedAgain = true;
            if (!v.text.empty()) note(Logging::EType::eWarnings, v.text);
            // The next free connection asks.
            a.checkOnly = true;
            a.uploaded = a.size - a.offset;
            checksWaiting_.push_back(std::move(a));
            return;
    }
}

// The folders asked for on a lane that stopped are asked for again, on
// another connection, when the next round allows.
bool UploadLoop::laneStopped(const FtpPipeline& pipeline, bool lost) {
    if (!folders_.askedOn(pipeline)) return false;
    foldersFailed(!lost, "the connection to " + context_.connections.server() + " stopped: " + pipeline.fault(),
                  Clock::now());
    return true;
}

// No other connection would fare better, nor another attempt.
void UploadLoop::dataRefused(const std::string& why) {
    context_.lastError = why;
    failRemaining(why);
}

// No connection is up: the server is away, or refuses us for good (a
// wrong password, say), which no round will change.
void UploadLoop::loginFailed(const LoginError& e) {
    const std::string why = loginFailure(e, context_.connections.server());
    context_.lastError = why;
    const Clock::time_point now = Clock::now();
    if (e.replyCode >= 500) {
        failRemaining(why);
    } else if (!folders_.made()) {
        foldersFailed(false, why, now);
    } else {
        unreachable(why, now);
    }
}

void UploadLoop::stored(const Attempt& a, const AttemptVerdict& verdict) {
    QueuedFile& record = file(a.number);
    record.stored(a.sha256, verdict.verifiedBy);
    ++storedUnlisted_;
    note(Logging::EType::eTransfers, "sent " + quoted(record.entry().remote.full()) + " (" + std::to_string(a.size) +
                                         " bytes, SHA-256 " + a.sha256 + ", " + verdict.text + ")");
}

void UploadLoop::retryOrFail(unsigned long number, const std::string& why, EFailure failure, bool resume, bool atOnce) {
    QueuedFile& record = file(number);
    const TransferStats& st = record.entry();
    QueuedFile::Counts& counts = record.counts;
    const Clock::time_point now = Clock::now();
    if (failure == EFailure::eTransient) ++counts.answeredAttempts;
    const RetryDecision decision = givenUp_ ? RetryDecision{ERetry::eGiveUp, {}}
                                            : policy_.afterFailure(failure, counts.answeredAttempts, now);
    if (decision.action == ERetry::eGiveUp) {
        giveUp(why, now);
        fail(number, quoted(st.local.full()) + " as " + quoted(st.remote.full()) + " was not sent: " + givenUpWhy_);
        return;
    }
    if (decision.action == ERetry::eFailFile) {
        fail(number, quoted(st.local.full()) + " as " + quoted(st.remote.full()) + ": " + why + " (gave up after " +
                         std::to_string(counts.attempts) + " attempts)");
        return;
    }
    const auto pause = atOnce && failure != EFailure::eUnreachable ? std::chrono::milliseconds(0) : decision.pause;
    record.retry(why, now + pause, resume);
    lastRetryDue_ = std::max(lastRetryDue_, now + pause);
    pending_.push_back(number);
    if (failure == EFailure::eUnreachable) {
        report_.round(why, decision.pause, now, policy_);
    } else {
        note(Logging::EType::eWarnings, "retrying " + quoted(st.remote.full()) + " (attempt " +
                                            std::to_string(counts.attempts + 1) + ") after: " + why);
    }
}

void UploadLoop::unreachable(const std::string& why, Clock::time_point now) {
    const RetryDecision decision = givenUp_ ? RetryDecision{ERetry::eGiveUp, {}}
                                            : policy_.afterFailure(EFailure::eUnreachable, 0, now);
    if (decision.action == ERetry::eGiveUp) {
        giveUp(why, now);
        return;
    }
    report_.round(why, decision.pause, now, policy_);
}

// A server that cannot be reached for the folders is waited for as for a
// file; one that answers but fails them leaves the files meant for them to
// fail by name.
void UploadLoop::foldersFailed(bool answered, const std::string& why, Clock::time_point now) {
    const RetryDecision decision = folders_.failed(answered, now, policy_);
    if (decision.action == ERetry::eRetry) {
        note(Logging::EType::eWarnings,
             "could not create folders, trying again in " + secondsText(decision.pause) + " s: " + why);
    } else if (decision.action == ERetry::eGiveUp) {
        giveUp(why, now);
    } else {
        note(Logging::EType::eWarnings, "could not create folders: " + why);
    }
}

// The server stayed unreachable for the whole timeout: every file not
// yet sent fails, named, and the upload ends.
void UploadLoop::giveUp(const std::string& why, Clock::time_point now) {
    if (givenUp_) return;
    const std::string text = "the server " + context_.connections.server() + " could not be reached for " +
                             secondsText(policy_.unreachableFor(now)) + " s (the last attempt: " + why + ")";
    note(Logging::EType::eWarnings, "giving up: " + text);
    failRemaining(text);
}

void UploadLoop::failRemaining(const std::string& why) {
    givenUp_ = true;
    givenUpWhy_ = why;
    folders_.giveUp();
    const auto failed = [this, &why](unsigned long number) {
        const TransferStats& st = file(number).entry();
        fail(number, quoted(st.local.full()) + " as " + quoted(st.remote.full()) + " was not sent: " + why);
    };
    for (const unsigned long number : pending_) failed(number);
    for (const Attempt& a : checksWaiting_) failed(a.number);
    pending_.clear();
    checksWaiting_.clear();
    // Those stored already stand on their other checks.
    skipListings();
}

void UploadLoop::fail(unsigned long number, const std::string& why) {
    QueuedFile& record = file(number);
    record.fail(why);
    context_.lastError = why;
    ++context_.stats.filesFailed;
    note(Logging::EType::eTransfers, "failed " + quoted(record.entry().remote.full()) + ": " + why);
}

}  // namespace qz
