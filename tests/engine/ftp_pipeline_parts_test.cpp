// The pure parts of pipelined uploads: replies read from bytes that arrive
// in pieces, the data port of passive replies, the size in SIZE replies, and
// which reply answers which open command. Everything here comes from the server and is hostile.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "folder_listing.hpp"
#include "ftp_command_queue.hpp"
#include "ftp_reply.hpp"

namespace {

using qz::EFtpCommand;

TEST(FtpReplyReader, RepliesAreWholeOnlyAtTheirLastLine) {
    struct Case {
        std::vector<std::string> pieces;
        std::vector<std::pair<int, std::size_t>> replies;  // code, lines
        bool fault;
    };
    const Case cases[] = {
        {{"213 16", "384\r\n229 Entering (|||1", "|)\r\n"}, {{213, 1}, {229, 1}}, false},
        {{"211-Features:\r\n EPSV\r\n211-not the end\r\n HASH SHA-256\r\n211 End\r\n"}, {{211, 5}}, false},
        {{"226 done\n"}, {{226, 1}}, false},
        {{"150 Ok\r\n226 Trans"}, {{150, 1}}, false},
        {{"hello\r\n"}, {}, true},
        {{"600 no such class\r\n"}, {}, true},
        {{"21 short\r\n"}, {}, true},
        {{"213x\r\n"}, {}, true},
        {{std::string(qz::FtpReplyReader::kMaxLine + 1, '2')}, {}, true},
    };
    for (const Case& c : cases) {
        qz::FtpReplyReader reader;
        bool ok = true;
        for (const std::string& piece : c.pieces) ok = reader.feed(piece.data(), piece.size()) && ok;
        EXPECT_EQ(ok, !c.fault) << c.pieces[0];
        EXPECT_EQ(reader.fault().empty(), !c.fault) << c.pieces[0];
        for (const auto& expected : c.replies) {
            const auto reply = reader.next();
            ASSERT_TRUE(reply) << c.pieces[0];
            EXPECT_EQ(reply->code, expected.first);
            EXPECT_EQ(reply->lines.size(), expected.second);
        }
        EXPECT_FALSE(reader.next()) << c.pieces[0];
    }
}

TEST(FtpReplyReader, AReplyOfTooManyLinesIsAFault) {
    qz::FtpReplyReader reader;
    std::string text = "211-x\r\n";
    for (std::size_t i = 0; i < qz::FtpReplyReader::kMaxLines; ++i) text += " line\r\n";
    EXPECT_FALSE(reader.feed(text.data(), text.size()));
    EXPECT_FALSE(reader.next());
}

TEST(PassivePort, OnlyAWellFormedPortIsTaken) {
    struct Case {
        int code;
        std::string line;
        std::optional<std::uint16_t> port;
    };
    const Case cases[] = {
        {229, "229 Entering Extended Passive Mode (|||23139|)", 23139},
        {229, "229 ok (!!!80!)", 80},
        {229, "229 ok (|||0|)", std::nullopt},
        {229, "229 ok (|||65536|)", std::nullopt},
        {229, "229 ok (|||12a|)", std::nullopt},
        {229, "229 ok (||23139|)", std::nullopt},
        {229, "229 ok (|||23139|", std::nullopt},
        {229, "229 ok", std::nullopt},
        {227, "227 Entering Passive Mode (10,0,0,9,90,123)", 90 * 256 + 123},
        {227, "227 =(127,0,0,1,0,21)", 21},
        {227, "227 (1,2,3,4,256,1)", std::nullopt},
        {227, "227 (1,2,3,4,5)", std::nullopt},
        {227, "227 (1,2,3,4,,1)", std::nullopt},
        {227, "227 (1,2,3,4,0,0)", std::nullopt},
        {200, "200 (|||21|)", std::nullopt},
    };
    for (const Case& c : cases) {
        qz::FtpReply reply{c.code, {c.line}};
        EXPECT_EQ(qz::passivePort(reply), c.port) << c.line;
    }
}

TEST(SizeInReply, OnlyDigitsThatFitAreASize) {
    struct Case {
        std::string line;
        std::optional<std::uint64_t> size;
    };
    const Case cases[] = {
        {"213 16384", 16384},
        {"213 0", 0},
        {"213 18446744073709551615", UINT64_MAX},
        {"213 18446744073709551616", std::nullopt},
        {"213 -1", std::nullopt},
        {"213 12 bytes", std::nullopt},
        {"213 ", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(qz::sizeInReply(qz::FtpReply{213, {c.line}}), c.size) << c.line;
    EXPECT_EQ(qz::sizeInReply(qz::FtpReply{200, {"200 12"}}), std::nullopt);
}

TEST(FtpCommandQueue, EachReplyGoesToTheOldestCommandThatCanGetIt) {
    struct Step {
        int code;
        std::optional<EFtpCommand> answers;
        bool preliminary;
    };
    struct Case {
        const char* name;
        std::vector<EFtpCommand> sent;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"a pipelined file",
         {EFtpCommand::eSize, EFtpCommand::eHash, EFtpCommand::eEpsv, EFtpCommand::eStor},
         {{213, EFtpCommand::eSize, false},
          {550, EFtpCommand::eHash, false},
          {229, EFtpCommand::eEpsv, false},
          {150, EFtpCommand::eStor, true},
          {226, EFtpCommand::eStor, false},
          {226, std::nullopt, false}}},
        {"a check answered while the transfer runs",
         {EFtpCommand::eStor, EFtpCommand::eSize},
         {{150, EFtpCommand::eStor, true}, {213, std::nullopt, false}}},
        {"a transfer confirmed without a start", {EFtpCommand::eStor}, {{226, std::nullopt, false}}},
        {"a second start", {EFtpCommand::eStor}, {{150, EFtpCommand::eStor, true}, {125, std::nullopt, false}}},
        {"a refused transfer",
         {EFtpCommand::eStor, EFtpCommand::eSize},
         {{553, EFtpCommand::eStor, false}, {550, EFtpCommand::eSize, false}}},
        {"a passive reply to the wrong passive command", {EFtpCommand::eEpsv}, {{227, std::nullopt, false}}},
        {"a start where a size is due", {EFtpCommand::eSize}, {{150, std::nullopt, false}}},
        {"a reply nobody asked for", {}, {{220, std::nullopt, false}}},
        {"a greeting class reply", {EFtpCommand::eType}, {{331, std::nullopt, false}}},
    };
    for (const Case& c : cases) {
        qz::FtpCommandQueue queue;
        for (EFtpCommand kind : c.sent) queue.push({kind, 0, "X"});
        for (const Step& step : c.steps) {
            const auto match = queue.match(qz::FtpReply{step.code, {std::to_string(step.code) + " x"}});
            ASSERT_EQ(match.has_value(), step.answers.has_value()) << c.name << ": " << step.code;
            if (!match) break;
            EXPECT_EQ(match->command.kind, *step.answers) << c.name << ": " << step.code;
            EXPECT_EQ(match->preliminary, step.preliminary) << c.name << ": " << step.code;
        }
    }
}

}  // namespace

// The listing formats servers send: every entry with its kind and a file's
// size, or nothing at all where one line cannot be read (a guess could
// take a name for missing).
TEST(ReadListing, EachEntryOfAReadableListingOrNothing) {
    using Files = std::vector<std::tuple<std::string, char, std::optional<std::uint64_t>>>;
    struct Case {
        const char* name;
        bool machine;
        std::string text;
        std::optional<Files> files;
    };
    const Case cases[] = {
        {"MLSD", true, "type=cdir;modify=20240101120000; .\r\nType=File;Size=7; n \xc3\xbc.txt\r\ntype=dir; sub\r\n",
         Files{{"n \xc3\xbc.txt", 'f', 7}, {"sub", 'd', std::nullopt}}},
        {"MLSD without sizes", true, "type=file; a b\n", Files{{"a b", 'f', std::nullopt}}},
        {"MLSD with a size that is no number", true, "type=file;size=7x; a\r\n", std::nullopt},
        {"MLSD facts without a name", true, "type=file;size=7;a\r\n", std::nullopt},
        {"LIST, numeric owners, links and folders", false,
         "total 12\r\n-rw-------    1 1000     1000       300000 Dec 09 06:00 a b.txt\r\n"
         "drwxr-xr-x    2 1000     1000         4096 Jan  1  2024 sub\r\n"
         "lrwxrwxrwx    1 1000     1000            3 Jan  1 12:00 l -> x\r\n",
         Files{{"a b.txt", 'f', 300000}, {"sub", 'd', 4096}, {"l", 'o', 3}}},
        {"LIST without a group, a name like a date", false, "-rw-r--r-- 1 tester 5 Jan  1 12:00 Jan  1 12:00 y\n",
         Files{{"Jan  1 12:00 y", 'f', 5}}},
        {"LIST in another form", false, "300 bytes: a.bin\r\n", std::nullopt},
        {"LIST with months in another language", false, "-rw-r--r-- 1 u g 5 Dez  1 12:00 a\r\n", std::nullopt},
        {"LIST with one line of another form", false, "-rw-r--r-- 1 u g 5 Jan  1 12:00 a\r\n01-01-24  12:00PM  5 b\r\n",
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto files = qz::readListing(c.text, c.machine);
        ASSERT_EQ(files.has_value(), c.files.has_value());
        if (!files) continue;
        Files got;
        for (const auto& f : *files) {
            const char kind = f.kind == qz::EListedKind::eFile ? 'f' : f.kind == qz::EListedKind::eFolder ? 'd' : 'o';
            got.emplace_back(f.name, kind, f.size);
        }
        EXPECT_EQ(got, *c.files);
    }
}
