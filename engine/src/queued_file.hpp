#pragma once
// One queued file as the engine keeps it: where it stands (its phase), what
// its attempts in this upload came to, what the server holds of it, and its
// result. The host sees the result through the queue's TransferStats entry,
// which only this record's methods change.
//
//   QueuedFile file(entry);                  // entry: the queue's TransferStats
//   if (file.enqueue(now)) ...               // an upload begins: the file is to be sent
//   file.beginAttempt(); file.sending(); file.allOut();
//   file.stored(sha256, EVerifiedBy::eSize); // checked; its folder's listing is due
//   file.done(EVerifiedBy::eListing);        // or retry(why, when, resume), or fail(why)

#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "file_phase.hpp"
#include "qz/stats.hpp"

namespace qz {

class QueuedFile {
public:
    using Clock = std::chrono::steady_clock;

    explicit QueuedFile(TransferStats& entry) : entry_(&entry) {}
    const TransferStats& entry() const { return *entry_; }
    EFilePhase phase() const { return counts.phase.get(); }

    // An upload begins. False for a file done already; any other waits for
    // its first attempt of this upload, which resumes what the server holds.
    bool enqueue(Clock::time_point now);
    // When its next attempt may start, and whether it builds on the server's part.
    Clock::time_point notBefore() const { return notBefore_; }
    bool resumeNext() const { return counts.resumeNext; }

    // The steps of an attempt.
    void beginAttempt();  // on its way to a connection, opened
    void sending();       // its bytes are read
    void allOut();        // every byte is out: the server's reply is due
    void checking();      // stored: the server's size (and hash) are asked for
    // Bytes the server may hold while the attempt goes on.
    void progress(std::uint64_t bytes) { entry_->bytesSent = bytes; }

    // Stored and checked (`how`: what was compared); its result stays
    // "sending" until its folder's listing is in.
    void stored(const std::string& sha256, EVerifiedBy how);
    // How an attempt ends; only these change the result.
    void done(EVerifiedBy how);
    void retry(const std::string& why, Clock::time_point notBefore, bool resume);
    void fail(const std::string& why);
    // The upload ended while it was on its way: it waits for the next one.
    void unsend();

    // What the server holds after an attempt that did not finish: a part of
    // the file as it was when modified at `modified`, or nothing to build on.
    void serverMayHoldPart(const struct timespec& modified);
    void serverHoldsNothing();
    // A part is on the server, of the file as modified at `modified`.
    bool partOf(const struct timespec& modified) const;

    // This upload's account of the file (enqueue starts it afresh). A queue
    // may hold 100,000 files: the record stays small.
    struct Counts {
        std::uint64_t confirmed = 0;  // bytes the server holds for certain
        std::uint16_t attempts = 0;
        std::uint16_t answeredAttempts = 0;  // failed attempts during which the server answered
        bool hinted : 1;                     // its read-ahead is asked for
        bool refusedOnce : 1;                // the server had no room for it once
        bool appendRefused : 1;              // the server refused to append to its part once
        bool checkedAgain : 1;               // its checks were asked for a second time
        Counts() : hinted(false), refusedOnce(false), appendRefused(false), checkedAgain(false) {}

    private:
        // The record's own, kept where it has room: the file's road in this
        // upload, and whether its next attempt builds on the server's part.
        friend class QueuedFile;
        FilePhase phase;
        bool resumeNext = false;
    };
    Counts counts;

private:
    static constexpr std::int64_t kNoPart = INT64_MIN;

    // Nothing proven of it (any more).
    void unverified();

    TransferStats* entry_;
    Clock::time_point notBefore_;
    std::int64_t partModified_ = kNoPart;  // nanoseconds, of the file the server holds a part of
};

// The records of a queue, by file number: numbered from 1 without gaps, in
// the order the files were queued.
class QueuedFiles {
public:
    QueuedFile& at(unsigned long number) { return files_.at(number - 1); }
    const QueuedFile& at(unsigned long number) const { return files_.at(number - 1); }
    // Room for `more` records to come.
    void makeRoomFor(std::size_t more);
    // The record of file `number`, the next one, whose entry is `entry`.
    void add(unsigned long number, TransferStats& entry);
    std::size_t size() const { return files_.size(); }
    void clear() { files_.clear(); }

private:
    std::vector<QueuedFile> files_;
};

}  // namespace qz
