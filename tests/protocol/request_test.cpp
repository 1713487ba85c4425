// The request sender against a scripted loopback server: answer forms,
// status checks, refusals by state, what is sent, cookies and debug dumps.
#include <curlpp/Exception.hpp>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include <functional>
#include <regex>

#include "qz/scrambling.hpp"
#include "qz/strings.hpp"
#include "qz/ws.hpp"
#include "qz/xml.hpp"
#include "support/raw_server.hpp"
#include "support/script_server.hpp"
#include "support/temp_dir.hpp"

namespace {

using qztest::Reply;

const std::string kXmlOk = "<?xml version=\"1.0\"?><result><status success=\"true\"/></result>";

class Request : public qztest::TempDirTest {
protected:
    static void SetUpTestSuite() { qz::WS::initialize_third_party_libs(); }
    qztest::ScriptServer server;
};

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};

TEST_F(Request, AnswerForms) {
    using Body = std::function<std::string(const qz::WS&)>;
    auto text = [](const std::string& t) { return Body([t](const qz::WS&) { return t; }); };
    // What a server sends when it scrambles its answer: the form-encoded text, shifted.
    auto scrambled = [](const std::string& t) {
        return Body(
            [t](const qz::WS& ws) { return qz::scramble(url_encode(t), ws.encryptionKey, qz::EShift::eForward); });
    };
    struct Case {
        const char* name;
        int status;
        Body body;
        bool raises;
        std::string message;  // "URL" stands for the request's URL
        bool success;
        std::string raw;  // expected rawResponse; "=" means the body as sent
        bool document;
    };
    const Case cases[] = {
        {"xml declaration", 200, text(kXmlOk), false, "", true, "=", true},
        {"result element", 200, text("<result><status success=\"true\"/></result>"), false, "", true, "=", true},
        {"yay", 200, text("yay\r\n"), false, "", true, "=", false},
        {"nay", 200, text("nay\r\n"), false, "", false, "=", false},
        {"yay and more", 200, text("yay\r\nabcde"), false, "", false, "=", false},
        {"refused with comments", 200, text("<result><status success=\"false\" comments=\"no such user\"/></result>"),
         true, "server response for URL indicates the command failed to run (\"no such user\")", false, "=", false},
        {"refused without comments", 200, text("<result><status success=\"false\"/></result>"), true,
         "server response for URL indicates the command failed to run", false, "=", false},
        {"success not exactly true", 200, text("<result><status success=\"TRUE\"/></result>"), true,
         "server response for URL indicates the command failed to run", false, "=", false},
        {"no status", 200, text("<?xml version=\"1.0\"?><result/>"), true,
         "server response for URL indicates the command failed to run", false, "=", false},
        {"status but HTTP 500", 500, text(kXmlOk), true, "server HTTP response code for URL is 500", true, "=", false},
        {"nay with HTTP 404", 404, text("nay\r\n"), true, "server HTTP response code for URL is 404", false, "=",
         false},
        {"scrambled xml", 200, scrambled(kXmlOk), false, "", true, kXmlOk, true},
        {"scrambled short", 200, scrambled("yay"), false, "", false, "yay", false},
        {"empty", 200, text(""), false, "", false, "", false},
        {"xml that does not parse", 200, text("<?xml version=\"1.0\"?><result><status"), false, "", false, "=", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        qz::WS ws;
        ws.state = qz::WS::eLoginDone;
        const std::string body = c.body(ws);
        server.reply({c.status, body, {}});
        const std::string url = server.base() + "some.do";
        std::unique_ptr<xmlDoc, DocFree> doc;
        bool raised = false;
        try {
            doc.reset(ws.send_request(url, ""));
        } catch (const qz::Exception& e) {
            raised = true;
            EXPECT_EQ(e.operation(), "send_request");
            EXPECT_EQ(e.what(), ws.message);
        }
        EXPECT_EQ(raised, c.raises);
        EXPECT_EQ(ws.message, std::regex_replace(c.message, std::regex("URL"), url));
        EXPECT_EQ(ws.successFlag, c.success);
        EXPECT_EQ(ws.httpResponseCode, c.status);
        EXPECT_EQ(ws.recentUrl, url);
        EXPECT_EQ(ws.rawResponse, c.raw == "=" ? body : c.raw);
        EXPECT_EQ(doc != nullptr, c.document);
        if (!c.raises) EXPECT_EQ(ws.xmlResponse, c.document ? ws.rawResponse : "");
        EXPECT_EQ(ws.state, qz::WS::eLoginDone);
    }
}

TEST_F(Request, HtmlIsDescrambledBeforeAnyParsing) {
    qz::WS ws;
    ws.state = qz::WS::eLoginDone;
    const std::string html = "<html><body>gateway</body></html>";
    server.reply({200, html, {}});
    std::unique_ptr<xmlDoc, DocFree> doc(ws.send_request(server.base() + "x", ""));
    EXPECT_EQ(doc, nullptr);
    EXPECT_EQ(ws.rawResponse, ws.decrypt(html));
    EXPECT_FALSE(ws.successFlag);
    EXPECT_EQ(ws.message, "");
}

TEST_F(Request, RefusalsByStateOrSchemeSendNothing) {
    struct Case {
        qz::WS::EState state;
        std::string url;
        std::string message;
    };
    const std::string base = server.base();
    const std::string ftp = "ftp://127.0.0.1:" + std::to_string(server.port()) + "/getPickupSettings.do";
    const Case cases[] = {
        {qz::WS::eUnknown, base + "createPickupJob.do",
         "user must login prior to calling " + base + "createPickupJob.do"},
        {qz::WS::eUnknown, base + "xgetPickupSettings.do",
         "user must login prior to calling " + base + "xgetPickupSettings.do"},
        {qz::WS::eFinished, base + "jsp/doNothing.jsp",
         "cannot GET or POST to " + base + "jsp/doNothing.jsp from state \"finished\""},
        {qz::WS::eLoginDone, "file:///etc/hostname",
         "cannot send a request to file:///etc/hostname: only http and https URLs are allowed"},
        {qz::WS::eUnknown, ftp, "cannot send a request to " + ftp + ": only http and https URLs are allowed"},
    };
    for (const auto& c : cases) {
        qz::WS ws;
        ws.setX({{"verbose", "on"}});
        ws.state = c.state;
        EXPECT_THROW(ws.send_request(c.url, "a=b"), qz::Exception);
        EXPECT_EQ(ws.message, c.message);
        EXPECT_EQ(ws.recentUrl, c.url);
        EXPECT_EQ(ws.rawResponse, "");
        EXPECT_EQ(ws.httpResponseCode, -1);
    }
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(std::filesystem::is_empty(dir()));  // no dump, no cookie file

    qz::WS ws;
    server.reply({200, "yay\r\n", {}});
    std::unique_ptr<xmlDoc, DocFree> doc(ws.send_request(base + "getPickupSettings.do", "k=1"));
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(Request, WhatIsSent) {
    qz::WS ws;
    ws.state = qz::WS::eLoginDone;
    for (int i = 0; i < 3; ++i) server.reply({200, "yay\r\n", {}});
    xmlFreeDoc(ws.send_request(server.base() + "get.do?x=1", ""));
    xmlFreeDoc(ws.send_request(server.base() + "post.do", "k=1&u=%41B"));
    ws.setX({{"useragent", ""}});
    xmlFreeDoc(ws.send_request(server.base() + "anonymous.do", ""));
    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].target, "/get.do?x=1");
    EXPECT_EQ(seen[0].body, "");
    EXPECT_EQ(seen[0].userAgent, "qzwebjavaapi/2.1");
    EXPECT_EQ(seen[1].method, "POST");
    EXPECT_EQ(seen[1].body, "k=1&u=%41B");
    EXPECT_EQ(seen[1].contentType, "application/x-www-form-urlencoded");
    EXPECT_FALSE(seen[2].hasUserAgent);
}

