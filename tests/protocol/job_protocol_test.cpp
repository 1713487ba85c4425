// The job's operations against a scripted loopback server: what each one
// sends, how it reads the answer, where it leaves the client, and its refusals.
#include <fstream>
#include <regex>

#include "qz/strings.hpp"
#include "qz/ws.hpp"
#include "qz/xml.hpp"
#include "support/form.hpp"
#include "support/ftp_server.hpp"
#include "support/script_server.hpp"
#include "support/temp_dir.hpp"

namespace {

using qztest::formFields;
using qztest::readFile;
using qztest::unscramble;
using Fields = std::vector<std::pair<std::string, std::string>>;

const std::string kLoginAnswer =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><result><status success=\"true\"/><orderforms>"
    "<orderform name=\"Upload\" type=\"job\"/><orderform name=\"my_file_area\" type=\"filearea\"/>"
    "<orderform name=\"Shared\" type=\"filearea\"/><orderform name=\"NoType\"/>"
    "<orderform name=\"Upload\" type=\"second\"/><orderform name=\"with space &amp; more\" type=\"job\"/>"
    "</orderforms></result>";

std::string createAnswer(const std::string& ftpAttributes, const std::string& extra = "") {
    return "<result><status success=\"true\"/>" + extra + "<ftp " + ftpAttributes + "/></result>";
}

const std::string kFtp = "path=\"/in\" u=\"ftpuser\" p=\"ftppass\" s=\"127.0.0.1\" p1=\"1\"";

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

class Job : public qztest::TempDirTest {
protected:
    static void SetUpTestSuite() { qz::WS::initialize_third_party_libs(); }

    void login(qz::WS& ws, const std::string& answer = kLoginAnswer) {
        server.reply({200, answer, {}});
        ws.login(server.base(), "alice", "pa ss");
    }
    void loginAndCreate(qz::WS& ws, const std::string& form = "Upload",
                        const std::string& answer = createAnswer(kFtp, "<job id=\"J-42\"/>")) {
        login(ws);
        server.reply({200, answer, {}});
        ws.createJob(form, {});
    }
    qztest::Seen last() const { return server.requests().back(); }

    qztest::ScriptServer server;
};

template <typename F>
std::string errorOf(F&& f) {
    try {
        f();
    } catch (const qz::Exception& e) {
        return e.what();
    }
    return "(no error)";
}

TEST_F(Job, LoginChecksItsArguments) {
    struct Case {
        std::string url, user, pass, message;
    };
    const Case cases[] = {
        {"", "", "", "password cannot be empty"},
        {"", "u", "p", "base URL cannot be empty"},
        {"http://h/", "", "p", "username cannot be empty"},
        {"http://h/a b", "u", "", "base URL appears to be invalid"},
        {"http://h/\xc3\xa9", "u", "p", "base URL appears to be invalid"},
        {"http://h/\x7f", "u", "p", "base URL appears to be invalid"},
        {"file:///etc/", "u", "p", "base URL \"file:///etc/\" is not an http or https URL"},
        {"ftp://h/", "u", "p", "base URL \"ftp://h/\" is not an http or https URL"},
        {"h/", "u", "p", "base URL \"h/\" is not an http or https URL"},
    };
    for (const auto& c : cases) {
        qz::WS ws;
        EXPECT_EQ(errorOf([&] { ws.login(c.url, c.user, c.pass); }), c.message);
        EXPECT_EQ(ws.message, c.message);
        EXPECT_EQ(ws.baseUrl, "");
        EXPECT_EQ(ws.get_state(), qz::WS::eUnknown);
    }
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(Job, LoginSendsScrambledCredentials) {
    qz::WS ws;
    const std::string base = server.base();
    ASSERT_EQ(base.back(), '/');
    server.reply({200, kLoginAnswer, {}});
    ws.login(base.substr(0, base.size() - 1), "alice smith", "pa\"ss");
    EXPECT_EQ(ws.get_state(), qz::WS::eLoginDone);
    EXPECT_EQ(ws.baseUrl, base);
    EXPECT_EQ(ws.xmlResponse, kLoginAnswer);
    auto seen = last();
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.target, "/getPickupSettings.do");
    Fields f = formFields(seen.body);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0], std::make_pair(std::string("k"), ws.encryptionKey));
    EXPECT_EQ(f[1].first, "u");
    EXPECT_EQ(f[2].first, "p");
    EXPECT_EQ(f[1].second, ws.encrypt("alice smith"));
    EXPECT_EQ(unscramble(f[1].second, ws.encryptionKey).substr(0, 5), "alice");
    EXPECT_EQ(seen.body.find("alice"), std::string::npos);

    server.reply({200, kLoginAnswer, {}});
    ws.login(base, "alice", "pw");
    EXPECT_EQ(ws.baseUrl, base);  // no second slash
}

