#include "queued_file.hpp"

#include <algorithm>
#include <stdexcept>

namespace qz {

bool QueuedFile::enqueue(Clock::time_point now) {
    if (entry_->result == EFileResult::eDone) return false;
    counts = Counts();
    notBefore_ = now;
    // What an earlier upload left on the server is resumed.
    counts.resumeNext = partModified_ != kNoPart;
    if (!counts.resumeNext) entry_->bytesSent = 0;
    counts.confirmed = entry_->bytesSent;
    entry_->result = EFileResult::ePending;
    entry_->errorText.clear();
    unverified();
    return true;
}

void QueuedFile::beginAttempt() {
    counts.phase.moveTo(EFilePhase::eOpening);
    entry_->attempts += 1;
    entry_->result = EFileResult::eSending;
    counts.attempts += 1;
}

void QueuedFile::sending() {
    if (counts.phase.is(EFilePhase::eOpening)) counts.phase.moveTo(EFilePhase::eSending);
}

void QueuedFile::allOut() {
    if (counts.phase.is(EFilePhase::eSending)) counts.phase.moveTo(EFilePhase::eAwaitingReply);
}

void QueuedFile::checking() { counts.phase.moveTo(EFilePhase::eChecking); }

void QueuedFile::stored(const std::string& sha256, EVerifiedBy how) {
    counts.phase.moveTo(EFilePhase::eListing);
    entry_->bytesSent = entry_->fileSize;
    counts.confirmed = entry_->fileSize;
    entry_->sha256 = sha256;
    entry_->verifiedBy = how;
}

void QueuedFile::done(EVerifiedBy how) {
    counts.phase.moveTo(EFilePhase::eDone);
    entry_->result = EFileResult::eDone;
    entry_->errorText.clear();
    entry_->verifiedBy = how;
    entry_->verifiedByHash = how == EVerifiedBy::eHash;
}

void QueuedFile::unverified() {
    entry_->sha256.clear();
    entry_->verifiedBy = EVerifiedBy::eNone;
    entry_->verifiedByHash = false;
}

void QueuedFile::retry(const std::string& why, Clock::time_point notBefore, bool resume) {
    counts.phase.moveTo(EFilePhase::eWaiting);
    unverified();
    notBefore_ = notBefore;
    counts.resumeNext = resume;
    if (!resume) counts.confirmed = 0;
    entry_->result = EFileResult::ePending;
    entry_->bytesSent = counts.confirmed;
    entry_->errorText = why;
}

void QueuedFile::fail(const std::string& why) {
    counts.phase.moveTo(EFilePhase::eFailed);
    unverified();
    entry_->result = EFileResult::eFailed;
    entry_->errorText = why;
    entry_->bytesSent = counts.confirmed;
}

void QueuedFile::unsend() {
    if (entry_->result != EFileResult::eSending) return;
    counts.phase.moveTo(EFilePhase::eWaiting);
    entry_->result = EFileResult::ePending;
    entry_->bytesSent = 0;
}

namespace {

std::int64_t nanoseconds(const struct timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

void QueuedFile::serverMayHoldPart(const struct timespec& modified) { partModified_ = nanoseconds(modified); }

void QueuedFile::serverHoldsNothing() {
    partModified_ = kNoPart;
    counts.confirmed = 0;
}

bool QueuedFile::partOf(const struct timespec& modified) const {
    return partModified_ != kNoPart && partModified_ == nanoseconds(modified);
}

static_assert(sizeof(QueuedFile) <= 40, "a queue may hold 100,000 records");

void QueuedFiles::makeRoomFor(std::size_t more) {
    const std::size_t needed = files_.size() + more;
    // One large batch gets exactly its room; many small ones grow by half.
    if (needed > files_.capacity()) files_.reserve(std::max(needed, files_.capacity() + files_.capacity() / 2));
}

void QueuedFiles::add(unsigned long number, TransferStats& entry) {
    if (number != files_.size() + 1) throw std::logic_error("queued files are numbered without gaps");
    files_.emplace_back(entry);
}

}  // namespace qz
