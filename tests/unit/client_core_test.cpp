// The client object: fields, states, key and cookie file, diagnostic map,
// library information, settings, string functions and scrambling.
#include <regex>
#include <set>
#include <stdexcept>

#include <curlpp/cURLpp.hpp>

#include "key_generator.hpp"
#include "qz/scrambling.hpp"
#include "qz/strings.hpp"
#include "qz/ws.hpp"
#include "support/temp_dir.hpp"

namespace {

class Client : public qztest::TempDirTest {
protected:
    static void SetUpTestSuite() { qz::WS::initialize_third_party_libs(); }
};

bool fileExists(const std::string& p) { return std::filesystem::exists(p); }

TEST_F(Client, NewClientIsInItsInitialState) {
    qz::WS ws;
    EXPECT_EQ(ws.get_state(), qz::WS::eUnknown);
    EXPECT_EQ(qz::to_string(ws.get_state()), "unknown");
    EXPECT_EQ(ws.httpResponseCode, -1);
    EXPECT_EQ(ws.userAgent, "qzwebjavaapi/2.1");
    EXPECT_EQ(ws.sslVerifyHost, 2);
    EXPECT_EQ(ws.sslVerifyPeer, 1);
    EXPECT_FALSE(ws.verbose);
    EXPECT_FALSE(ws.successFlag);
    EXPECT_TRUE(std::regex_match(ws.encryptionKey, std::regex("[0-9]{32,34}"))) << ws.encryptionKey;
    EXPECT_TRUE(std::regex_match(ws.cookieFile, std::regex("[0-9]{16,18}_cookies\\.txt"))) << ws.cookieFile;
    EXPECT_FALSE(fileExists(ws.cookieFile));
}

TEST(States, DisplayTexts) {
    const char* names[] = {"unknown",     "login done", "job created",   "file queue", "uploading",
                           "upload done", "log done",   "finalize done", "finished"};
    for (int i = 0; i <= 8; ++i) EXPECT_EQ(qz::to_string(static_cast<qz::WS::EState>(i)), names[i]);
    EXPECT_EQ(qz::to_string(static_cast<qz::WS::EState>(9)), "?");
    EXPECT_EQ(qz::to_string(static_cast<qz::WS::EState>(-1)), "?");
}

TEST_F(Client, ResetRemovesCookieFileAndForgetsEverything) {
    qz::WS ws;
    const std::string oldCookie = ws.cookieFile;
    const std::string oldKey = ws.encryptionKey;
    writeFile(oldCookie, "session");
    ws.state = qz::WS::eFinished;
    ws.jobId = "J1";
    ws.orderFormName = "form";
    ws.loginPassword = "pw";
    ws.verbose = true;
    ws.userAgent = "";
    ws.bandwidthMax = 5;
    ws.logout();
    EXPECT_FALSE(fileExists(oldCookie));
    EXPECT_EQ(ws.get_state(), qz::WS::eUnknown);
    EXPECT_EQ(ws.jobId, "");
    EXPECT_EQ(ws.orderFormName, "");
    EXPECT_EQ(ws.loginPassword, "");
    EXPECT_FALSE(ws.verbose);
    EXPECT_EQ(ws.userAgent, "qzwebjavaapi/2.1");
    EXPECT_EQ(ws.bandwidthMax, 0u);
    EXPECT_NE(ws.cookieFile, oldCookie);
    EXPECT_NE(ws.encryptionKey, oldKey);
    EXPECT_NO_THROW(ws.reset());  // the new cookie file does not exist: no error
}

TEST_F(Client, DestructionRemovesTheCookieFile) {
    std::string cookie;
    {
        qz::WS ws;
        cookie = ws.cookieFile;
        writeFile(cookie, "session");
    }
    EXPECT_FALSE(fileExists(cookie));
}

TEST_F(Client, ResetEmptiesTheEngineQueueForTheNextJob) {
    writeFile("a.txt", "a");
    qz::WS ws;
    ws.control.prepareSingleFile(qz::Local(path("a.txt")));
    ws.reset();
    EXPECT_TRUE(ws.control.getFileMap().empty());
}

TEST(KeyGenerator, KnownDrawsFromFixedSeeds) {
    struct Case {
        std::uint32_t seed;
        const char* key;
        const char* cookie;
    };
    const Case cases[] = {
        {1, "16624021641129199215253667615184", "139225178702216151_cookies.txt"},
        {255, "884723073411050174105160200467037", "8963147239200188_cookies.txt"},
        {123456789, "12068202225773732111712151342920", "1018395189221216_cookies.txt"},
    };
    for (const auto& c : cases) {
        auto drawn = qz::detail::drawKeyAndCookieFile(c.seed);
        EXPECT_EQ(drawn.key, c.key) << c.seed;
        EXPECT_EQ(drawn.cookieFile, c.cookie) << c.seed;
    }
}

TEST(KeyGenerator, ClockSeedUsesTheLowByteAndNeverZero) {
    EXPECT_EQ(qz::detail::seedFromClockCount(0x1234500), 1u);  // low byte 0 counts as 1
    EXPECT_EQ(qz::detail::seedFromClockCount(0x1234501), 1u);
    EXPECT_EQ(qz::detail::seedFromClockCount(0x12345FF), 255u);
    // The first draw of a seed s is (167 s - 1) mod 256: 166 for s = 1.
    for (std::uint32_t s : {1u, 2u, 100u, 255u}) {
        EXPECT_EQ(qz::detail::ByteGenerator(s).next(), (167 * s - 1) % 256) << s;
    }
}

TEST_F(Client, TenThousandClientsDrawTenThousandCookieFiles) {
    // Alive at once: a name is drawn again only while no client holds it.
    std::vector<std::unique_ptr<qz::WS>> clients;
    std::set<std::string> names;
    for (int i = 0; i < 10000; ++i) {
        clients.push_back(std::make_unique<qz::WS>());
        names.insert(clients.back()->cookieFile);
    }
    EXPECT_EQ(names.size(), 10000u);
}

TEST_F(Client, DiagnosticMapOfANewClient) {
    qz::WS ws;
    auto m = ws.get_map();
    EXPECT_EQ(ws.message, "unhandled error");
    const std::map<std::string, std::string> expected = {
        {"WS state code (current)", "0"},
        {"WS state name (current)", "unknown"},
        {"WS state code (next)", "1"},
        {"WS state name (next)", "login done"},
        {"WS HTTP response code", "-1"},
        {"WS secure", "false"},
        {"WS status success flag", "false"},
        {"WS verbose logging", "off"},
        {"WS message", "unhandled error"},
        {"WS bandwidth start", "0 bit/s"},
        {"WS filename (QZ summary log)", qz::SummaryLog::getLogFilename()},
        {"WS filename (C++ exceptions)", qz::Exception::getLogFilename()},
    };
    for (const auto& [k, v] : expected) EXPECT_EQ(m[k], v) << k;
    EXPECT_EQ(m.size(), 20u + 9u);
    for (const auto& [k, v] : m) {
        EXPECT_FALSE(ends_with(k, " (option)") || ends_with(k, " (server)")) << k;
        EXPECT_EQ(v.find(ws.encryptionKey), std::string::npos) << k;
    }
    ws.get_map();
    EXPECT_EQ(ws.message, "unhandled error");
}

TEST_F(Client, DiagnosticMapShowsEngineRowsFromJobCreatedOn) {
    qz::WS ws;
    ws.loginPassword = "hidden-password";
    for (int s : {1, 2, 8}) {
        ws.state = static_cast<qz::WS::EState>(s);
        auto m = ws.get_map();
        EXPECT_EQ(m.count("QZ host (option)") == 1, s >= 2) << s;
        EXPECT_EQ(m.count("QZ server (server)") == 1, s >= 2) << s;
        for (const auto& [k, v] : m) EXPECT_EQ(v.find("hidden-password"), std::string::npos) << k;
    }
    auto m = ws.get_map();
    EXPECT_EQ(m["WS state code (next)"], "9");
    EXPECT_EQ(m["WS state name (next)"], "?");
}

TEST_F(Client, ErrorsCarryMessageOperationAndMap) {
    qz::WS ws;
    try {
        ws.doNothing();
        FAIL() << "doNothing ran from state unknown";
    } catch (const qz::Exception& e) {
        const std::string text = "cannot call 'doNothing' from state \"unknown\"";
        EXPECT_EQ(e.what(), text);
        EXPECT_EQ(e.file(), "QZWS");
        EXPECT_EQ(e.operation(), "doNothing");
        EXPECT_EQ(e.diagnostics.at("WS message"), text);
        EXPECT_EQ(ws.message, text);
    }
}

TEST(LibraryInfo, NineRowsInByteOrder) {
    auto info = qz::WS::library_info();
    std::vector<std::string> keys;
    for (const auto& [k, v] : info) keys.push_back(k);
    const std::vector<std::string> expected = {"Boost library",   "Build date",   "Build type",
                                               "OpenSSL library", "QZ++ library", "Veltrane",
                                               "XML2 library",    "cURL library", "cURLpp wrapper"};
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(info["Veltrane"], "0.5.0-1152");
    EXPECT_EQ(info["Build type"], "Linux-64-release");
    EXPECT_EQ(info["QZ++ library"], qz::libqzVersionStr());
    EXPECT_EQ(info["OpenSSL library"], qz::opensslVersionStr());
    EXPECT_TRUE(std::regex_match(info["Boost library"], std::regex("[1-9][0-9]*\\.(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)")));
    EXPECT_TRUE(std::regex_match(info["Build date"],
                                 std::regex("[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}")));
    EXPECT_EQ(info["cURL library"].rfind("libcurl/", 0), 0u);
}

TEST_F(Client, SetXAppliesKeysInOrder) {
    using Map = std::map<std::string, std::string>;
    struct Case {
        Map settings;
        bool verbose;
        int host;
        int peer;
        std::string message;
    };
    const Case cases[] = {
        {{{"debug", "yes"}}, true, 2, 1, ""},
        {{{"debug", "on"}, {"verbose", "off"}}, false, 2, 1, ""},
        {{{"verbose", "1"}}, false, 2, 1, ""},
        {{{"verbose", "True"}}, false, 2, 1, ""},
        {{{"verbose", "true"}}, true, 2, 1, ""},
        {{{"sslverifypeer", " 7 "}}, false, 2, 7, ""},
        {{{"sslverifyhost", "+1"}}, false, 1, 1, ""},
        {{{"sslverifyhost", "0"}, {"sslverifypeer", "0"}}, false, 0, 0, ""},
        // Anything but a plain number leaves the check on.
        {{{"sslverifypeer", " 7x"}}, false, 2, 1, "invalid value \" 7x\" for key \"sslverifypeer\""},
        {{{"sslverifyhost", "x1"}}, false, 2, 1, "invalid value \"x1\" for key \"sslverifyhost\""},
        {{{"sslverifyhost", "0x"}}, false, 2, 1, "invalid value \"0x\" for key \"sslverifyhost\""},
        {{{"sslverifypeer", "+-1"}}, false, 2, 1, "invalid value \"+-1\" for key \"sslverifypeer\""},
        {{{"sslverifypeer", "4294967296"}}, false, 2, 1, "invalid value \"4294967296\" for key \"sslverifypeer\""},
        {{{"sslverifyhost", "-4294967295"}}, false, 2, 1, "invalid value \"-4294967295\" for key \"sslverifyhost\""},
        {{{"sslverifyhost", "yes"}}, false, 2, 1, "invalid value \"yes\" for key \"sslverifyhost\""},
        {{{"sslverifypeer", "off"}}, false, 2, 1, "invalid value \"off\" for key \"sslverifypeer\""},
        {{{"sslverifypeer", ""}}, false, 2, 1, "invalid value \"\" for key \"sslverifypeer\""},
        {{{"cookies", "x"}}, false, 2, 1, "unknown key \"cookies\""},
        {{{"a", "1"}, {"b", "2"}}, false, 2, 1, "unknown key \"b\""},
    };
    for (const auto& c : cases) {
        qz::WS ws;
        const std::string cookie = ws.cookieFile;
        ws.setX(c.settings);
        EXPECT_EQ(ws.verbose, c.verbose) << c.settings.begin()->first;
        EXPECT_EQ(ws.sslVerifyHost, c.host) << c.settings.begin()->first;
        EXPECT_EQ(ws.sslVerifyPeer, c.peer) << c.settings.begin()->first;
        EXPECT_EQ(ws.message, c.message);
        EXPECT_EQ(ws.cookieFile, cookie);
    }
    qz::WS ws;
    ws.setX({{"useragent", "agent/1"}, {"baseurl", "not a url"}});
    EXPECT_EQ(ws.userAgent, "agent/1");
    EXPECT_EQ(ws.baseUrl, "not a url");
    EXPECT_EQ(ws.get_map()["WS verbose logging"], "off");
    ws.setX({{"debug", "yes"}});
    EXPECT_EQ(ws.get_map()["WS verbose logging"], "on");
}

TEST_F(Client, GetXFillsOnlyItsKeys) {
    qz::WS ws;
    std::map<std::string, std::string> m = {
        {"useragent", ""}, {"cookies", ""}, {"other", "kept"}, {"maxanswersize", ""}};
    ws.getX(m);
    EXPECT_EQ(m.size(), 4u);
    EXPECT_EQ(m["maxanswersize"], "268435456");
    const std::pair<std::string, std::string> sizes[] = {
        {"0", "0"}, {" 1024 ", "1024"}, {"-1", ""}, {"1k", ""}, {"", ""}};
    for (const auto& [value, read] : sizes) {
        qz::WS other;
        other.setX({{"maxanswersize", value}});
        std::map<std::string, std::string> size = {{"maxanswersize", ""}};
        other.getX(size);
        EXPECT_EQ(size["maxanswersize"], read.empty() ? "268435456" : read) << value;
        EXPECT_EQ(other.message, read.empty() ? "invalid value \"" + value + "\" for key \"maxanswersize\"" : "");
    }
    EXPECT_EQ(m["useragent"], "qzwebjavaapi/2.1");
    EXPECT_EQ(m["cookies"], ws.cookieFile);
    EXPECT_EQ(m["other"], "kept");
}

TEST(Strings, UrlEncodeAndAffixes) {
    qz::WS::initialize_third_party_libs();
    const std::pair<std::string, std::string> encoded[] = {
        {"a b", "a%20b"},
        {"+", "%2B"},
        {"-._~AZaz09", "-._~AZaz09"},
        {"é", "%C3%A9"},
        {std::string("\0x", 2), "%00x"},
        {"", ""},
        {"&=/?#", "%26%3D%2F%3F%23"},
    };
    for (const auto& [plain, expected] : encoded) EXPECT_EQ(url_encode(plain), expected);

    EXPECT_TRUE(starts_with("abc", ""));
    EXPECT_TRUE(ends_with("abc", ""));
    EXPECT_TRUE(starts_with("<?xml version", "<?xml"));
    EXPECT_FALSE(starts_with("<?xm", "<?xml"));
    EXPECT_FALSE(ends_with("bc", "abc"));
    EXPECT_TRUE(ends_with("x/getPickupSettings.do", "/getPickupSettings.do"));
    EXPECT_FALSE(ends_with("xgetPickupSettings.do", "/getPickupSettings.do"));
}

TEST(Strings, UrlEncodeOfTextsLongerThanOneEscapingCall) {
    // libcurl escapes into at most 24 MB per call; this text needs 30 MB, so
    // it goes in pieces whose seams must not show.
    qz::WS::initialize_third_party_libs();
    std::string plain;
    while (plain.size() < 12'000'000) plain += "a /\xff";
    static const char hex[] = "0123456789ABCDEF";
    std::string expected;
    for (unsigned char c : plain) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~') {
            expected += static_cast<char>(c);
        } else {
            expected += {'%', hex[c >> 4], hex[c & 15]};
        }
    }
    const std::string encoded = url_encode(plain);
    EXPECT_EQ(encoded.size(), expected.size());
    EXPECT_TRUE(encoded == expected);
}