TEST_F(Job, LoginOutcomesByAnswer) {
    struct Case {
        std::string answer;
        qz::WS::EState state;
        std::string message;
    };
    const std::string url = server.base() + "getPickupSettings.do";
    const Case cases[] = {
        {"yay\r\n", qz::WS::eLoginDone, "(no error)"},
        {"nay\r\n", qz::WS::eUnknown, "(no error)"},
        {"<result><status success=\"false\" comments=\"invalid credentials\"/></result>", qz::WS::eUnknown,
         "server response for " + url + " indicates the command failed to run (\"invalid credentials\")"},
    };
    for (const auto& c : cases) {
        qz::WS ws;
        server.reply({200, c.answer, {}});
        EXPECT_EQ(errorOf([&] { ws.login(server.base(), "u", "p"); }), c.message);
        EXPECT_EQ(ws.get_state(), c.state);
        EXPECT_EQ(ws.loginUsername, "u");
    }
}

TEST_F(Job, LoginResetsAClientThatIsNotNew) {
    qz::WS ws;
    loginAndCreate(ws);
    ws.setX({{"verbose", "on"}, {"useragent", "custom"}});
    const std::string key = ws.encryptionKey;
    const std::string cookie = ws.cookieFile;
    ASSERT_TRUE(std::filesystem::exists(cookie));
    login(ws);
    EXPECT_NE(ws.encryptionKey, key);
    EXPECT_NE(ws.cookieFile, cookie);
    EXPECT_FALSE(std::filesystem::exists(cookie));
    EXPECT_FALSE(ws.verbose);
    EXPECT_EQ(last().userAgent, "qzwebjavaapi/2.1");
    EXPECT_EQ(ws.jobId, "");

    // A bad argument on a logged-in client still leaves it reset.
    EXPECT_EQ(errorOf([&] { ws.login("", "u", "p"); }), "base URL cannot be empty");
    EXPECT_EQ(ws.get_state(), qz::WS::eUnknown);
    EXPECT_EQ(ws.baseUrl, "");

    // Settings made in "unknown" survive the login that follows.
    ws.setX({{"useragent", "kept/1"}});
    login(ws);
    EXPECT_EQ(last().userAgent, "kept/1");
}

TEST_F(Job, CreateJobFindsTheOrderForm) {
    struct Case {
        std::string form;
        std::string message;
        std::string type;
    };
    const Case cases[] = {
        {"Upload", "(no error)", "job"},
        {"upload", "XML does not contain an order form called \"upload\"", ""},
        {"", "XML does not contain an order form called \"\"", ""},
        {"Missing", "XML does not contain an order form called \"Missing\"", ""},
        {"NoType", "cannot guess order form type for \"NoType\"", ""},
        {"with space & more", "(no error)", "job"},
    };
    for (const auto& c : cases) {
        qz::WS ws;
        login(ws);
        const auto before = server.requests().size();
        const bool created = c.message == "(no error)";
        if (created) server.reply({200, createAnswer(kFtp), {}});
        EXPECT_EQ(errorOf([&] { ws.createJob(c.form, {}); }), c.message) << c.form;
        EXPECT_EQ(ws.get_state(), created ? qz::WS::eJobCreated : qz::WS::eLoginDone) << c.form;
        EXPECT_EQ(server.requests().size(), before + (created ? 1 : 0)) << c.form;
        if (created) EXPECT_EQ(ws.orderFormType, c.type);
    }
}

