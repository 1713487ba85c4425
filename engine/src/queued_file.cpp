#include "queued_file.hpp"

#include <stdexcept>

namespace qz {

bool QueuedFile::enqueue(Clock::time_point now) {
    if (entry_->result == EFileResult::eDone) return false;
    phase_ = FilePhase();
    counts = Counts();
    notBefore_ = now;
    // What an earlier upload left on the server is resumed.
    resumeNext_ = hasPart_;
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

namespace {

std::int64_t nanoseconds(const struct timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

void QueuedFile::serverMayHoldPart(const struct timespec& modified) {
    hasPart_ = true;
    partModified_ = nanoseconds(modified);
}

void QueuedFile::serverHoldsNothing() {
    hasPart_ = false;
    counts.confirmed = 0;
}

bool QueuedFile::partOf(const struct timespec& modified) const {
    return hasPart_ && partModified_ == nanoseconds(modified);
}

void QueuedFiles::add(unsigned long number, TransferStats& entry) {
    if (number != files_.size() + 1) throw std::logic_error("queued files are numbered without gaps");
    files_.emplace_back(entry);
}

}  // namespace qz