TEST(Scrambling, ShiftRoundTripsPrintableBytesAndAvoidsQuotes) {
    const std::string key = "16624021641129199215253667615184";
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    const std::string forward = qz::scramble(all + all, key, qz::EShift::eForward);
    for (char c : forward) {
        EXPECT_GE(static_cast<unsigned char>(c), 33);
        EXPECT_LE(static_cast<unsigned char>(c), 126);
        EXPECT_NE(c, '"');
        EXPECT_NE(c, '\'');
    }
    const std::string back = qz::scramble(forward, key, qz::EShift::eBackward);
    for (std::size_t i = 0; i < all.size() * 2; ++i) {
        int b = static_cast<unsigned char>(all[i % 256]);
        if (b >= 33 && b <= 126 && b != '"' && b != '\'') {
            EXPECT_EQ(back[i], all[i % 256]) << i;
        }
    }
}

TEST(Scrambling, KnownShifts) {
    // Key byte '1' shifts by 49: 'A' (65) -> 114 'r'; '~' (126) -> 175 - 94 = 81 'Q'.
    EXPECT_EQ(qz::scramble("A~", "1", qz::EShift::eForward), "rQ");
    // '!' (33) + 49 = 82; byte 0x80 (-128) + 49 = -79 -> +94 = 15 -> +94 = 109 'm'.
    EXPECT_EQ(qz::scramble(std::string("!\x80", 2), "1", qz::EShift::eForward), "Rm");
    // 34 would be '"': shift again. '"' - 49 = -15 -> 79 'O'; so 'O' + 49 = 128 -> 34 -> 34 + 49 = 83 'S'.
    EXPECT_EQ(qz::scramble("O", "1", qz::EShift::eForward), "S");
    // The key repeats from its start.
    EXPECT_EQ(qz::scramble("AAA", "12", qz::EShift::eForward), "rsr");
}