TEST_F(Job, CreateJobSendsFormAndScrambledFields) {
    qz::WS ws;
    login(ws);
    server.reply({200, createAnswer(kFtp, "<job id=\"J-42\"/><securityTag isSecure=\"true\"/>"), {}});
    ws.createJob("with space & more", {{"b", "second value"}, {"a", "first"}, {"c&d=e f", "x"}, {"é.-_~", "y"}});
    auto seen = last();
    EXPECT_EQ(seen.target, "/createPickupJob.do");
    // Plain keys go out byte for byte; one that would change the form is escaped.
    const std::string expected = "k=" + ws.encryptionKey +
                                 "&qzof=with space & more&qzoftype=job&a=" + ws.encrypt("first") +
                                 "&b=" + ws.encrypt("second value") + "&c%26d%3De%20f=" + ws.encrypt("x") +
                                 "&é.-_~=" + ws.encrypt("y");
    EXPECT_EQ(seen.body, expected);
    EXPECT_EQ(ws.jobId, "J-42");
    EXPECT_TRUE(ws.secure);
    EXPECT_EQ(ws.orderFormName, "with space & more");
    EXPECT_EQ(ws.control.getOptions().host, "127.0.0.1");
    EXPECT_EQ(ws.control.getOptions().username, "ftpuser");

    EXPECT_EQ(errorOf([&] { ws.createJob("Upload", {}); }), "cannot create a new job from state \"job created\"");
}

TEST_F(Job, CreateJobReadsTheAnswer) {
    struct Case {
        std::string answer;
        std::string message;
        std::string jobId;
        bool secure;
    };
    const std::string url = server.base() + "createPickupJob.do";
    const std::string noFtp =
        "FTP node in server response does not exist or is missing some required file transfer parameters";
    const Case cases[] = {
        {createAnswer(kFtp, "<job id=\"7\"/><securityTag isSecure=\"TRUE\"/>"), "(no error)", "7", false},
        {createAnswer(kFtp, "<securityTag isSecure=\"1\"/>"), "(no error)", "", false},
        {"yay\r\n", noFtp, "", false},
        {"<result><status success=\"true\"/><job id=\"8\"/></result>", noFtp, "8", false},
        {"<result><status success=\"false\" comments=\"form closed\"/></result>",
         "server response for " + url + " indicates the command failed to run (\"form closed\")", "", false},
    };
    for (const auto& c : cases) {
        qz::WS ws;
        login(ws);
        server.reply({200, c.answer, {}});
        EXPECT_EQ(errorOf([&] { ws.createJob("Upload", {}); }), c.message);
        EXPECT_EQ(ws.jobId, c.jobId);
        EXPECT_EQ(ws.secure, c.secure);
        EXPECT_EQ(ws.get_state(), c.message == "(no error)" ? qz::WS::eJobCreated : qz::WS::eLoginDone);
    }
}

TEST_F(Job, CreateJobAfterAnotherRequestFindsNoForm) {
    qz::WS ws;
    login(ws);
    server.reply({200, "yay\r\n", {}});
    ws.doNothing();
    EXPECT_EQ(errorOf([&] { ws.createJob("Upload", {}); }), "XML does not contain an order form called \"Upload\"");
}

