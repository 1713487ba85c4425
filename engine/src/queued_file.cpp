#include "queued_file.hpp"

namespace qz {

bool QueuedFile::enqueue(Clock::time_point now) {
    if (entry_->result == EFileResult::eDone) return false;
    phase_ = FilePhase();
    counts = Counts();
    notBefore_ = now;
    // What an earlier upload left on the server is resumed.
    resumeNext_ = serverPart_.has_value();
    if (!resumeNext_) entry_->bytesSent = 0;
    counts.confirmed = entry_->bytesSent;
    entry_->result = EFileResult::ePending;
    entry_->errorText.clear();
    return true;
}

void QueuedFile::beginAttempt() {
    phase_.moveTo(EFilePhase::eOpening);
    entry_->attempts += 1;
    entry_->result = EFileResult::eSending;
    counts.attempts += 1;
}

void QueuedFile::sending() {
    if (phase_.is(EFilePhase::eOpening)) phase_.moveTo(EFilePhase::eSending);
}

void QueuedFile::allOut() {
    if (phase_.is(EFilePhase::eSending)) phase_.moveTo(EFilePhase::eAwaitingReply);
}

void QueuedFile::checking() { phase_.moveTo(EFilePhase::eChecking); }

void QueuedFile::done(const std::string& sha256, bool byHash) {
    phase_.moveTo(EFilePhase::eDone);
    entry_->result = EFileResult::eDone;
    entry_->bytesSent = entry_->fileSize;
    entry_->errorText.clear();
    entry_->sha256 = sha256;
    entry_->verifiedByHash = byHash;
}

void QueuedFile::retry(const std::string& why, Clock::time_point notBefore, bool resume) {
    phase_.moveTo(EFilePhase::eWaiting);
    notBefore_ = notBefore;
    resumeNext_ = resume;
    if (!resume) counts.confirmed = 0;
    entry_->result = EFileResult::ePending;
    entry_->bytesSent = counts.confirmed;
    entry_->errorText = why;
}

void QueuedFile::fail(const std::string& why) {
    phase_.moveTo(EFilePhase::eFailed);
    entry_->result = EFileResult::eFailed;
    entry_->errorText = why;
    entry_->bytesSent = counts.confirmed;
}

void QueuedFile::unsend() {
    if (entry_->result != EFileResult::eSending) return;
    phase_.moveTo(EFilePhase::eWaiting);
    entry_->result = EFileResult::ePending;
    entry_->bytesSent = 0;
}

void QueuedFile::serverHoldsNothing() {
    serverPart_.reset();
    counts.confirmed = 0;
}

bool QueuedFile::partOf(const struct timespec& modified) const {
    return serverPart_ && serverPart_->tv_sec == modified.tv_sec && serverPart_->tv_nsec == modified.tv_nsec;
}

}  // namespace qz
