// The qzws-jobserver program itself, through the fixture the end-to-end
// tests use: start-up line, request log, HTTPS, clean stop, bad config.

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "qz/scrambling.hpp"
#include "qz/strings.hpp"
#include "support/jobserver.hpp"
#include "support/temp_dir.hpp"

namespace {

const std::string kKey = "27182818284590452353602874713526";

std::string scrambled(const std::string& value) { return url_encode(qz::scramble(value, kKey, qz::EShift::eForward)); }

class JobServerProcess : public qztest::TempDirTest {};

// Logs in and creates a job on the server at `url` with any httplib client.
template <typename Client>
void createJobThrough(Client& client) {
    const auto login = client.Post("/getPickupSettings.do",
                                   "k=" + kKey + "&u=" + scrambled("alice") + "&p=" + scrambled("wonderland"),
                                   "application/x-www-form-urlencoded");
    ASSERT_TRUE(login);
    ASSERT_NE(login->body.find("<status success=\"true\"/>"), std::string::npos) << login->body;
    const std::string cookie = login->get_header_value("Set-Cookie");
    const httplib::Headers headers{{"Cookie", cookie.substr(0, cookie.find(';'))}};
    const auto created = client.Post("/createPickupJob.do", headers,
                                     "k=" + kKey + "&qzof=Sequencing run&qzoftype=job&sample=" + scrambled("S-7"),
                                     "application/x-www-form-urlencoded");
    ASSERT_TRUE(created);
    ASSERT_NE(created->body.find("<job id="), std::string::npos) << created->body;
}

TEST_F(JobServerProcess, ServesOnAFreePortAndStopsCleanly) {
    qztest::JobServer server(qztest::JobServer::defaultConfig(), dir());
    ASSERT_EQ(server.baseUrl().rfind("http://127.0.0.1:", 0), 0u) << server.baseUrl();
    EXPECT_EQ(server.baseUrl().back(), '/');
    EXPECT_NE(server.baseUrl(), "http://127.0.0.1:0/");

    httplib::Client client(server.baseUrl().substr(0, server.baseUrl().size() - 1));
    createJobThrough(client);
    const nlohmann::json jobs = server.adminJobs()["jobs"];
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0]["fields"], nlohmann::json({{"sample", "S-7"}}));

    EXPECT_EQ(server.stop(), 0);
    // Each request is logged once it is answered, so the lines of requests on
    // different connections may come in any order.
    std::vector<std::string> lines;
    std::istringstream log(server.log());
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    const std::vector<std::string> expected{"GET /admin/jobs 200", "POST /createPickupJob.do 200",
                                            "POST /getPickupSettings.do 200"};
    EXPECT_EQ(lines, expected);
}

TEST_F(JobServerProcess, StopsOnSigintAndSigtermEvenRightAfterStarting) {
    for (const int signal : {SIGINT, SIGTERM}) {
        qztest::JobServer server(qztest::JobServer::defaultConfig(), dir());
        EXPECT_EQ(server.stop(signal), 0) << signal;
    }
}

TEST_F(JobServerProcess, ServesHttpsWithTheGivenCertificate) {
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
        "-keyout " +
        path("key.pem") + " -out " + path("cert.pem") + " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    qztest::JobServer server(qztest::JobServer::defaultConfig(), dir(),
                             qztest::JobServerTls{path("cert.pem"), path("key.pem")});
    ASSERT_EQ(server.baseUrl().rfind("https://127.0.0.1:", 0), 0u) << server.baseUrl();

    httplib::Client client(server.baseUrl().substr(0, server.baseUrl().size() - 1));
    client.set_ca_cert_path(path("cert.pem").c_str());
    client.enable_server_certificate_verification(true);
    createJobThrough(client);
    EXPECT_EQ(server.adminJobs()["jobs"].size(), 1u);

    httplib::Client plain("http://" + server.baseUrl().substr(8, server.baseUrl().size() - 9));
    EXPECT_FALSE(plain.Get("/admin/jobs")) << "plain HTTP is not served on the TLS port";
    EXPECT_EQ(server.stop(), 0);
}

TEST_F(JobServerProcess, BadConfigStopsWithTheReason) {
    nlohmann::json config = qztest::JobServer::defaultConfig();
    config["transferServer"].erase("host");
    try {
        qztest::JobServer server(config, dir());
        ADD_FAILURE() << "started";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("config: transferServer.host: missing"), std::string::npos) << e.what();
    }
}

}  // namespace
