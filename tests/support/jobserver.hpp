#pragma once
// Runs the built qzws-jobserver as a child process for a test.
//
//   nlohmann::json config = qztest::JobServer::defaultConfig();
//   config["transferServer"]["port"] = ftpPort;
//   config["transferServer"]["localRoot"] = ftpRoot;
//   qztest::JobServer server(config, dir());          // started, port known
//   client.login(server.baseUrl(), "alice", "wonderland");
//   nlohmann::json jobs = server.adminJobs()["jobs"];  // what the server stored
//
// The config is written to jobserver.json in the given folder and the
// server's request log (stderr) to jobserver.log there. The destructor stops
// the server (SIGTERM, then waits for it). Start failures throw
// std::runtime_error with the server's own words.
//
// CMake: link the interface target qzws_jobserver_fixture, which supplies
// QZWS_JOBSERVER_PATH, cpp-httplib, OpenSSL and nlohmann-json.

#include <httplib.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace qztest {

// Certificate and key files in PEM form for an HTTPS job server.
struct JobServerTls {
    std::string certFile;
    std::string keyFile;
};

class JobServer {
public:
    // Users alice/wonderland and bob/builder; the order forms my_file_area
    // (filearea), "Sequencing run" (job) and "lab data" (group); a transfer
    // server at 127.0.0.1:21 as ftpuser/ftppass; the admin token of
    // kAdminToken. Change what the test needs.
    static nlohmann::json defaultConfig() {
        return nlohmann::json::parse(R"({
          "users": [{"name": "alice", "password": "wonderland"}, {"name": "bob", "password": "builder"}],
          "orderForms": [{"name": "my_file_area", "type": "filearea"},
                         {"name": "Sequencing run", "type": "job"},
                         {"name": "lab data", "type": "group"}],
          "transferServer": {"host": "127.0.0.1", "port": 21, "user": "ftpuser", "password": "ftppass",
                             "path": "/"},
          "adminToken": ")" + std::string(kAdminToken) +
                                     R"("
        })");
    }

    static constexpr const char* kAdminToken = "admin-token-for-tests";

    JobServer(const nlohmann::json& config, const std::string& folder, std::optional<JobServerTls> tls = std::nullopt)
        : logFile_(folder + "/jobserver.log"),
          tls_(tls.has_value()),
          adminToken_(config.value("adminToken", std::string())) {
        const std::string configFile = folder + "/jobserver.json";
        std::ofstream(configFile) << config.dump(2);
        std::vector<std::string> args{QZWS_JOBSERVER_PATH, "--config", configFile, "--listen", "127.0.0.1:0"};
        if (tls) args.insert(args.end(), {"--tls-cert", tls->certFile, "--tls-key", tls->keyFile});
        start(args);
    }

    JobServer(const JobServer&) = delete;
    JobServer& operator=(const JobServer&) = delete;
    ~JobServer() { stop(); }

    // "http://127.0.0.1:PORT/" (https with TLS), as the server printed it.
    const std::string& baseUrl() const { return baseUrl_; }

    // GET /admin/jobs with the config's admin token, parsed: {"jobs": [{"id", "user", "orderForm", "fields",
    // "scrambledFields", "creationKey", "state", "files", "totalSize",
    // "logLength", "log", "finalization", ...}]}; see tools/jobserver/README.md.
    nlohmann::json adminJobs() const {
        httplib::Client client(baseUrl_.substr(0, baseUrl_.size() - 1));
        if (tls_) client.enable_server_certificate_verification(false);
        const auto res = client.Get("/admin/jobs", {{"Authorization", "Bearer " + adminToken_}});
        if (!res || res->status != 200) throw std::runtime_error("qzws-jobserver: GET /admin/jobs failed");
        return nlohmann::json::parse(res->body);
    }

    // The request log so far: one "METHOD PATH STATUS" line per request.
    std::string log() const {
        std::ifstream in(logFile_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // Stops the server with `signal` and returns its exit status (-1 when it
    // did not exit normally); later calls return the same.
    int stop(int signal = SIGTERM) {
        if (pid_ > 0) {
            ::kill(pid_, signal);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            pid_ = -1;
        }
        if (stdout_ >= 0) {
            ::close(stdout_);
            stdout_ = -1;
        }
        return exitStatus_;
    }

private:
    void start(const std::vector<std::string>& args) {
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("qzws-jobserver: cannot create a pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        stdout_ = pipeFds[0];
        if (spawned != 0) {
            pid_ = -1;
            stop();
            throw std::runtime_error(std::string("qzws-jobserver: cannot start ") + argv[0]);
        }

        // The first line names the address; end of file means it gave up.
        std::string line;
        char c = 0;
        while (true) {
            const ssize_t n = ::read(stdout_, &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || c == '\n') break;
            line += c;
        }
        const std::string prefix = "listening on ";
        if (line.compare(0, prefix.size(), prefix) != 0) {
            stop();
            throw std::runtime_error("qzws-jobserver did not start: " + log());
        }
        baseUrl_ = line.substr(prefix.size());
    }

    std::string logFile_;
    bool tls_ = false;
    std::string adminToken_;
    pid_t pid_ = -1;
    int stdout_ = -1;
    int exitStatus_ = -1;
    std::string baseUrl_;
};

}  // namespace qztest
