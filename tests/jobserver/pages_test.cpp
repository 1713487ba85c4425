// The job server's pages as a client sees them over HTTP: the server runs
// in-process on a loopback port, requests are built the way the client
// library builds them (scrambled, URL-escaped form fields).

#include <httplib.h>
#include <libxml/parser.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "config.hpp"
#include "job_server.hpp"
#include "qz/scrambling.hpp"
#include "qz/strings.hpp"
#include "qz/xml.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kKey = "31415926535897932384626433832795";

std::string scrambled(const std::string& value) { return url_encode(qz::scramble(value, kKey, qz::EShift::eForward)); }

// Attributes of the first element of that name, read the way the client reads them.
std::map<std::string, std::string> element(const std::string& xml, const std::string& name) {
    xmlDoc* doc = xmlParseDoc(reinterpret_cast<const xmlChar*>(xml.c_str()));
    auto attributes = qz::findAnyNodeAndGetAttribs(doc, name);
    xmlFreeDoc(doc);
    return attributes;
}

bool succeeded(const std::string& xml) { return element(xml, "status")["success"] == "true"; }
std::string comments(const std::string& xml) { return element(xml, "status")["comments"]; }

json defaultConfig(const std::string& root) {
    json config = json::parse(R"({
      "users": [{"name": "alice", "password": "wonderland"}, {"name": "bob", "password": "two words"}],
      "orderForms": [{"name": "my_file_area", "type": "filearea"},
                     {"name": "Sequencing run", "type": "job"},
                     {"name": "lab", "type": "group"},
                     {"name": "lab & field data", "type": "group"}],
      "transferServer": {"host": "127.0.0.1", "port": 2121, "user": "ftpuser", "password": "ftp&pass",
                         "path": "/incoming", "attributes": {"useSSL": true, "bandwidth": 1000}},
      "maxBodyBytes": 65536,
      "adminToken": "s3cret token"
    })");
    config["transferServer"]["localRoot"] = root;
    return config;
}

class JobServerPages : public qztest::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        root_ = path("ftp-root");
        fs::create_directories(root_);
        startServer(defaultConfig(root_));
    }

    void TearDown() override {
        stopServer();
        TempDirTest::TearDown();
    }

    void startServer(const json& config) {
        jobs_ = std::make_unique<jobserver::JobServer>(jobserver::parseConfig(config.dump()));
        http_ = std::make_unique<httplib::Server>();
        jobs_->install(*http_);
        port_ = http_->bind_to_any_port("127.0.0.1");
        ASSERT_GT(port_, 0);
        thread_ = std::thread([this] { http_->listen_after_bind(); });
        // A stop before the server runs would be ignored.
        while (!http_->is_running()) std::this_thread::yield();
    }

    void stopServer() {
        if (!http_) return;
        http_->stop();
        thread_.join();
        http_.reset();
        jobs_.reset();
        cookie_.clear();
    }

    httplib::Headers headers() const {
        if (cookie_.empty()) return {};
        return {{"Cookie", cookie_}};
    }

    httplib::Result post(const std::string& target, const std::string& body) {
        httplib::Client client("127.0.0.1", port_);
        return client.Post(target.c_str(), headers(), body, "application/x-www-form-urlencoded");
    }

    httplib::Result get(const std::string& target, httplib::Headers extra = {}) {
        httplib::Client client("127.0.0.1", port_);
        extra.merge(headers());
        return client.Get(target.c_str(), extra);
    }

    // Logs in and keeps the session cookie for the following requests.
    std::string login(const std::string& user = "alice", const std::string& password = "wonderland") {
        auto res = post("/getPickupSettings.do", "k=" + kKey + "&u=" + scrambled(user) + "&p=" + scrambled(password));
        EXPECT_TRUE(res);
        if (!res) return "";
        const std::string cookie = res->get_header_value("Set-Cookie");
        if (!cookie.empty()) cookie_ = cookie.substr(0, cookie.find(';'));
        return res->body;
    }

    std::string createBody(const std::string& form, const std::string& type,
                           const std::map<std::string, std::string>& fields = {}) {
        std::string body = "k=" + kKey + "&qzof=" + form + "&qzoftype=" + type;
        for (const auto& [key, value] : fields) body += "&" + key + "=" + scrambled(value);
        return body;
    }

    // Creates a job and returns its id ("" when refused).
    std::string createJob(const std::string& form, const std::string& type,
                          const std::map<std::string, std::string>& fields = {}) {
        auto res = post("/createPickupJob.do", createBody(form, type, fields));
        EXPECT_TRUE(res);
        return res ? element(res->body, "job")["id"] : "";
    }

    struct Finalize {
        std::string names, sizes, total, jobId;
        std::string user = "alice", password = "wonderland";
    };

    std::string finalizeBody(const Finalize& f) {
        return "k=" + kKey + "&f=" + scrambled(f.names) + "&s=" + scrambled(f.sizes) + "&c=" + scrambled("true") +
               "&totalSize=" + scrambled(f.total) + "&jobid=" + scrambled(f.jobId) +
               "&isCancelled=" + scrambled("false") + "&markJob=" + scrambled("true") +
               "&username=" + scrambled(f.user) + "&pass=" + scrambled(f.password);
    }

    json adminJobs() {
        auto res = get("/admin/jobs", {{"Authorization", "Bearer s3cret token"}});
        EXPECT_TRUE(res);
        EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
        return json::parse(res->body)["jobs"];
    }

    void writeRootFile(const std::string& name, std::size_t size) {
        const fs::path p = fs::path(root_) / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << std::string(size, 'x');
    }

    std::string root_;
    std::unique_ptr<jobserver::JobServer> jobs_;
    std::unique_ptr<httplib::Server> http_;
    std::thread thread_;
    int port_ = 0;
    std::string cookie_;
};

