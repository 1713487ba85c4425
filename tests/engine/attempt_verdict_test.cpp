// What each way an attempt can end comes to, without a server.
#include "attempt_verdict.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace {

using qz::AttemptFacts;
using qz::EFailure;
using qz::EPipelineEnd;
using qz::EServerCopy;
using qz::EVerdict;

const std::string kSha(64, 'a');
const std::string kOtherSha(64, 'b');

// A 1000-byte file whose attempt went as far as the server's 150.
AttemptFacts sentWhole() {
    AttemptFacts f;
    f.size = 1000;
    f.outcome.id = 1;
    f.outcome.bytes = 1000;
    f.outcome.storeSent = f.outcome.accepted = f.outcome.answered = true;
    f.sha256 = kSha;
    f.server = "127.0.0.1:21";
    f.local = "/in/a.bin";
    f.remote = "a.bin";
    return f;
}

AttemptFacts checked(std::optional<std::uint64_t> size, const std::string& hashReply) {
    AttemptFacts f = sentWhole();
    f.outcome.end = EPipelineEnd::eChecked;
    f.outcome.stored = true;
    f.outcome.serverSize = size;
    f.outcome.hashReply = hashReply;
    return f;
}

AttemptFacts refused(int code, bool accepted, bool refusedOnce = false, std::uint64_t offset = 0) {
    AttemptFacts f = sentWhole();
    f.offset = offset;
    f.appendRefused = refusedOnce;
    f.outcome.end = EPipelineEnd::eRefused;
    f.outcome.accepted = accepted;
    f.outcome.replyCode = code;
    f.outcome.reply = std::to_string(code) + " no";
    f.refusedOnce = refusedOnce;
    return f;
}

AttemptFacts checksCutShort(bool hashing, bool checkedAgain) {
    AttemptFacts f = sentWhole();
    f.outcome.end = EPipelineEnd::eLeft;
    f.outcome.stored = true;
    f.outcome.serverSize = 1000;
    f.outcome.fault = "the server closed the control connection";
    f.serverHashes = hashing;
    f.checkedAgain = checkedAgain;
    return f;
}

