#include "attempt_verdict.hpp"

#include "qz/quoted.hpp"
#include "server_hash.hpp"

namespace qz {

namespace {

// Reply codes that decide by themselves.
constexpr int kServiceUnavailable = 421;  // going down or restarting: away, as one that does not answer
constexpr int kNoRoom = 452;              // insufficient storage
constexpr int kNoRoomForGood = 552;       // storage allocation exceeded

AttemptVerdict retry(std::string why, EFailure failure, bool resume, bool atOnce) {
    AttemptVerdict v;
    v.action = EVerdict::eRetry;
    v.text = std::move(why);
    v.failure = failure;
    v.resume = resume;
    v.atOnce = atOnce;
    return v;
}

AttemptVerdict fail(std::string text, EFailure failure = EFailure::ePermanent) {
    AttemptVerdict v;
    v.action = EVerdict::eFail;
    v.text = std::move(text);
    v.failure = failure;
    return v;
}

AttemptVerdict done(std::string how, EVerifiedBy by) {
    AttemptVerdict v;
    v.action = EVerdict::eDone;
    v.text = std::move(how);
    v.verifiedBy = by;
    return v;
}

// Neither SIZE nor HASH answered: only the transfer's reply speaks for the
// copy, and its folder's listing may still show its size.
AttemptVerdict unverified(const std::string& hashRefusal) {
    return done("not verified: the server confirmed the transfer but gave no size" +
                    (hashRefusal.empty() ? std::string() : " and no SHA-256 (" + hashRefusal + ")"),
                EVerifiedBy::eTransferReply);
}

// Stored, counted and (where the server hashes) hashed by the server. A
// copy of another size, or with another SHA-256, is not ours to resume: the
// file goes again from byte 0.
AttemptVerdict checked(const AttemptFacts& f) {
    const PipelineOutcome& o = f.outcome;
    const std::uint64_t sent = bytesConfirmed(f);
    const std::uint64_t held = o.serverSize ? *o.serverSize : sent;
    AttemptVerdict v;
    if (held != f.size || sent != f.size) {
        v = retry("the server holds " + std::to_string(held) + " of its " + std::to_string(f.size) + " bytes",
                  EFailure::eTransient, false, false);
    } else if (o.hashReply.empty()) {
        v = o.serverSize ? done("verified by size", EVerifiedBy::eSize) : unverified("");
    } else {
        const HashReply hash = readHashReply(o.hashReply, f.size);
        if (hash.kind == EHashReply::eRefused) {
            v = o.serverSize ? done("verified by size, the server did not hash it: " + o.hashReply, EVerifiedBy::eSize)
                             : unverified(o.hashReply);
        } else if (hash.kind == EHashReply::eHash && hash.digest == f.sha256) {
            v = done("verified by hash", EVerifiedBy::eHash);
        } else {
            v = retry(hash.kind == EHashReply::eHash
                          ? "the server's SHA-256 of the stored file is " + hash.digest + ", the file's is " + f.sha256
                          : "the server's reply to HASH cannot be read: " + o.hashReply,
                      EFailure::eTransient, false, false);
        }
    }
    v.copy = EServerCopy::eNone;
    v.reached = true;
    return v;
}

// The server confirmed every byte, then went quiet (or the connection
// broke) before it answered SIZE or HASH: the file is checked again, not
// sent again. A server that had counted the bytes and was hashing them is
// asked once more only; sending the file again would only have it hash the
// same bytes as slowly, and a slow server is no sign of a damaged copy: the
// file then counts as verified by its size.
bool checksCutShort(const AttemptFacts& f) {
    return f.outcome.end == EPipelineEnd::eLeft && f.outcome.stored && bytesConfirmed(f) == f.size;
}

// Checks cut short a second time: a server still hashing counts as above;
// one that stops answering them gets the file again, which costs an attempt.
AttemptVerdict checkAgain(const AttemptFacts& f) {
    const bool hashLate = f.serverHashes && f.outcome.serverSize == f.size;
    AttemptVerdict v;
    if (f.checkedAgain) {
        v = hashLate ? done("verified by size, the server did not hash it in time", EVerifiedBy::eSize)
                     : retry("the server did not answer the checks of " + quoted(f.remote) + ": " + f.outcome.fault,
                             EFailure::eTransient, false, true);
        v.copy = EServerCopy::eNone;
        v.reached = true;
        return v;
    }
    v.action = EVerdict::eCheckAgain;
    if (hashLate) {
        v.text = "asking again for the SHA-256 of " + quoted(f.remote) + ": the server sent none within " +
                 std::to_string(f.hashWait.count()) + " s";
    }
    return v;
}

// The server's final reply to the transfer was an error.
AttemptVerdict refused(const AttemptFacts& f, bool mayHoldPart) {
    const PipelineOutcome& o = f.outcome;
    const std::string why = "cannot store " + quoted(f.remote) + " on " + f.server + ": " + o.reply;
    AttemptVerdict v;
    if (o.replyCode == kNoRoom || o.replyCode == kNoRoomForGood) {
        // Refused on the way, it is resumed once at once: the resume learns
        // (SIZE) what the server kept, and goes on should room have come
        // back. Refused before a byte, or again, it fails.
        if (o.accepted && !f.refusedOnce) {
            v = retry(why, EFailure::eTransient, true, true);
            v.refusal = true;
        } else {
            v = fail(quoted(f.local) + ": " + why);
        }
    } else if (o.replyCode == kServiceUnavailable) {
        // Away: this reply ends no outage.
        return retry("the server " + f.server + " is not available (it said: " + o.reply + ")", EFailure::eUnreachable,
                     mayHoldPart, false);
    } else if (o.replyCode >= 500 && f.offset > 0 && !f.appendRefused) {
        // A server that will not append (APPE) to its part may still take
        // the file whole, once.
        v = retry(why + "; sending it from its first byte", EFailure::eTransient, false, true);
        v.copy = EServerCopy::eNone;
        v.noAppend = true;
    } else if (o.replyCode >= 500) {
        v = fail(quoted(f.local) + " as " + quoted(f.remote) + ": " + why);
    } else {
        v = retry(why, EFailure::eTransient, mayHoldPart, true);
    }
    v.reached = true;
    return v;
}

// The data connection broke, the connection stopped or nothing moved.
AttemptVerdict broken(const AttemptFacts& f, bool mayHoldPart) {
    const PipelineOutcome& o = f.outcome;
    std::string why;
    if (o.end == EPipelineEnd::eBroken) {
        why = quoted(f.remote) + " on " + f.server + ": " + o.fault;
        if (!o.reply.empty()) why += " (the server said: " + o.reply + ")";
    } else if (o.stalled) {
        why = o.fault;
    } else {
        why = "the connection to " + f.server + " stopped: " + o.fault;
    }
    // A stalled attempt has waited its time already; a broken one goes
    // again at once, unless the server is away (which waits in rounds).
    AttemptVerdict v = retry(why, o.answered ? EFailure::eTransient : EFailure::eUnreachable, mayHoldPart, true);
    v.reached = o.answered;
    v.slowDown = true;
    return v;
}

}  // namespace

std::uint64_t bytesConfirmed(const AttemptFacts& facts) {
    return facts.offset + (facts.storedBefore > 0 ? facts.storedBefore : facts.outcome.bytes);
}

AttemptVerdict judgeAttempt(const AttemptFacts& f) {
    const PipelineOutcome& o = f.outcome;
    if (!f.localFault.empty() || o.end == EPipelineEnd::eLocal) {
        // Whatever the server holds is not the file as it is now.
        AttemptVerdict v = fail(f.localFault.empty() ? quoted(f.local) + " could not be read" : f.localFault);
        v.copy = EServerCopy::eNone;
        return v;
    }
    if (o.end == EPipelineEnd::eChecked) return checked(f);
    if (checksCutShort(f)) return checkAgain(f);
    // The server may hold a part, which a retry resumes, once it took the
    // STOR, or when it is not known whether it did. Bytes written before
    // its reply prove nothing: they go out as soon as the data connection
    // is open.
    const bool mayHoldPart = o.accepted || (o.storeSent && o.end != EPipelineEnd::eRefused);
    AttemptVerdict v = o.end == EPipelineEnd::eRefused ? refused(f, mayHoldPart) : broken(f, mayHoldPart);
    if (mayHoldPart) v.copy = EServerCopy::eMayHoldPart;
    return v;
}

}  // namespace qz