// ---- login ----------------------------------------------------------------

TEST_F(JobServerPages, LoginChecksCredentials) {
    struct Case {
        std::string user, password;
        bool accepted;
    };
    const Case cases[] = {
        {"alice", "wonderland", true}, {"bob", "two words", true},     {"alice", "Wonderland", false},
        {"alice", "wonderlan", false}, {"carol", "wonderland", false}, {"bob", "wonderland", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user + "/" + c.password);
        cookie_.clear();
        auto res = post("/getPickupSettings.do",
                        "k=" + kKey + "&u=" + scrambled(c.user) + "&p=" + scrambled(c.password));
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200);
        EXPECT_EQ(res->body.rfind("<?xml", 0), 0u);
        EXPECT_EQ(succeeded(res->body), c.accepted);
        EXPECT_EQ(res->has_header("Set-Cookie"), c.accepted);
        EXPECT_EQ(comments(res->body), c.accepted ? "" : "invalid credentials");
    }
}

TEST_F(JobServerPages, LoginSetsSessionCookieAndListsOrderForms) {
    auto res = post("/getPickupSettings.do",
                    "k=" + kKey + "&u=" + scrambled("alice") + "&p=" + scrambled("wonderland"));
    ASSERT_TRUE(res);
    const std::string cookie = res->get_header_value("Set-Cookie");
    EXPECT_EQ(cookie.rfind(std::string(jobserver::kSessionCookie) + "=", 0), 0u);
    EXPECT_NE(cookie.find("; Path=/"), std::string::npos);
    EXPECT_NE(cookie.find("; HttpOnly"), std::string::npos);

    xmlDoc* doc = xmlParseDoc(reinterpret_cast<const xmlChar*>(res->body.c_str()));
    ASSERT_NE(doc, nullptr);
    std::vector<std::pair<std::string, std::string>> forms;
    for (xmlNode* node : qz::findAllSiblingsWithName(doc, "orderform")) {
        auto attributes = qz::getNodeAttributes(node);
        forms.emplace_back(attributes["name"], attributes["type"]);
    }
    xmlFreeDoc(doc);
    const std::vector<std::pair<std::string, std::string>> expected{
        {"my_file_area", "filearea"}, {"Sequencing run", "job"}, {"lab", "group"}, {"lab & field data", "group"}};
    EXPECT_EQ(forms, expected);
}

