// The job's whole conversation with the reference job server, and HTTPS with
// a certificate made for the test.
#include <curlpp/Exception.hpp>

#include "qz/scrambling.hpp"
#include "qz/ws.hpp"
#include "support/certificates.hpp"
#include "support/jobserver.hpp"
#include "support/temp_dir.hpp"

namespace {

class Road : public qztest::TempDirTest {
protected:
    static void SetUpTestSuite() { qz::WS::initialize_third_party_libs(); }

    // The job server checks finalized files in the folder that the transfer
    // server would have written; here the test writes them itself.
    nlohmann::json configWithRoot() {
        auto config = qztest::JobServer::defaultConfig();
        std::filesystem::create_directories(path("root"));
        config["transferServer"]["localRoot"] = path("root");
        return config;
    }

    static qz::GlobalStateAndStats statsOf(const std::vector<std::pair<std::string, std::uint64_t>>& files) {
        qz::GlobalStateAndStats stats;
        unsigned long n = 1;
        for (const auto& [name, size] : files) {
            qz::TransferStats s;
            s.remote = qz::Remote(name);
            s.fileSize = size;
            stats.fileMap[n++] = s;
            stats.totalBytesTransferred += size;
        }
        return stats;
    }
};

TEST_F(Road, LoginToFinalizationAgainstTheReferenceServer) {
    qztest::JobServer server(configWithRoot(), dir());
    writeFile("root/run 1/reads.bin", std::string(1000, 'r'));
    writeFile("root/grüße.txt", "hallo");

    qz::WS ws;
    ws.login(server.baseUrl(), "alice", "wonderland");
    ASSERT_EQ(ws.get_state(), qz::WS::eLoginDone);
    // Keys that hold the form's own separators arrive as the host gave them.
    const std::map<std::string, std::string> fields{
        {"project", "north&south_1"}, {"operator", "Zoë Ab"}, {"a&b=c", "1"}, {"50% + tax", "2"}, {"tab\tkey", "3"}};
    ws.createJob("Sequencing run", fields);
    ASSERT_EQ(ws.get_state(), qz::WS::eJobCreated);
    EXPECT_FALSE(ws.jobId.empty());
    EXPECT_EQ(ws.orderFormType, "job");
    ws.doNothing();

    // The upload itself is the engine's; here the client is put where it leaves it.
    qz::SummaryLog::truncateLogFile();
    qz::SummaryLog::add("qz::WS: test transfer");
    qz::SummaryLog::add(std::string(100000, 'x'));  // far beyond a small form body
    ws.state = qz::WS::eUploadDone;
    auto stats = statsOf({{"run 1/reads.bin", 1000}, {"grüße.txt", 5}});
    ws.uploadSummaryLog(stats);
    ws.finalizeJob(stats);
    EXPECT_EQ(ws.get_state(), qz::WS::eFinalizeDone);

    auto jobs = server.adminJobs()["jobs"];
    ASSERT_EQ(jobs.size(), 1u);
    const auto& job = jobs[0];
    EXPECT_EQ(job["id"], ws.jobId);
    EXPECT_EQ(job["user"], "alice");
    EXPECT_EQ(job["orderForm"]["name"], "Sequencing run");
    EXPECT_EQ(job["fields"]["project"], "north&south_1");
    for (const char* key : {"a&b=c", "50% + tax", "tab\tkey"}) EXPECT_EQ(job["fields"][key], fields.at(key)) << key;
    // Blanks and bytes beyond ASCII do not survive the scrambling; what was
    // sent is still exactly the scrambled text.
    EXPECT_EQ(job["scrambledFields"]["operator"],
              qz::scramble("Zoë Ab", job["creationKey"].get<std::string>(), qz::EShift::eForward));
    EXPECT_EQ(job["state"], "finalized");
    EXPECT_EQ(job["totalSize"], 1005);
    ASSERT_EQ(job["files"].size(), 2u);
    EXPECT_EQ(job["files"][0]["name"], "run 1/reads.bin");
    EXPECT_EQ(job["files"][0]["size"], 1000);
    EXPECT_EQ(job["files"][1]["name"], "grüße.txt");
    EXPECT_TRUE(job["finalization"]["success"].get<bool>());
    const std::string log = job["log"];
    EXPECT_EQ(log.rfind("TotalFileAreaDataTransferredForThisSession : 1005\n", 0), 0u);
    EXPECT_NE(log.find("qz::WS: test transfer\n"), std::string::npos);
    EXPECT_GT(job["logLength"].get<std::size_t>(), 100000u);
}

TEST_F(Road, TheServerRefusesWhatDidNotArrive) {
    qztest::JobServer server(configWithRoot(), dir());
    writeFile("root/a.txt", "aaa");
    struct Case {
        std::vector<std::pair<std::string, std::uint64_t>> files;
    };
    const Case cases[] = {{{{"a.txt", 4}}}, {{{"missing.txt", 1}}}, {{{"../escape.txt", 1}}}};
    for (const auto& c : cases) {
        qz::WS ws;
        ws.login(server.baseUrl(), "alice", "wonderland");
        ws.createJob("Sequencing run", {});
        ws.state = qz::WS::eUploadDone;
        auto stats = statsOf(c.files);
        ws.uploadSummaryLog(stats);
        EXPECT_THROW(ws.finalizeJob(stats), qz::Exception);
        EXPECT_EQ(ws.get_state(), qz::WS::eLogDone);
        EXPECT_NE(ws.message.find("indicates the command failed to run (\""), std::string::npos) << ws.message;
    }
}

TEST_F(Road, WrongCredentialsAndUnknownForms) {
    qztest::JobServer server(configWithRoot(), dir());
    qz::WS ws;
    EXPECT_THROW(ws.login(server.baseUrl(), "alice", "wrong"), qz::Exception);
    EXPECT_EQ(ws.get_state(), qz::WS::eUnknown);
    EXPECT_NE(ws.message.find("(\""), std::string::npos) << ws.message;
    ws.login(server.baseUrl(), "bob", "builder");
    EXPECT_THROW(ws.createJob("No such form", {}), qz::Exception);
    EXPECT_EQ(ws.message, "XML does not contain an order form called \"No such form\"");
    // Order forms of other types pick their log field by type.
    ws.createJob("my_file_area", {});
    ws.state = qz::WS::eUploadDone;
    ws.uploadSummaryLog({});
    EXPECT_EQ(ws.recentUrl, server.baseUrl() + "appletLogs.do?username=bob&filearea=my_file_area");
}

TEST_F(Road, HttpsIsVerifiedByDefault) {
    auto certs = qztest::makeCertificates(dir());
    qztest::JobServer server(configWithRoot(), dir(), qztest::JobServerTls{certs.certFile, certs.keyFile});
    ASSERT_EQ(server.baseUrl().rfind("https://", 0), 0u);

    qz::WS strict;
    EXPECT_THROW(strict.login(server.baseUrl(), "alice", "wonderland"), curlpp::RuntimeError);
    EXPECT_EQ(strict.get_state(), qz::WS::eUnknown);
    EXPECT_EQ(strict.httpResponseCode, -1);

    qz::WS relaxed;
    relaxed.setX({{"sslverifypeer", "0"}, {"sslverifyhost", "0"}});
    relaxed.login(server.baseUrl(), "alice", "wonderland");
    EXPECT_EQ(relaxed.get_state(), qz::WS::eLoginDone);
    relaxed.doNothing();

    // A value that is no number does not switch the check off.
    qz::WS mistaken;
    mistaken.setX({{"sslverifypeer", "off"}, {"sslverifyhost", "no"}});
    EXPECT_THROW(mistaken.login(server.baseUrl(), "alice", "wonderland"), curlpp::RuntimeError);
}

}  // namespace