TEST_F(Job, SetOptionsRequiresTheTransferParameters) {
    const std::string noFtp =
        "FTP node in server response does not exist or is missing some required file transfer parameters";
    const std::string cases[] = {
        "<result/>",
        "<result><ftp u=\"x\" p=\"y\" s=\"h\" p1=\"21\"/></result>",
        "<result><ftp path=\"/\" u=\" \t\r\n\" p=\"y\" s=\"h\" p1=\"21\"/></result>",
        "<result><ftp path=\"/\" u=\"x\" p=\"y\" s=\"h\" p1=\"\"/></result>",
    };
    for (const auto& text : cases) {
        qz::WS ws;
        xmlDoc* doc = xmlParseDoc(reinterpret_cast<const xmlChar*>(text.c_str()));
        qz::SummaryLog::truncateLogFile();
        qz::SummaryLog::add("untouched");
        try {
            ws.set_options(doc);
            ADD_FAILURE() << text;
        } catch (const qz::Exception& e) {
            EXPECT_EQ(e.what(), noFtp);
            EXPECT_EQ(e.operation(), "set_options");
            std::size_t ftpRows = 0;
            for (const auto& [k, v] : e.diagnostics) ftpRows += k.rfind("ftp node ", 0) == 0;
            EXPECT_EQ(ftpRows, qz::findAnyNodeAndGetAttribs(doc, "ftp").size());
            if (e.diagnostics.count("ftp node p")) EXPECT_EQ(e.diagnostics.at("ftp node p"), "********");
        }
        EXPECT_EQ(readFile(qz::SummaryLog::getLogFilename()), "untouched\n");
        EXPECT_EQ(ws.bandwidthMax, 0u);
        xmlFreeDoc(doc);
    }
    qz::WS ws;
    EXPECT_EQ(errorOf([&] { ws.set_options(nullptr); }), noFtp);

    // A document that does not parse: libxml2's complaint goes to the
    // summary log, never to the host's stderr.
    qz::SummaryLog::truncateLogFile();
    testing::internal::CaptureStderr();
    xmlDoc* broken = xmlParseDoc(reinterpret_cast<const xmlChar*>("<result><ftp u=\"x\""));
    EXPECT_EQ(errorOf([&] { ws.set_options(broken); }), noFtp);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_NE(readFile(qz::SummaryLog::getLogFilename()).find("qz::WS: libxml2: "), std::string::npos);
}

TEST_F(Job, SetOptionsAppliesEachAttribute) {
    const std::uint64_t unit = qz::bps(qz::ECommonBandwidth::e1Mbit);
    struct Case {
        std::string extra;
        std::map<std::string, std::string> options;  // expected rows of getMap(true)
        std::uint64_t start, max;
    };
    const Case cases[] = {
        {"",
         {{"host", "h"},
          {"port", "2121"},
          {"username", "x"},
          {"password", "y"},
          {"multi threaded", "true"},
          {"connections", "3"},
          {"transfer mode", "parallel"},
          {"bandwidth maximum", "0 bit/s"},
          {"congestion control", "false"},
          {"encrypt control", "false"}},
         100 * unit,
         10 * qz::bps(static_cast<qz::ECommonBandwidth>(18))},
        {"p1=\"67657\"", {{"port", "2121"}}, 100 * unit, 100000 * unit},
        {"allowUDP=\"True\"", {{"transfer mode", "sequential"}}, 100 * unit, 100000 * unit},
        {"allowUDP=\"true\"", {{"transfer mode", "parallel"}}, 100 * unit, 100000 * unit},
        {"useSSL=\"true\"", {{"encrypt control", "true"}, {"encrypt data", "true"}}, 100 * unit, 100000 * unit},
        {"useSSL=\"yes\"", {{"encrypt control", "false"}}, 100 * unit, 100000 * unit},
        {"bandwidth=\"50\"",
         {{"bandwidth maximum", "50.00 Mbit/s"}, {"bandwidth start", "100.00 Mbit/s"}},
         100 * unit,
         50 * unit},
        {"bandwidth=\"abc\" congestionControlStartRate=\"0\"", {{"bandwidth maximum", "0 bit/s"}}, 0, 0},
        {"bandwidth=\"-1\"", {}, 100 * unit, static_cast<std::uint64_t>(-1) * unit},
        {"blocksize=\"65536\"", {{"unit size", "1024"}, {"block size", "65536"}}, 100 * unit, 100000 * unit},
        {"congestionControlAggression=\"9\"",
         {{"congestion control", "true"}, {"congestion aggression", "9"}},
         100 * unit,
         100000 * unit},
        {"useCongestionControl=\"false\" congestionControlAggression=\"2\"",
         {{"congestion control", "false"}, {"congestion aggression", "2"}},
         100 * unit,
         100000 * unit},
        {"numEncoders=\"4\" unitsize=\"\"", {{"encoders", "4"}, {"unit size", "1024"}}, 100 * unit, 100000 * unit},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extra);
        qz::WS ws;
        const std::string text = "<result><ftp path=\"/in\" u=\"x\" p=\"y\" s=\"h\" " +
                                 (c.extra.rfind("p1=", 0) == 0 ? c.extra : "p1=\"2121\" " + c.extra) + "/></result>";
        xmlDoc* doc = xmlParseDoc(reinterpret_cast<const xmlChar*>(text.c_str()));
        ws.set_options(doc);
        xmlFreeDoc(doc);
        auto shown = ws.options.getMap(true);
        for (const auto& [k, v] : c.options) EXPECT_EQ(shown[k], v) << k;
        EXPECT_EQ(ws.bandwidthStart, c.start);
        EXPECT_EQ(ws.bandwidthMax, c.max);
        EXPECT_EQ(ws.ftpUsername, "x");
    }
}