TEST_F(JobServerPages, MalformedRequestsGetHttp400WithTheReason) {
    struct Case {
        std::string target, body, reason;
    };
    const Case cases[] = {
        {"/getPickupSettings.do", "u=a&p=b", "missing field \"k\""},
        {"/getPickupSettings.do", "k=12a4&u=a&p=b", "field \"k\" is not a key of decimal digits"},
        {"/getPickupSettings.do", "k=&u=a&p=b", "field \"k\" is not a key of decimal digits"},
        {"/getPickupSettings.do", "k=1234&p=b", "missing field \"u\""},
        {"/getPickupSettings.do", "k=1234&u=a", "missing field \"p\""},
        {"/getPickupSettings.do", "k=1234&u=%zz&p=b", "field \"u\" is not form-encoded"},
        {"/getPickupSettings.do", "k=1234&u=a&p=%4", "field \"p\" is not form-encoded"},
        {"/finalizePickupJob.do", "k=1234&f=a", "missing field \"s\""},
        {"/finalizePickupJob.do", "garbage", "missing field \"k\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        auto res = post(c.target, c.body);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400);
        EXPECT_FALSE(succeeded(res->body));
        EXPECT_EQ(comments(res->body), c.reason);
    }
}

// ---- sessions -------------------------------------------------------------

TEST_F(JobServerPages, SessionIsRequired) {
    struct Case {
        std::string cookie, comments;
    };
    const Case cases[] = {
        {"", "no session: log in first"},
        {std::string(jobserver::kSessionCookie) + "=0123456789abcdef", "unknown session: log in again"},
    };
    for (const auto& c : cases) {
        cookie_ = c.cookie;
        SCOPED_TRACE(c.cookie);
        const std::vector<httplib::Result> answers = [&] {
            std::vector<httplib::Result> out;
            out.push_back(post("/createPickupJob.do", createBody("my_file_area", "filearea")));
            out.push_back(get("/jsp/doNothing.jsp?rand=7"));
            out.push_back(post("/appletLogs.do?username=alice&jobid=1", "logs=x"));
            return out;
        }();
        for (const auto& res : answers) {
            ASSERT_TRUE(res);
            EXPECT_EQ(res->status, 200);
            EXPECT_FALSE(succeeded(res->body));
            EXPECT_EQ(comments(res->body), c.comments);
        }
    }
    EXPECT_TRUE(adminJobs().empty());
}

TEST_F(JobServerPages, KeepAliveAnswersYayWithASession) {
    login();
    auto res = get("/jsp/doNothing.jsp?rand=166");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "yay\r\n");
}

// ---- job creation ---------------------------------------------------------

TEST_F(JobServerPages, CreationChecksTheOrderForm) {
    login();
    struct Case {
        std::string form, type;
        std::string acceptedAs;  // the order form stored, "" when refused
        std::string comments;
    };
    const Case cases[] = {
        {"my_file_area", "filearea", "my_file_area", ""},
        {"lab & field data", "group", "lab & field data", ""},
        {"lab", "group", "lab", ""},
        {"my_file_area", "job", "", "order form \"my_file_area\" has the type \"filearea\", not \"job\""},
        {"nonexistent", "job", "", "unknown order form \"nonexistent\""},
        {"My_file_area", "filearea", "", "unknown order form \"My_file_area\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.form + "/" + c.type);
        auto res = post("/createPickupJob.do", createBody(c.form, c.type, {{"note", "x"}}));
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200);
        EXPECT_EQ(succeeded(res->body), !c.acceptedAs.empty());
        EXPECT_EQ(comments(res->body), c.comments);
        if (!c.acceptedAs.empty()) {
            const json job = adminJobs().back();
            EXPECT_EQ(job["orderForm"]["name"], c.acceptedAs);
            EXPECT_EQ(job["fields"], json({{"note", "x"}}));
        }
    }
}

