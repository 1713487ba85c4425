#pragma once
// What one attempt at a file comes to, decided in one place: the file is
// done (and how its arrival was verified), goes again (resumed or from its
// first byte, at once or after a pause), fails by name, or is only asked
// for its checks again. The decision reads what the connection saw (its
// PipelineOutcome) and what is known of the file; it does nothing itself.
//
//   AttemptFacts facts{outcome, size, ...};
//   const AttemptVerdict v = judgeAttempt(facts);
//   if (v.action == EVerdict::eRetry) ...queue it again, v.resume, v.atOnce...

#include <chrono>
#include <cstdint>
#include <string>

#include "ftp_pipeline.hpp"
#include "qz/stats.hpp"
#include "retry_policy.hpp"

namespace qz {

struct AttemptFacts {
    PipelineOutcome outcome;           // what the connection saw
    std::uint64_t size = 0;            // the file's
    std::uint64_t offset = 0;          // where the attempt began (a resume: what the server held)
    std::uint64_t storedBefore = 0;    // a check of a file stored earlier: the bytes that attempt sent
    std::string localFault;            // the local file could not be read, or changed: its error text
    std::string sha256;                // of the bytes sent, once every one of them is confirmed
    bool serverHashes = false;         // the connection asks the server for its SHA-256
    bool refusedOnce = false;          // the server had no room for the file once already
    bool appendRefused = false;        // the server refused to append to its part once already
    bool checkedAgain = false;         // its checks were asked for a second time already
    std::chrono::seconds hashWait{0};  // how long the server's hash was waited for
    // For the messages.
    std::string server;  // "host:port"
    std::string local;   // the local path
    std::string remote;  // the remote name
};

enum class EVerdict {
    eDone,        // stored and verified
    eRetry,       // another attempt
    eFail,        // the file fails by name
    eCheckAgain,  // stored whole: only its size (and hash) are asked again
};

// What the server may hold of the file after the attempt.
enum class EServerCopy {
    eUnchanged,    // nothing new is known
    eMayHoldPart,  // a part, which the next attempt may resume
    eNone,         // nothing to build on: the next attempt starts at byte 0
};

struct AttemptVerdict {
    EVerdict action = EVerdict::eFail;
    // eDone: what proved it, for its log line ("verified by size"); eFail: the file's
    // error text; eRetry: why it goes again; eCheckAgain: "" or a warning.
    std::string text;
    EVerifiedBy verifiedBy = EVerifiedBy::eNone;  // eDone: what was compared
    EFailure failure = EFailure::eTransient;      // eRetry and eFail, for the retry policy
    bool resume = false;                          // eRetry: go on from what the server holds
    bool atOnce = false;                          // eRetry: without the pause between attempts
    EServerCopy copy = EServerCopy::eUnchanged;
    bool reached = false;   // the server answered: an outage, if any, is over
    bool refusal = false;   // counts as the file's one refusal for lack of room
    bool noAppend = false;  // counts as the file's one refused append
    bool slowDown = false;  // the rate backs off
};

AttemptVerdict judgeAttempt(const AttemptFacts& facts);

// Bytes of the file the server confirmed having been sent: by this attempt,
// or, for a check of a file stored earlier, by the attempt that stored it.
std::uint64_t bytesConfirmed(const AttemptFacts& facts);

}  // namespace qz