TEST_F(Job, SetOptionsStartsAFreshSummaryLog) {
    qz::SummaryLog::add("from an earlier job");
    qz::WS ws;
    ws.orderFormName = "Upload";
    ws.orderFormType = "job";
    ws.jobId = "J-1";
    const std::string text = "<result><ftp path=\"/in\" u=\"x\" p=\"secret\" s=\"h\" p1=\"21\" empty=\"\"/></result>";
    xmlDoc* doc = xmlParseDoc(reinterpret_cast<const xmlChar*>(text.c_str()));
    ws.set_options(doc);
    xmlFreeDoc(doc);
    const std::string log = readFile(qz::SummaryLog::getLogFilename());
    EXPECT_EQ(log.find("earlier"), std::string::npos);
    EXPECT_EQ(log.rfind("qz::WS: Boost library=", 0), 0u);
    EXPECT_NE(log.find("\nqz::WS: xml ftp node empty=\nqz::WS: xml ftp node p=********\n"), std::string::npos);
    EXPECT_EQ(log.find("secret"), std::string::npos);
    EXPECT_NE(log.find("\nqz::Options: password=********\n"), std::string::npos);
    EXPECT_EQ(log.substr(log.find("qz::Options object has been initialized")),
              "qz::Options object has been initialized\nqz::WS order form name: Upload\n"
              "qz::WS order form type: job\nqz::WS job id: J-1\n");
    EXPECT_TRUE(qz::Logging::isEnabled(qz::Logging::EType::eSummary));
    EXPECT_TRUE(qz::Logging::isEnabled(qz::Logging::EType::eTransfers));
}

TEST_F(Job, DoNothing) {
    qz::WS ws;
    EXPECT_EQ(errorOf([&] { ws.doNothing(); }), "cannot call 'doNothing' from state \"unknown\"");
    EXPECT_TRUE(server.requests().empty());
    login(ws);
    server.reply({200, "yay\r\n", {}});
    ws.doNothing();
    auto seen = last();
    EXPECT_EQ(seen.method, "GET");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(seen.target, m, std::regex("/jsp/doNothing\\.jsp\\?rand=(0|[1-9][0-9]*)")));
    EXPECT_LE(std::stoi(m[1]), 254);
    EXPECT_EQ(ws.get_state(), qz::WS::eLoginDone);

    ws.state = qz::WS::eFinished;
    const auto before = server.requests().size();
    EXPECT_EQ(
        errorOf([&] { ws.doNothing(); }).rfind("cannot GET or POST to " + server.base() + "jsp/doNothing.jsp?rand=", 0),
        0u);
    EXPECT_EQ(server.requests().size(), before);
    EXPECT_EQ(ws.get_state(), qz::WS::eFinished);
}