TEST_F(JobServerPages, CreationDecodesFieldsAndHandsOutTheTransferServer) {
    login();
    const std::map<std::string, std::string> fields{
        {"sample", "S-42"}, {"comment", "a=b&c%d+e"}, {"empty", ""}, {"name with blank", "x"}};
    auto res = post("/createPickupJob.do", createBody("Sequencing run", "job", fields));
    ASSERT_TRUE(res);
    ASSERT_TRUE(succeeded(res->body)) << res->body;
    const std::string id = element(res->body, "job")["id"];
    EXPECT_FALSE(id.empty());
    EXPECT_EQ(element(res->body, "securityTag")["isSecure"], "false");
    const std::map<std::string, std::string> ftp{{"path", "/incoming"}, {"u", "ftpuser"}, {"p", "ftp&pass"},
                                                 {"s", "127.0.0.1"},    {"p1", "2121"},   {"useSSL", "true"},
                                                 {"bandwidth", "1000"}};
    EXPECT_EQ(element(res->body, "ftp"), ftp);

    const json job = adminJobs().at(0);
    EXPECT_EQ(job["id"], id);
    EXPECT_EQ(job["user"], "alice");
    EXPECT_EQ(job["orderForm"], json({{"name", "Sequencing run"}, {"type", "job"}}));
    EXPECT_EQ(job["fields"], json(fields));
    EXPECT_EQ(job["state"], "created");
    EXPECT_EQ(job["finalization"], nullptr);

    EXPECT_NE(createJob("Sequencing run", "job"), id) << "every job gets a fresh id";
}

TEST_F(JobServerPages, FieldKeysAreDecodedLikeValues) {
    login();
    const std::string body = createBody("lab", "group") + "&a%26b%3Dc=" + scrambled("1") +
                             "&50%25+tax=" + scrambled("2") + "&tab%09key=" + scrambled("3") +
                             "&plain=" + scrambled("4");
    auto res = post("/createPickupJob.do", body);
    ASSERT_TRUE(res);
    ASSERT_TRUE(succeeded(res->body)) << res->body;
    EXPECT_EQ(adminJobs().at(0)["fields"], json({{"a&b=c", "1"}, {"50% tax", "2"}, {"tab\tkey", "3"}, {"plain", "4"}}));

    auto bad = post("/createPickupJob.do", createBody("lab", "group") + "&bad%zz=" + scrambled("1"));
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 400);
    EXPECT_EQ(comments(bad->body), "field \"bad%zz\" is not form-encoded");
}