TEST_F(Request, RedirectsAreNotFollowed) {
    qz::WS ws;
    ws.state = qz::WS::eLoginDone;
    server.reply({302, "", {{"Location", server.base() + "elsewhere"}}});
    EXPECT_THROW(ws.send_request(server.base() + "moved.do", ""), qz::Exception);
    EXPECT_EQ(ws.message, "server HTTP response code for " + server.base() + "moved.do is 302");
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(Request, AnEndlessAnswerStopsAtTheLimit) {
    const std::size_t limit = 4 << 20;
    qztest::RawServer endless("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n", qztest::RawServer::eKeepSending);
    qz::WS ws;
    ws.state = qz::WS::eLoginDone;
    ws.setX({{"maxanswersize", std::to_string(limit)}});
    const std::string url = endless.base() + "endless.do";
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    EXPECT_THROW(ws.send_request(url, ""), qz::Exception);
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    EXPECT_EQ(ws.message, "answer from " + url + " is larger than the limit of " + std::to_string(limit) +
                              " bytes (setting \"maxanswersize\")");
    EXPECT_EQ(ws.rawResponse, "");
    // The server would send a gigabyte; the answer may cost a few times the
    // limit while it grows, never the whole of it.
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 256 * 1024) << "peak grew by this many KiB";
}