TEST(Scrambling, RefusesKeysThatCouldNeverLeaveAQuote) {
    // A shift of 0 or +-94 maps '"' to itself; shifting again would loop for ever.
    for (const char* key : {"", "12^3", "\xa2"}) {
        EXPECT_THROW(qz::scramble("\"", key, qz::EShift::eForward), std::invalid_argument) << key;
    }
    EXPECT_THROW(qz::scramble("x", std::string("1\0", 2), qz::EShift::eBackward), std::invalid_argument);
}

TEST_F(Client, EncryptAndDecrypt) {
    qz::WS ws;
    const std::string plain = "user name+100%";
    const std::string sent = ws.encrypt(plain);
    EXPECT_EQ(sent.find_first_of(" \"'+"), std::string::npos);
    // The server URL-decodes, then shifts back: every byte but the space returns.
    const std::string back = qz::scramble(curlpp::unescape(sent), ws.encryptionKey, qz::EShift::eBackward);
    ASSERT_EQ(back.size(), plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i) {
        if (plain[i] != ' ') {
            EXPECT_EQ(back[i], plain[i]) << i;
        }
    }
    EXPECT_EQ(ws.encrypt(""), "");
    EXPECT_EQ(ws.decrypt(""), "");

    // An answer the server scrambled from the form-encoded "a+b%2Bc".
    const std::string answer = qz::scramble("a+b%2Bc", ws.encryptionKey, qz::EShift::eForward);
    EXPECT_EQ(ws.decrypt(answer), "a b+c");

    ws.encryptionKey.clear();
    try {
        ws.encrypt("x");
        FAIL();
    } catch (const qz::Exception& e) {
        EXPECT_STREQ(e.what(), "cannot encrypt with an empty encryption key");
        EXPECT_EQ(e.operation(), "encrypt");
    }
    try {
        ws.decrypt("x");
        FAIL();
    } catch (const qz::Exception& e) {
        EXPECT_STREQ(e.what(), "cannot decrypt with an empty encryption key");
        EXPECT_EQ(e.operation(), "decrypt");
    }
}

}  // namespace