TEST_F(JobServerPages, AdminPageNeedsItsTokenAndShowsNoPassword) {
    login();
    const std::string id = createJob("Sequencing run", "job");
    auto logged = post("/appletLogs.do?username=alice&jobid=" + id,
                       "logs=" + url_encode("password=wonderland p=\"ftp&pass\" tail\n"));
    ASSERT_TRUE(logged);
    ASSERT_TRUE(succeeded(logged->body)) << logged->body;

    struct Case {
        httplib::Headers headers;
        int status;
    };
    const Case cases[] = {
        {{}, 401},
        {{{"Authorization", "Bearer wrong"}}, 401},
        {{{"Authorization", "Bearer s3cret toke"}}, 401},
        {{{"Authorization", "s3cret token"}}, 401},
        {{{"Authorization", "Bearer s3cret token"}}, 200},
    };
    for (const auto& c : cases) {
        auto res = get("/admin/jobs", c.headers);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, c.status);
        EXPECT_EQ(res->body.find("wonderland"), std::string::npos);
        EXPECT_EQ(res->body.find("ftp&pass"), std::string::npos);
        if (c.status == 401) EXPECT_EQ(res->get_header_value("WWW-Authenticate"), "Bearer");
    }
    const json job = adminJobs().at(0);
    EXPECT_EQ(job["log"], "password=******** p=\"********\" tail\n");

    stopServer();
    json config = defaultConfig(root_);
    config.erase("adminToken");
    startServer(config);
    auto res = get("/admin/jobs", {{"Authorization", "Bearer s3cret token"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
}

TEST_F(JobServerPages, FieldsTheShiftCannotCarryAreKeptAsReceived) {
    login();
    createJob("Sequencing run", "job", {{"project", "north & south"}, {"operator", "Zo\xc3\xab"}});
    const json job = adminJobs().at(0);
    EXPECT_EQ(job["creationKey"], kKey);
    for (const std::string value : {"north & south", "Zo\xc3\xab"}) {
        const std::string name = value[0] == 'n' ? "project" : "operator";
        EXPECT_NE(job["fields"][name], value);
        EXPECT_EQ(job["scrambledFields"][name], qz::scramble(value, kKey, qz::EShift::eForward));
    }
}

TEST_F(JobServerPages, SecureJobsAreTaggedAndNeedTheTransferUser) {
    stopServer();
    json config = defaultConfig(root_);
    config["transferServer"]["secureJobs"] = true;
    startServer(config);
    login();
    auto res = post("/createPickupJob.do", createBody("my_file_area", "filearea"));
    ASSERT_TRUE(res);
    EXPECT_EQ(element(res->body, "securityTag")["isSecure"], "true");
    const std::string id = element(res->body, "job")["id"];

    Finalize f{"", "", "0", id};
    auto refused = post("/finalizePickupJob.do", finalizeBody(f));
    ASSERT_TRUE(refused);
    EXPECT_EQ(comments(refused->body), "transfer user \"\" is not the job's transfer user");
    auto accepted = post("/finalizePickupJob.do", finalizeBody(f) + "&tu=" + scrambled("ftpuser"));
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(succeeded(accepted->body)) << accepted->body;
    EXPECT_EQ(adminJobs().at(0)["finalization"]["transferUser"], "ftpuser");
}

// ---- summary log ----------------------------------------------------------

TEST_F(JobServerPages, SummaryLogGoesToTheNamedOrMostRecentJob) {
    login();
    const std::string fileArea1 = createJob("my_file_area", "filearea");
    const std::string run = createJob("Sequencing run", "job");
    const std::string fileArea2 = createJob("my_file_area", "filearea");
    const std::string group = createJob("lab & field data", "group");
    struct Case {
        std::string query, jobId;
    };
    const Case cases[] = {
        {"&jobid=" + run, run},
        {"&filearea=my_file_area", fileArea2},
        {"&group=" + url_encode("lab & field data"), group},
    };
    const std::string text = "TotalFileAreaDataTransferredForThisSession : 30\nline & more\r\n\x01\xff";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        auto res = post("/appletLogs.do?username=alice" + c.query, "logs=" + url_encode(text + c.jobId));
        ASSERT_TRUE(res);
        EXPECT_TRUE(succeeded(res->body)) << res->body;
    }
    for (const json& job : adminJobs()) {
        SCOPED_TRACE(job.dump());
        const std::string id = job["id"];
        const bool logged = id == run || id == fileArea2 || id == group;
        EXPECT_EQ(job["state"], logged ? "log received" : "created");
        EXPECT_EQ(job["logLength"], logged ? text.size() + id.size() : 0u);
    }
    const auto stored = jobs_->store().find(run);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->logText, text + run);
    EXPECT_FALSE(jobs_->store().find(fileArea1)->logUploads);
}

