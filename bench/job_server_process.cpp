#include "job_server_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace bench {

namespace {

// Large enough for the encoded body of the biggest summary log measured.
const char* const kConfig = R"({
  "users": [{"name": "alice", "password": "wonderland"}],
  "orderForms": [{"name": "Sequencing run", "type": "job"}],
  "transferServer": {"host": "127.0.0.1", "port": 2121, "user": "ftpuser", "password": "ftppass",
                     "path": "/", "secureJobs": false, "attributes": {}},
  "maxBodyBytes": 1073741824
}
)";

std::string readLine(int fd, int timeoutMs) {
    std::string line;
    char c = 0;
    while (line.empty() || line.back() != '\n') {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) throw std::runtime_error("qzws-jobserver did not say where it listens");
        if (::read(fd, &c, 1) != 1) throw std::runtime_error("qzws-jobserver ended before it listened");
        line += c;
    }
    line.pop_back();
    return line;
}

}  // namespace

JobServerProcess::JobServerProcess(const std::string& executable, const std::string& folder) {
    const std::string config = folder + "/jobserver.json";
    std::ofstream(config) << kConfig;
    const std::string log = folder + "/jobserver.log";

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("cannot create a pipe");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("cannot start qzws-jobserver");
    if (pid_ == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (err >= 0) ::dup2(err, STDERR_FILENO);
        if (::chdir(folder.c_str()) != 0) ::_exit(126);
        ::execl(executable.c_str(), executable.c_str(), "--config", config.c_str(), "--listen", "127.0.0.1:0",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    try {
        const std::string line = readLine(out[0], 20000);
        const std::string prefix = "listening on ";
        if (line.compare(0, prefix.size(), prefix) != 0) throw std::runtime_error("qzws-jobserver said: " + line);
        baseUrl_ = line.substr(prefix.size());
    } catch (...) {
        ::close(out[0]);
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        throw;
    }
    ::close(out[0]);
}

JobServerProcess::~JobServerProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qzws-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary folder");
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace bench
