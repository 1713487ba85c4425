// Job servers that misbehave: huge, hostile, broken or silent answers. The
// client must end each request with a clear result, never crash or hang,
// read no local file and fetch nothing.
#include <curlpp/Exception.hpp>

#include "qz/ws.hpp"
#include "qz/xml.hpp"
#include "support/raw_server.hpp"
#include "support/script_server.hpp"
#include "support/temp_dir.hpp"

namespace {

using qztest::readFile;

class Hostile : public qztest::TempDirTest {
protected:
    static void SetUpTestSuite() { qz::WS::initialize_third_party_libs(); }

    // Sends one request to `base` and returns what the client made of it.
    struct Result {
        bool raised = false;
        bool document = false;
        std::string message;
    };
    Result ask(qz::WS& ws, const std::string& base) {
        ws.state = qz::WS::eLoginDone;
        Result r;
        try {
            xmlDoc* doc = ws.send_request(base + "createPickupJob.do", "k=1");
            r.document = doc != nullptr;
            // Whatever came back must be searchable to the end.
            qz::findAnyNodeWithName(doc, "absent");
            xmlFreeDoc(doc);
        } catch (const qz::Exception& e) {
            r.raised = true;
            r.message = e.what();
        }
        return r;
    }

    qztest::ScriptServer server;
};

TEST_F(Hostile, HostileDocuments) {
    const std::string secret = writeFile("secret.txt", "TOP-SECRET-CONTENT");
    qztest::ScriptServer bait;  // a URL that an external entity might try to fetch
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY l0 \"lol\">";
    for (int i = 1; i <= 10; ++i) {
        laughs += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) laughs += "&l" + std::to_string(i - 1) + ";";
        laughs += "\">";
    }
    laughs += "]><result><status success=\"true\"/><x>&l10;</x></result>";
    std::string siblings = "<result>";
    for (int i = 0; i < 1'000'000; ++i) siblings += "<s/>";
    siblings += "<status success=\"true\"/></result>";