TEST_F(Job, SummaryLogUpload) {
    struct Case {
        std::string type, name, field;
    };
    const Case cases[] = {
        {"job", "Upload", "&jobid=J%2042"},
        {"filearea", "my_file_area", "&filearea=my_file_area"},
        {"filearea", "Other area", "&group=Other%20area"},
        {"", "Any", "&group=Any"},
        {"JOB", "Any", "&group=Any"},
    };
    for (const auto& c : cases) {
        qz::WS ws;
        login(ws);
        ws.loginUsername = "alice smith";
        ws.orderFormType = c.type;
        ws.orderFormName = c.name;
        ws.jobId = "J 42";
        ws.state = qz::WS::eUploadDone;
        qz::SummaryLog::truncateLogFile();
        qz::SummaryLog::add("line one");
        server.reply({200, "yay\r\n", {}});
        qz::GlobalStateAndStats stats;
        stats.totalBytesTransferred = 12345;
        ws.uploadSummaryLog(stats);
        auto seen = last();
        EXPECT_EQ(seen.target, "/appletLogs.do?username=alice%20smith" + c.field);
        EXPECT_EQ(seen.body, "logs=" + url_encode("TotalFileAreaDataTransferredForThisSession : 12345\nline one\n"
                                                  "qz::WS: uploading summary log to ftp server\n"));
        EXPECT_EQ(ws.get_state(), qz::WS::eLogDone);
    }
}

TEST_F(Job, SummaryLogLargerThanOneEscapingCallIsSentWhole) {
    // Encoded, this log is larger than libcurl escapes in one call (24 MB).
    qz::WS ws;
    login(ws);
    ws.orderFormType = "job";
    ws.jobId = "7";
    ws.state = qz::WS::eUploadDone;
    qz::SummaryLog::truncateLogFile();
    const std::string line = "3:30 a/b c,d\n";
    const std::size_t lines = 1'000'000;
    {
        std::ofstream log(qz::SummaryLog::getLogFilename(), std::ios::binary | std::ios::app);
        for (std::size_t i = 0; i < lines; ++i) log << line;
    }
    server.reply({200, "yay\r\n", {}});
    ws.uploadSummaryLog({});
    std::string expected = "logs=" + url_encode("TotalFileAreaDataTransferredForThisSession : 0\n");
    const std::string encodedLine = url_encode(line);
    for (std::size_t i = 0; i < lines; ++i) expected += encodedLine;
    expected += url_encode("qz::WS: uploading summary log to ftp server\n");
    const std::string body = last().body;
    EXPECT_GT(body.size(), 24'000'000u);
    EXPECT_EQ(body.size(), expected.size());
    EXPECT_TRUE(body == expected);
    EXPECT_EQ(ws.get_state(), qz::WS::eLogDone);
}

TEST_F(Job, SummaryLogUploadRefusalsAndRetries) {
    qz::WS ws;
    login(ws);
    for (auto s : {qz::WS::eUploading, qz::WS::eLogDone}) {
        ws.state = s;
        EXPECT_EQ(errorOf([&] { ws.uploadSummaryLog({}); }),
                  "cannot upload summary log from state " + quoted(qz::to_string(s)));
    }
    ws.state = qz::WS::eUploadDone;
    std::filesystem::remove(qz::SummaryLog::getLogFilename());
    server.reply({500, "nay\r\n", {}});
    EXPECT_THROW(ws.uploadSummaryLog({}), qz::Exception);
    EXPECT_EQ(ws.get_state(), qz::WS::eUploadDone);
    server.reply({200, "yay\r\n", {}});
    ws.uploadSummaryLog({});
    EXPECT_EQ(last().body, "logs=" + url_encode("TotalFileAreaDataTransferredForThisSession : 0\n"
                                                "qz::WS: uploading summary log to ftp server\n"
                                                "qz::WS: uploading summary log to ftp server\n"));
}