TEST(AttemptVerdict, EachWayAnAttemptEndsComesToOneVerdict) {
    struct Case {
        const char* name;
        AttemptFacts facts;
        EVerdict action;
        EFailure failure;  // where it retries or fails
        bool resume;
        EServerCopy copy;
        bool reached;
        const char* text;  // a part of the verdict's text
    };
    AttemptFacts broke = sentWhole();
    broke.outcome.end = EPipelineEnd::eBroken;
    broke.outcome.bytes = 400;
    broke.outcome.fault = "the data connection broke";
    AttemptFacts unheard = sentWhole();
    unheard.outcome.end = EPipelineEnd::eLeft;
    unheard.outcome.accepted = unheard.outcome.answered = false;
    unheard.outcome.fault = "the server closed the control connection";
    AttemptFacts stalled = broke;
    stalled.outcome.end = EPipelineEnd::eLeft;
    stalled.outcome.stalled = true;
    stalled.outcome.fault = "the transfer stalled at byte 400";
    AttemptFacts changed = checked(1000, "");
    changed.localFault = "\"/in/a.bin\" changed during the upload";
    AttemptFacts resumedShort = checked(1000, "");
    resumedShort.offset = 300;  // the server held 300 bytes, this attempt sent 1000 more
    const std::string hash = "213 SHA-256 0-1000 " + kSha + " a.bin";
    const std::string otherHash = "213 SHA-256 0-1000 " + kOtherSha + " a.bin";
    const Case cases[] = {
        {"counted", checked(1000, ""), EVerdict::eDone, {}, false, EServerCopy::eNone, true, "verified by size"},
        // Nothing was compared: the file is not called verified.
        {"SIZE refused",
         checked(std::nullopt, ""),
         EVerdict::eDone,
         {},
         false,
         EServerCopy::eNone,
         true,
         "not verified: the server confirmed the transfer but gave no size"},
        {"SIZE and HASH refused",
         checked(std::nullopt, "502 no"),
         EVerdict::eDone,
         {},
         false,
         EServerCopy::eNone,
         true,
         "gave no size and no SHA-256 (502 no)"},
        {"hashed", checked(1000, hash), EVerdict::eDone, {}, false, EServerCopy::eNone, true, "verified by hash"},
        {"hash refused",
         checked(1000, "502 no"),
         EVerdict::eDone,
         {},
         false,
         EServerCopy::eNone,
         true,
         "did not hash it: 502 no"},
        {"another hash", checked(1000, otherHash), EVerdict::eRetry, EFailure::eTransient, false, EServerCopy::eNone,
         true, "the file's is aaaa"},
        {"an unreadable hash", checked(1000, "213 yes"), EVerdict::eRetry, EFailure::eTransient, false,
         EServerCopy::eNone, true, "cannot be read: 213 yes"},
        {"short on the server", checked(999, ""), EVerdict::eRetry, EFailure::eTransient, false, EServerCopy::eNone,
         true, "holds 999 of its 1000"},
        {"too much sent", resumedShort, EVerdict::eRetry, EFailure::eTransient, false, EServerCopy::eNone, true,
         "holds 1000 of its 1000"},
        {"no room on the way", refused(552, true), EVerdict::eRetry, EFailure::eTransient, true,
         EServerCopy::eMayHoldPart, true, "cannot store \"a.bin\" on 127.0.0.1:21: 552 no"},
        {"no room again", refused(452, true, true), EVerdict::eFail, EFailure::ePermanent, false,
         EServerCopy::eMayHoldPart, true, "\"/in/a.bin\": cannot store"},
        {"no room before a byte", refused(452, false), EVerdict::eFail, EFailure::ePermanent, false,
         EServerCopy::eUnchanged, true, "\"/in/a.bin\": cannot store"},
        {"421", refused(421, false), EVerdict::eRetry, EFailure::eUnreachable, false, EServerCopy::eUnchanged, false,
         "is not available (it said: 421 no)"},
        {"refused for good", refused(550, false), EVerdict::eFail, EFailure::ePermanent, false, EServerCopy::eUnchanged,
         true, "\"/in/a.bin\" as \"a.bin\": cannot store"},
        {"no append", refused(502, false, false, 300), EVerdict::eRetry, EFailure::eTransient, false,
         EServerCopy::eNone, true, "; sending it from its first byte"},
        {"no append again", refused(502, false, true, 300), EVerdict::eFail, EFailure::ePermanent, false,
         EServerCopy::eUnchanged, true, "\"/in/a.bin\" as \"a.bin\": cannot store"},
        {"refused for now", refused(450, true), EVerdict::eRetry, EFailure::eTransient, true, EServerCopy::eMayHoldPart,
         true, "450 no"},
        {"data connection broke", broke, EVerdict::eRetry, EFailure::eTransient, true, EServerCopy::eMayHoldPart, true,
         "\"a.bin\" on 127.0.0.1:21: the data connection broke"},
        {"dropped unheard", unheard, EVerdict::eRetry, EFailure::eUnreachable, true, EServerCopy::eMayHoldPart, false,
         "the connection to 127.0.0.1:21 stopped"},
        {"stalled", stalled, EVerdict::eRetry, EFailure::eTransient, true, EServerCopy::eMayHoldPart, true,
         "the transfer stalled at byte 400"},
        {"hash late",
         checksCutShort(true, false),
         EVerdict::eCheckAgain,
         {},
         false,
         EServerCopy::eUnchanged,
         false,
         "asking again for the SHA-256"},
        {"hash late twice",
         checksCutShort(true, true),
         EVerdict::eDone,
         {},
         false,
         EServerCopy::eNone,
         true,
         "did not hash it in time"},
        {"checks cut short",
         checksCutShort(false, false),
         EVerdict::eCheckAgain,
         {},
         false,
         EServerCopy::eUnchanged,
         false,
         ""},
        {"checks cut short twice", checksCutShort(false, true), EVerdict::eRetry, EFailure::eTransient, false,
         EServerCopy::eNone, true, "did not answer the checks"},
        {"changed locally", changed, EVerdict::eFail, EFailure::ePermanent, false, EServerCopy::eNone, false,
         "changed during the upload"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const qz::AttemptVerdict v = qz::judgeAttempt(c.facts);
        EXPECT_EQ(v.action, c.action);
        if (c.action == EVerdict::eRetry || c.action == EVerdict::eFail) EXPECT_EQ(v.failure, c.failure);
        if (c.action == EVerdict::eRetry) EXPECT_EQ(v.resume, c.resume);
        EXPECT_EQ(v.copy, c.copy);
        EXPECT_EQ(v.reached, c.reached);
        EXPECT_NE(v.text.find(c.text), std::string::npos) << v.text;
        if (c.action != EVerdict::eDone) continue;
        const bool bySize = v.text.find("verified by size") != std::string::npos;
        EXPECT_EQ(v.verifiedBy, v.text == "verified by hash" ? qz::EVerifiedBy::eHash
                                : bySize                     ? qz::EVerifiedBy::eSize
                                                             : qz::EVerifiedBy::eTransferReply);
    }
}

}  // namespace