TEST_F(Request, CookiesFromLoginReachLaterRequestsAndStayPrivate) {
    qz::WS ws;
    server.reply({200, kXmlOk, {{"Set-Cookie", "SESSION=abc123; Path=/"}}});
    server.reply({200, "yay\r\n", {}});
    xmlFreeDoc(ws.send_request(server.base() + "getPickupSettings.do", "k=1"));
    ws.state = qz::WS::eLoginDone;
    xmlFreeDoc(ws.send_request(server.base() + "jsp/doNothing.jsp?rand=1", ""));
    EXPECT_EQ(server.requests().at(1).cookie, "SESSION=abc123");

    struct stat info {};
    ASSERT_EQ(::stat(ws.cookieFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_NE(qztest::readFile(ws.cookieFile).find("abc123"), std::string::npos);

    // Another client has its own jar.
    qz::WS other;
    other.state = qz::WS::eLoginDone;
    server.reply({200, "yay\r\n", {}});
    xmlFreeDoc(other.send_request(server.base() + "jsp/doNothing.jsp?rand=2", ""));
    EXPECT_EQ(server.requests().at(2).cookie, "");
}

TEST_F(Request, TransportFailuresPassThroughAsCurlErrors) {
    qz::WS ws;
    ws.state = qz::WS::eLoginDone;
    ws.rawResponse = "old";
    ws.message = "old";
    const std::string url = "http://127.0.0.1:1/closed.do";
    EXPECT_THROW(ws.send_request(url, ""), curlpp::RuntimeError);
    EXPECT_EQ(ws.recentUrl, url);
    EXPECT_EQ(ws.message, "");
    EXPECT_EQ(ws.rawResponse, "");
    EXPECT_EQ(ws.xmlResponse, "");
    EXPECT_EQ(ws.httpResponseCode, -1);
    EXPECT_FALSE(ws.successFlag);
}

TEST_F(Request, VerboseWritesNumberedDumps) {
    qz::WS ws;
    ws.setX({{"verbose", "on"}});
    ws.state = qz::WS::eLoginDone;
    server.reply({200, kXmlOk, {}});
    server.reply({500, "nay\r\n", {}});
    const std::string scrambledYay = qz::scramble("yay", ws.encryptionKey, qz::EShift::eForward);
    server.reply({200, scrambledYay, {}});
    xmlFreeDoc(ws.send_request(server.base() + "a", ""));
    EXPECT_THROW(ws.send_request(server.base() + "b", ""), qz::Exception);
    xmlFreeDoc(ws.send_request(server.base() + "c", ""));

    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir())) names.push_back(entry.path().filename());
    names.erase(std::remove(names.begin(), names.end(), ws.cookieFile), names.end());
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 7u) << "three dumps, one of them with .xml";
    std::smatch m;
    ASSERT_TRUE(std::regex_match(names[0], m, std::regex("output_([0-9]{4,})_state_1_code_200\\.raw")));
    const unsigned first = static_cast<unsigned>(std::stoul(m[1]));
    auto nameOf = [](unsigned n, const char* rest) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "output_%04u%s", n, rest);
        return std::string(buf);
    };
    const std::vector<std::string> expected = {
        nameOf(first, "_state_1_code_200.raw"),     nameOf(first, "_state_1_code_200.txt"),
        nameOf(first, "_state_1_code_200.xml"),     nameOf(first + 1, "_state_1_code_500.raw"),
        nameOf(first + 1, "_state_1_code_500.txt"), nameOf(first + 2, "_state_1_code_200.raw"),
        nameOf(first + 2, "_state_1_code_200.txt"),
    };
    EXPECT_EQ(names, expected);
    EXPECT_EQ(qztest::readFile(path(expected[5])), scrambledYay);
    EXPECT_EQ(qztest::readFile(path(expected[6])), "yay");
    EXPECT_EQ(qztest::readFile(path(expected[2])),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<result>\n    <status success=\"true\"/>\n</result>\n");
}