qz::GlobalStateAndStats threeFiles() {
    qz::GlobalStateAndStats stats;
    const std::pair<unsigned long, std::pair<const char*, std::uint64_t>> files[] = {
        {7, {"r", 30}}, {2, {"p#,#x", 10}}, {5, {"q,y", 20}}};
    for (const auto& [n, f] : files) {
        qz::TransferStats s;
        s.remote = qz::Remote(f.first);
        s.fileSize = f.second;
        stats.fileMap[n] = s;
    }
    return stats;
}

TEST_F(Job, FinalizeReportsFilesSizesAndCredentials) {
    for (bool secure : {false, true}) {
        qz::WS ws;
        loginAndCreate(ws);
        ws.secure = secure;
        ws.state = qz::WS::eLogDone;
        server.reply({200, "<result><status success=\"true\"/></result>", {}});
        ws.finalizeJob(threeFiles());
        auto seen = last();
        EXPECT_EQ(seen.target, "/finalizePickupJob.do");
        Fields f = formFields(seen.body);
        std::vector<std::string> names;
        for (auto& [k, v] : f) names.push_back(k);
        std::vector<std::string> expected = {"k",     "f",           "s",       "c",        "totalSize",
                                             "jobid", "isCancelled", "markJob", "username", "pass"};
        if (secure) expected.push_back("tu");
        EXPECT_EQ(names, expected);
        const std::string& key = ws.encryptionKey;
        EXPECT_EQ(f[0].second, key);
        EXPECT_EQ(unscramble(f[1].second, key), "p#,#x#,#q,y#,#r");
        EXPECT_EQ(unscramble(f[2].second, key), "10,20,30");
        EXPECT_EQ(unscramble(f[3].second, key), "true");
        EXPECT_EQ(unscramble(f[4].second, key), "60");
        EXPECT_EQ(unscramble(f[5].second, key), "J-42");
        EXPECT_EQ(unscramble(f[6].second, key), "false");
        EXPECT_EQ(unscramble(f[7].second, key), "true");
        EXPECT_EQ(unscramble(f[8].second, key), "alice");
        EXPECT_EQ(f[9].second, ws.encrypt("pa ss"));
        if (secure) EXPECT_EQ(unscramble(f[10].second, key), "ftpuser");
        EXPECT_EQ(ws.get_state(), qz::WS::eFinalizeDone);
    }
}

TEST_F(Job, FinalizeWithNoFilesAndItsRefusals) {
    qz::WS ws;
    loginAndCreate(ws);
    ws.state = qz::WS::eUploadDone;
    qz::SummaryLog::truncateLogFile();
    EXPECT_EQ(errorOf([&] { ws.finalizeJob({}); }), "cannot finalize job from state \"upload done\"");
    EXPECT_EQ(readFile(qz::SummaryLog::getLogFilename()), "");

    ws.state = qz::WS::eLogDone;
    const std::string url = server.base() + "finalizePickupJob.do";
    // A plain refusal keeps the job open.
    server.reply({200, "nay\r\n", {}});
    EXPECT_EQ(errorOf([&] { ws.finalizeJob({}); }),
              "server response for " + url + " indicates the command failed to run");
    EXPECT_EQ(ws.get_state(), qz::WS::eLogDone);
    server.reply({200, "<result><status success=\"false\" comments=\"size mismatch\"/></result>", {}});
    EXPECT_THROW(ws.finalizeJob({}), qz::Exception);
    EXPECT_EQ(ws.get_state(), qz::WS::eLogDone);
    EXPECT_EQ(readFile(qz::SummaryLog::getLogFilename()), "qz::WS: finalizing job\nqz::WS: finalizing job\n");

    server.reply({200, "yay\r\n", {}});
    ws.finalizeJob({});
    Fields f = formFields(last().body);
    EXPECT_EQ(f[1], std::make_pair(std::string("f"), std::string()));
    EXPECT_EQ(f[2], std::make_pair(std::string("s"), std::string()));
    EXPECT_EQ(unscramble(f[4].second, ws.encryptionKey), "0");
    EXPECT_EQ(ws.get_state(), qz::WS::eFinalizeDone);
}

