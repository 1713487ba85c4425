#pragma once
// A job server and the transfer server it hands out, both real and on
// loopback, for tests of whole jobs.
//
//   class MyTest : public qztest::WithServers {};
//   TEST_F(MyTest, X) { startServers(); ws.login(jobs->baseUrl(), "alice", "wonderland"); ... }

#include <memory>
#include <optional>

#include "support/certificates.hpp"
#include "support/ftp_server.hpp"
#include "support/jobserver.hpp"
#include "support/temp_dir.hpp"

namespace qztest {

class WithServers : public TempDirTest {
protected:
    struct Choice {
        bool ftps = false;                                     // TLS on the transfer server, jobs with useSSL
        nlohmann::json attributes = nlohmann::json::object();  // more "ftp" attributes
        std::string ftpPasswordGiven;                          // what the job server hands out, if not the real one
    };

    void startServers() { startServers(Choice()); }
    void startServers(const Choice& choice) {
        std::optional<FtpServer::Tls> tls;
        if (choice.ftps) {
            certificates = makeCertificates(dir());
            tls = FtpServer::tlsOf(certificates);
        }
        ftp = std::make_unique<FtpServer>(path("served"), tls);
        auto config = JobServer::defaultConfig();
        auto& transfer = config["transferServer"];
        transfer["port"] = ftp->port();
        transfer["user"] = ftp->user();
        transfer["password"] = choice.ftpPasswordGiven.empty() ? ftp->password() : choice.ftpPasswordGiven;
        transfer["localRoot"] = ftp->root();
        nlohmann::json attributes = choice.attributes;
        if (choice.ftps) attributes["useSSL"] = "true";
        if (!attributes.empty()) transfer["attributes"] = attributes;
        std::filesystem::create_directories(path("jobserver"));
        jobs = std::make_unique<JobServer>(config, path("jobserver"));
    }

    nlohmann::json theJob() const {
        auto all = jobs->adminJobs()["jobs"];
        if (all.size() != 1) throw std::runtime_error("expected one job, the server has " + std::to_string(all.size()));
        return all[0];
    }

    Certificates certificates;
    std::unique_ptr<FtpServer> ftp;
    std::unique_ptr<JobServer> jobs;
};

}  // namespace qztest