// Dumps hold the transfer server's credentials and the cookie file the login
// session: neither is written through what someone planted at its name.
TEST_F(Request, DumpsAndCookieFileLeavePlantedFilesAlone) {
    const std::string target = path("target.txt");
    std::ofstream(target) << "keep me";
    auto plantLink = [&](const std::string& p) { ASSERT_EQ(::symlink(target.c_str(), p.c_str()), 0); };
    auto plantFile = [&](const std::string& p) {
        std::ofstream(p) << "planted";
        ::chmod(p.c_str(), 0644);
        if (::geteuid() == 0) ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
    };
    const std::string ftpAnswer =
        "<result><status success=\"true\"/><ftp u=\"x\" s=\"h\" p=\"hunter2\" path=\"/\"/></result>";

    qz::WS ws;
    ws.setX({{"verbose", "on"}});
    ws.state = qz::WS::eLoginDone;
    server.reply({200, ftpAnswer, {}});
    xmlFreeDoc(ws.send_request(server.base() + "a", ""));
    std::string first;
    for (const auto& entry : std::filesystem::directory_iterator(dir())) {
        const std::string name = entry.path().filename();
        if (name.rfind("output_", 0) != 0) continue;
        first = name.substr(0, name.find('.'));
        EXPECT_EQ(entry.status().permissions(),
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        const std::string content = qztest::readFile(entry.path());
        EXPECT_EQ(content.find("hunter2"), std::string::npos) << name;
        EXPECT_NE(content.find("p=\"********\""), std::string::npos) << name;
    }
    ASSERT_FALSE(first.empty());
    const unsigned long number = std::stoul(first.substr(std::strlen("output_")));
    char next[64];
    char after[64];
    std::snprintf(next, sizeof next, "output_%04lu_state_1_code_200", number + 1);
    std::snprintf(after, sizeof after, "output_%04lu_state_1_code_200", number + 2);
    plantLink(path(std::string(next) + ".raw"));
    plantFile(path(std::string(next) + ".txt"));
    plantLink(path(std::string(next) + ".xml"));
    server.reply({200, ftpAnswer, {}});
    testing::internal::CaptureStderr();
    xmlFreeDoc(ws.send_request(server.base() + "b", ""));
    // libcurl's verbose lines are all that may show.
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed.find("I/O"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("output_"), std::string::npos) << printed;
    EXPECT_EQ(qztest::readFile(target), "keep me");
    EXPECT_EQ(qztest::readFile(path(std::string(next) + ".txt")), "planted");
    EXPECT_NE(qztest::readFile(path(std::string(after) + ".xml")).find("p=\"********\""), std::string::npos)
        << "the dump moves on to the next free name";

    struct Case {
        const char* name;
        std::function<void(const std::string&)> plant;
        std::string reason;
    };
    const Case cases[] = {
        {"link", plantLink, "is a symbolic link"},
        {"file of another", plantFile, ::geteuid() == 0 ? "belongs to another user" : "is open to other users"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        qz::WS client;
        c.plant(path(client.cookieFile));
        const std::size_t sent = server.requests().size();
        EXPECT_THROW(client.send_request(server.base() + "getPickupSettings.do", "k=1"), qz::Exception);
        EXPECT_EQ(client.message, "cookie file \"" + client.cookieFile + "\" " + c.reason);
        EXPECT_EQ(server.requests().size(), sent);
        EXPECT_EQ(qztest::readFile(target), "keep me");
    }

    // The answer is read by local name: a prefixed element or attribute is
    // the password all the same, in every dump.
    const std::string prefixed[] = {
        "<result><status success=\"true\"/><q:ftp xmlns:q=\"urn:q\" u=\"x\" s=\"h\" p=\"s3cret&amp;1\"/></result>",
        "<result><status success=\"true\"/><ftp xmlns:q=\"urn:q\" u=\"x\" s=\"h\" q:p=\"s3cret&amp;1\"/></result>",
    };
    for (const std::string& answer : prefixed) {
        server.reply({200, answer, {}});
        std::unique_ptr<xmlDoc, DocFree> doc(ws.send_request(server.base() + "c", ""));
        ASSERT_EQ(qz::findAnyNodeAndGetAttribs(doc.get(), "ftp")["p"], "s3cret&1") << answer;
    }
    std::size_t dumps = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir())) {
        const std::string name = entry.path().filename();
        if (name.rfind("output_", 0) != 0 || std::filesystem::is_symlink(entry.symlink_status())) continue;
        ++dumps;
        EXPECT_EQ(qztest::readFile(entry.path()).find("s3cret"), std::string::npos) << name;
    }
    EXPECT_GE(dumps, 6u);
}

}  // namespace