TEST_F(JobServerPages, SummaryLogRefusals) {
    login();
    const std::string run = createJob("Sequencing run", "job");
    struct Case {
        std::string target, body, comments;
        int status;
    };
    const Case cases[] = {
        {"/appletLogs.do?username=bob&jobid=" + run, "logs=x", "user \"bob\" is not the user of this session", 200},
        {"/appletLogs.do?username=alice&jobid=999", "logs=x", "no job \"999\" for user \"alice\"", 200},
        {"/appletLogs.do?username=alice&group=lab", "logs=x", "user \"alice\" has no job of the order form \"lab\"",
         200},
        {"/appletLogs.do?username=alice", "logs=x", "missing field \"jobid\", \"filearea\" or \"group\"", 400},
        {"/appletLogs.do?jobid=" + run, "logs=x", "missing field \"username\"", 400},
        {"/appletLogs.do?username=alice&jobid=" + run, "log=x", "missing field \"logs\"", 400},
        {"/appletLogs.do?username=alice&jobid=" + run, "logs=%g0", "field \"logs\" is not form-encoded", 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target + " " + c.body);
        auto res = post(c.target, c.body);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, c.status);
        EXPECT_EQ(comments(res->body), c.comments);
    }
    EXPECT_EQ(adminJobs().at(0)["state"], "created");
}

// ---- finalization ---------------------------------------------------------

TEST_F(JobServerPages, FinalizationMatchesTheFilesOnTheTransferServer) {
    writeRootFile("a.txt", 10);
    writeRootFile("run 1/b \"quoted\".bin", 20);
    writeRootFile("run 1/c.bin", 5);
    fs::create_directories(path("outside"));
    std::ofstream(path("outside/secret")) << "12345";
    fs::create_symlink(path("outside/secret"), fs::path(root_) / "link");
    login();
    struct Case {
        std::string names, sizes, total;
        std::string comments;  // "" when the files match
    };
    const Case cases[] = {
        {"a.txt", "10", "10", ""},
        {"a.txt#,#./run 1/b \"quoted\".bin#,#/run 1/c.bin", "10,20,5", "35", ""},
        {"", "", "0", ""},
        {"missing.txt", "3", "3", "file \"missing.txt\" is missing on the transfer server"},
        {"a.txt", "11", "11", "file \"a.txt\" has 10 bytes on the transfer server, reported 11"},
        {"a.txt#,#run 1/c.bin", "10,5", "16", "total size 16 does not match the sum of the file sizes 15"},
        {"../outside/secret", "5", "5", "file name \"../outside/secret\" leaves the transfer server's root"},
        {"run 1/../../outside/secret", "5", "5",
         "file name \"run 1/../../outside/secret\" leaves the transfer server's root"},
        {"link", "5", "5", "file name \"link\" leaves the transfer server's root"},
        {"run 1", "0", "0", "file \"run 1\" is not a file on the transfer server"},
        {"a.txt#,#run 1/c.bin", "10", "10", "2 file names but 1 sizes"},
        {"a.txt", "ten", "10", "size \"ten\" is not a number"},
        {"a.txt", "10", "-10", "total size \"-10\" is not a number"},
        {"missing.txt#,#a.txt", "1,12", "13",
         "file \"missing.txt\" is missing on the transfer server; "
         "file \"a.txt\" has 10 bytes on the transfer server, reported 12"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.names + " / " + c.sizes + " / " + c.total);
        const std::string id = createJob("Sequencing run", "job");
        auto res = post("/finalizePickupJob.do", finalizeBody({c.names, c.sizes, c.total, id}));
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200);
        EXPECT_EQ(succeeded(res->body), c.comments.empty());
        EXPECT_EQ(comments(res->body), c.comments);
        const auto job = jobs_->store().find(id);
        ASSERT_TRUE(job && job->finalization);
        EXPECT_EQ(job->state,
                  c.comments.empty() ? jobserver::EJobState::eFinalized : jobserver::EJobState::eFinalizeFailed);
        EXPECT_EQ(job->finalization->comments, c.comments);
    }
}

