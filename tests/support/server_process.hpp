#pragma once
// A server daemon started for a test in a process group of its own, so that
// stopping it also ends every session it forked, as a crash of the machine's
// server would: open transfers break and nothing is left running.
//
//   qztest::ServerProcess process;
//   process.start({"/usr/sbin/vsftpd", config}, dir + "/output.log", port, "vsftpd");  // port accepts
//   process.stop();
//
// Errors throw std::runtime_error, with what the server printed if it exited
// at start. The destructor stops the server.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/ftp_server.hpp"

extern char** environ;

namespace qztest {

class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess() { stop(); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts args[0] with its output appended to `log` and waits until it
    // accepts on 127.0.0.1:`port`.
    void start(std::vector<std::string> args, const std::string& log, std::uint16_t port, const std::string& name) {
        stop();
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        const int rc = ::posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                std::ifstream in(log);
                throw std::runtime_error(name +
                                         " exited at start: " + std::string(std::istreambuf_iterator<char>(in), {}));
            }
            if (FtpServer::accepting(port)) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stop();
        throw std::runtime_error(name + " did not accept on port " + std::to_string(port));
    }

    // Kills the server and its sessions at once.
    void stop() {
        if (pid_ <= 0) return;
        ::kill(-pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

}  // namespace qztest