TEST_F(Job, QueueOperationsNeedAJob) {
    writeFile("a.txt", "a");
    qz::WS ws;
    login(ws);
    EXPECT_EQ(errorOf([&] { ws.queueSingleFile(path("a.txt")); }), "cannot queue a file from state \"login done\"");
    EXPECT_EQ(errorOf([&] { ws.queueRecursiveDirectory(dir()); }),
              "cannot queue a directory from state \"login done\"");
    EXPECT_EQ(errorOf([&] { ws.uploadQueuedFiles(nullptr, nullptr); }),
              "cannot upload files from state \"login done\"");
    server.reply({200, createAnswer(kFtp), {}});
    ws.createJob("Upload", {});
    // Handed on twice; the engine keeps one file for one remote name.
    ws.queueSingleFile(path("a.txt")).queueSingleFile(path("a.txt"));
    EXPECT_EQ(ws.get_state(), qz::WS::eFileQueue);
    EXPECT_EQ(ws.control.getFileMap().size(), 1u);
    EXPECT_THROW(ws.queueSingleFile(path("missing")), qz::Exception);
    EXPECT_EQ(ws.message, "");  // the engine's error passes through untouched
    for (int s = 4; s <= 8; ++s) {
        ws.state = static_cast<qz::WS::EState>(s);
        EXPECT_EQ(errorOf([&] { ws.queueSingleFile(path("a.txt")); }),
                  "cannot queue a file from state " + quoted(qz::to_string(ws.state)));
    }
}

TEST_F(Job, UploadRunReportsAConnectionFailureAndKeepsTheQueue) {
    writeFile("a.txt", "a");
    qz::WS ws;
    loginAndCreate(ws);  // the transfer server is 127.0.0.1 port 1: nothing listens there
    ws.queueSingleFile(path("a.txt"));
    try {
        ws.uploadQueuedFiles(nullptr, nullptr);
        FAIL() << "uploaded to a closed port";
    } catch (const qz::Exception& e) {
        EXPECT_EQ(ws.message, std::string("failed to establish a connection to the ftp server: ") + e.what());
        EXPECT_EQ(e.operation(), "connect");
        EXPECT_EQ(e.diagnostics.at("WS state name (current)"), "file queue");
        EXPECT_EQ(e.diagnostics.at("WS message"), ws.message);
    }
    EXPECT_EQ(ws.get_state(), qz::WS::eFileQueue);
    EXPECT_EQ(ws.control.getFileMap().size(), 1u);
}

TEST_F(Job, UploadRunRefusesAPortThatIsNotOne) {
    // Each text would reach the live server's port once cut to 16 bits or
    // read by strtol; none may get a byte to it.
    qztest::FtpServer ftp(path("served"));
    const std::string live = std::to_string(ftp.port());
    writeFile("a.txt", "a");
    const std::string texts[] = {std::to_string(ftp.port() + 65536), live + "abc",
                                 "-" + std::to_string(65536 - ftp.port()), "0", "+" + live};
    for (const auto& text : texts) {
        SCOPED_TRACE(text);
        qz::WS ws;
        loginAndCreate(ws, "Upload",
                       createAnswer("path=\"/\" u=\"" + ftp.user() + "\" p=\"" + ftp.password() +
                                    "\" s=\"127.0.0.1\" p1=\"" + text + "\""));
        ws.queueSingleFile(path("a.txt"));
        try {
            ws.uploadQueuedFiles(nullptr, nullptr);
            ADD_FAILURE() << "uploaded";
        } catch (const qz::Exception& e) {
            EXPECT_EQ(std::string(e.what()), "cannot connect: the server port (\"p1\") \"" + text +
                                                 "\" is not a number from 1 to 65535; nothing was sent");
            EXPECT_EQ(ws.message, std::string("failed to establish a connection to the ftp server: ") + e.what());
        }
        EXPECT_EQ(ws.get_state(), qz::WS::eFileQueue);
    }
    // Its own check that it accepts may show as a connection, never as a command.
    for (const auto& line : ftp.commands()) EXPECT_NE(line.rfind("command ", 0), 0u) << line;
}

}  // namespace
