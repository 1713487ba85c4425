// What a server says about hashes, read strictly: only a SHA-256 of the
// whole file in the expected shape is taken as one.
#include "server_hash.hpp"

#include <gtest/gtest.h>

namespace {

using qz::EHashReply;

const std::string kHex = "a948904f2f0f479b8f8197694b30184b0d2ed1c1cd2a1ec0fb85d299a192a447";

TEST(ServerHash, FeatOffersSha256OnlyInItsHashLine) {
    EXPECT_TRUE(qz::offersSha256({"211-Features:", " MDTM", " HASH CRC32;MD5;SHA-1*;SHA-256;SHA-512;", "211 End"}));
    EXPECT_TRUE(qz::offersSha256({" hash sha-256*"}));
    EXPECT_FALSE(qz::offersSha256({"211-Features:", " HASH CRC32;MD5;SHA-1*;SHA-512;", "211 End"}));
    EXPECT_FALSE(qz::offersSha256({" XSHA256", " HASHES SHA-256", " MLST SHA-256;", "211 HASH SHA-256"}));
    EXPECT_FALSE(qz::offersSha256({" HASH SHA-2567;SHA-25"}));
    EXPECT_FALSE(qz::offersSha256({}));
}

TEST(ServerHash, OnlyAWellFormedSha256OfTheWholeFileIsTaken) {
    struct Case {
        std::string line;
        EHashReply kind;
    };
    const Case cases[] = {
        {"213 SHA-256 0-12 " + kHex + " f.txt", EHashReply::eHash},
        {"213 sha-256 0-12 " + std::string("A948904F2F0F479B8F8197694B30184B0D2ED1C1CD2A1EC0FB85D299A192A447") +
             " name with spaces",
         EHashReply::eHash},
        {"550 f.txt: No such file or directory", EHashReply::eRefused},
        {"452 busy", EHashReply::eRefused},
        {"213 SHA-1 0-12 " + kHex + " f.txt", EHashReply::eUnreadable},    // another algorithm
        {"213 SHA-256 0-11 " + kHex + " f.txt", EHashReply::eUnreadable},  // a part of the file
        {"213 SHA-256 1-12 " + kHex + " f.txt", EHashReply::eUnreadable},
        {"213 SHA-256 0-12 " + kHex.substr(1) + " f.txt", EHashReply::eUnreadable},  // too short
        {"213 SHA-256 0-12 " + kHex + "0 f.txt", EHashReply::eUnreadable},           // too long
        {"213 SHA-256 0-12 " + kHex.substr(1) + "g f.txt", EHashReply::eUnreadable},
        {"213 SHA-256 0-12 " + kHex, EHashReply::eUnreadable},  // no name
        {"213 SHA-256  0-12 " + kHex + " f.txt", EHashReply::eUnreadable},
        {"213 12", EHashReply::eUnreadable},  // a SIZE reply
        {"200 SHA-256", EHashReply::eUnreadable},
        {"", EHashReply::eUnreadable},
        {"5", EHashReply::eUnreadable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto reply = qz::readHashReply(c.line, 12);
        EXPECT_EQ(reply.kind, c.kind);
        EXPECT_EQ(reply.digest, c.kind == EHashReply::eHash ? kHex : "");
    }
}

}  // namespace