    struct Case {
        const char* name;
        std::string body;
        bool raised;
        bool document;
    };
    const Case cases[] = {
        {"billion laughs", laughs, false, false},
        {"external entity",
         "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + secret + "\"><!ENTITY y SYSTEM \"" +
             bait.base() +
             "entity\">]>"
             "<result><status success=\"true\" comments=\"&x;&y;\"/></result>",
         false, false},
        {"external DTD",
         "<?xml version=\"1.0\"?><!DOCTYPE result SYSTEM \"" + bait.base() +
             "dtd\">"
             "<result><status success=\"true\"/></result>",
         false, true},
        {"parameter entity",
         "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY % p SYSTEM \"file://" + secret +
             "\"> %p;]><result><status success=\"true\"/></result>",
         false, true},
        {"a million siblings", siblings, false, true},
        {"truncated", "<?xml version=\"1.0\"?><result><status success=\"true\"/><jo", false, false},
        {"NUL inside", std::string("<?xml version=\"1.0\"?><result><status success=\"true\"/>\0</result>", 63), false,
         false},
        {"NUL after a plain reply", std::string("yay\r\n\0\0\0", 8), false, false},
        {"deeper than the parser goes",
         std::string(300 * 3, ' ')
             .replace(0, 900,
                      [] {
                          std::string s;
                          for (int i = 0; i < 300; ++i) s += "<d>";
                          return "<result>" + s;
                      }()),
         false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        qz::WS ws;
        ws.setX({{"verbose", "on"}});
        server.reply({200, c.body, {}});
        Result r = ask(ws, server.base());
        EXPECT_EQ(r.raised, c.raised) << r.message;
        EXPECT_EQ(r.document, c.document);
        EXPECT_EQ(ws.rawResponse.find("TOP-SECRET"), std::string::npos);
        for (const auto& f : std::filesystem::directory_iterator(dir())) {
            if (f.path().filename().string().rfind("output_", 0) == 0) {
                EXPECT_EQ(readFile(f.path()).find("TOP-SECRET"), std::string::npos) << f.path();
                std::filesystem::remove(f.path());
            }
        }
    }
    EXPECT_TRUE(bait.requests().empty()) << "fetched " << bait.requests().front().target;
}

TEST_F(Hostile, AHundredMegabyteAnswer) {
    struct Case {
        const char* name;
        std::string prefix;
    };
    const Case cases[] = {{"xml", "<?xml version=\"1.0\"?><result><t>"}, {"scrambled", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string body = c.prefix;
        body.resize(100u << 20, 'a');
        qz::WS ws;
        server.reply({200, body, {}});
        Result r = ask(ws, server.base());
        EXPECT_FALSE(r.raised);
        EXPECT_FALSE(r.document);
        EXPECT_EQ(ws.rawResponse.size(), body.size());
    }
}

TEST_F(Hostile, BrokenConnections) {
    struct Case {
        const char* name;
        std::string reply;
        qztest::RawServer::EAfterReply after;
        std::map<std::string, std::string> settings;
    };
    const Case cases[] = {
        {"closed mid-answer",
         "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n<?xml version=\"1.0\"?><res",
         qztest::RawServer::eClose,
         {}},
        {"closed without a word", "", qztest::RawServer::eClose, {}},
        {"garbage status line", "SPEAK FRIEND\r\n\r\n", qztest::RawServer::eClose, {}},
        {"never answers", "", qztest::RawServer::eStaySilent, {{"timeout", "1"}}},
        {"stalls mid-answer",
         "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n<?xml",
         qztest::RawServer::eStaySilent,
         {{"timeout", "1"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        qztest::RawServer raw(c.reply, c.after);
        qz::WS ws;
        ws.setX(c.settings);
        ws.state = qz::WS::eLoginDone;
        EXPECT_THROW(ws.send_request(raw.base() + "a.do", ""), curlpp::RuntimeError);
        EXPECT_EQ(ws.httpResponseCode, -1);
        EXPECT_EQ(ws.recentUrl, raw.base() + "a.do");
        EXPECT_FALSE(ws.successFlag);
    }
}

TEST_F(Hostile, TheHostEndsARequestThatWouldWaitForEver) {
    qztest::RawServer raw("", qztest::RawServer::eStaySilent);
    qz::WS ws;  // no time-out: only the host's answer ends the wait
    int asked = 0;
    ws.interrupted = [&asked] { return ++asked == 3; };
    ws.state = qz::WS::eLoginDone;
    EXPECT_THROW(ws.send_request(raw.base() + "a.do", ""), curlpp::RuntimeError);
    EXPECT_EQ(asked, 3);
}

TEST_F(Hostile, TimeoutSettings) {
    qz::WS ws;
    std::map<std::string, std::string> read = {{"timeout", ""}, {"connecttimeout", ""}};
    ws.getX(read);
    EXPECT_EQ(read["timeout"], "0");
    EXPECT_EQ(read["connecttimeout"], "0");
    ws.setX({{"timeout", "30"}, {"connecttimeout", "5"}});
    ws.getX(read);
    EXPECT_EQ(read["timeout"], "30");
    EXPECT_EQ(read["connecttimeout"], "5");
    for (const char* bad : {"never", "-1", ""}) {
        ws.setX({{"timeout", bad}});
        EXPECT_EQ(ws.message, std::string("invalid value \"") + bad + "\" for key \"timeout\"");
        EXPECT_EQ(ws.requestTimeout, 30);
    }
    ws.reset();
    EXPECT_EQ(ws.requestTimeout, 0);
    EXPECT_EQ(ws.connectTimeout, 0);
}

TEST_F(Hostile, BadInputFromTheHost) {
    const std::string huge(10u << 20, 'x');
    std::string binary;
    for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
    for (const std::string& value : {huge, binary}) {
        qz::WS ws;
        server.reply(
            {200,
             "<result><status success=\"true\"/><orderforms><orderform name=\"F\" type=\"job\"/></orderforms></result>",
             {}});
        ws.login(server.base(), value, value);
        EXPECT_EQ(ws.get_state(), qz::WS::eLoginDone);
        EXPECT_GT(server.requests().back().body.size(), value.size());
        EXPECT_THROW(ws.createJob(value, {}), qz::Exception);
        EXPECT_EQ(ws.message, "XML does not contain an order form called \"" + value + "\"");
        server.reply(
            {200, "<result><status success=\"true\"/><ftp path=\"/\" u=\"u\" p=\"p\" s=\"h\" p1=\"1\"/></result>", {}});
        ws.createJob("F", {{"big", value}, {"", ""}, {std::string("k\0ey", 4), value}});
        EXPECT_EQ(ws.get_state(), qz::WS::eJobCreated);
        EXPECT_GT(server.requests().back().body.size(), 2 * value.size());
    }
    qz::WS ws;
    EXPECT_THROW(ws.login(server.base() + std::string(1, '\0'), "u", "p"), qz::Exception);
    EXPECT_EQ(ws.message, "base URL appears to be invalid");
}

}  // namespace