TEST_F(JobServerPages, FinalizationRecordsWhatWasReported) {
    writeRootFile("run 1/b c.bin", 20);
    writeRootFile("a.txt", 10);
    login();
    const std::string id = createJob("Sequencing run", "job", {{"sample", "S-1"}});
    auto res = post("/finalizePickupJob.do", finalizeBody({"./run 1/b c.bin#,#a.txt", "20,10", "30", id}));
    ASSERT_TRUE(res);
    ASSERT_TRUE(succeeded(res->body)) << res->body;

    const json job = adminJobs().at(0);
    EXPECT_EQ(job["state"], "finalized");
    // The blank cannot survive the scrambling; the name is found on disk.
    EXPECT_EQ(job["files"], json::parse(R"([{"name": "run 1/b c.bin", "size": 20}, {"name": "a.txt", "size": 10}])"));
    EXPECT_EQ(job["totalSize"], 30);
    EXPECT_EQ(job["finalization"],
              json::parse(R"({"success": true, "comments": "", "complete": "true", "cancelled": "false",
                              "markJob": "true", "transferUser": ""})"));
    EXPECT_EQ(job["fields"], json({{"sample", "S-1"}}));
}

TEST_F(JobServerPages, FinalizationRefusals) {
    writeRootFile("a.txt", 10);
    login();
    const std::string id = createJob("Sequencing run", "job");
    struct Case {
        Finalize request;
        std::string comments;
    };
    const Case cases[] = {
        {{"a.txt", "10", "10", id, "alice", "wrong"}, "invalid credentials"},
        {{"a.txt", "10", "10", "424242"}, "no job \"424242\" for user \"alice\""},
        {{"a.txt", "10", "10", id, "bob", "two words"}, "no job \"" + id + "\" for user \"bob\""},
        {{"a.txt", "9", "9", id}, "file \"a.txt\" has 10 bytes on the transfer server, reported 9"},
        {{"a.txt", "10", "10", id}, ""},
        {{"a.txt", "10", "10", id}, "job \"" + id + "\" is already finalized"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.comments);
        auto res = post("/finalizePickupJob.do", finalizeBody(c.request));
        ASSERT_TRUE(res);
        EXPECT_EQ(succeeded(res->body), c.comments.empty());
        EXPECT_EQ(comments(res->body), c.comments);
    }
    EXPECT_EQ(adminJobs().at(0)["state"], "finalized");
}

TEST_F(JobServerPages, WithoutLocalRootOnlyTheListsAreChecked) {
    stopServer();
    json config = defaultConfig(root_);
    config["transferServer"].erase("localRoot");
    startServer(config);
    login();
    const std::string id = createJob("Sequencing run", "job");
    auto res = post("/finalizePickupJob.do", finalizeBody({"nowhere.txt#,#x", "1,2", "3", id}));
    ASSERT_TRUE(res);
    EXPECT_TRUE(succeeded(res->body)) << res->body;
}

// ---- robustness -----------------------------------------------------------

TEST_F(JobServerPages, UnknownPagesAndHugeBodies) {
    auto notFound = get("/nothing/here.do");
    ASSERT_TRUE(notFound);
    EXPECT_EQ(notFound->status, 404);
    EXPECT_EQ(comments(notFound->body), "no such page: GET /nothing/here.do");

    auto wrongMethod = get("/getPickupSettings.do");
    ASSERT_TRUE(wrongMethod);
    EXPECT_EQ(wrongMethod->status, 404);

    auto huge = post("/appletLogs.do?username=alice&jobid=1", "logs=" + std::string(70000, 'a'));
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->status, 413);
    EXPECT_EQ(comments(huge->body), "request body too large");

    login();
    auto truncated = post("/createPickupJob.do", "k=" + kKey);
    ASSERT_TRUE(truncated);
    EXPECT_EQ(truncated->status, 400);
    EXPECT_EQ(comments(truncated->body), "missing field \"qzof\" after the key");
    auto noType = post("/createPickupJob.do", "k=" + kKey + "&qzof=lab");
    ASSERT_TRUE(noType);
    EXPECT_EQ(comments(noType->body), "missing field \"qzoftype\"");
    auto badValue = post("/createPickupJob.do", createBody("lab", "group") + "&x=%");
    ASSERT_TRUE(badValue);
    EXPECT_EQ(comments(badValue->body), "field \"x\" is not form-encoded");
    EXPECT_TRUE(adminJobs().empty());
}

}  // namespace
