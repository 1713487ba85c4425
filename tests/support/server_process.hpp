#pragma once
// A server daemon started for a test in a process group of its own, so that
// stopping it also ends every session it forked, as a crash of the machine's
// server would: open transfers break and nothing is left running.
//
//   qztest::ServerProcess process;
//   process.start({"/usr/sbin/vsftpd", config}, dir + "/output.log", port, "vsftpd");  // port accepts
//   process.stop();
//
//   qztest::ServerProcess proftpd(qztest::ServerProcess::Stop::terminate);  // ends its sessions itself
//
// A server started from the process's main thread is killed when the test
// process dies, so that a crashed or killed test leaves no server behind
// (sessions it forked end with their connections). One started from another
// thread is not: the kernel would kill it when that thread ends, and tests
// restart servers from threads that end long before the server should.
//
// Errors throw std::runtime_error, with what the server printed if it exited
// at start. The destructor stops the server.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/ports.hpp"

extern char** environ;

namespace qztest {

class ServerProcess {
public:
    // How stop ends the server.
    enum class Stop {
        killGroup,  // SIGKILL to its process group: the server and its sessions end at once
        terminate,  // SIGTERM to the server alone, which ends its sessions before it exits
    };

    explicit ServerProcess(Stop how = Stop::killGroup) : how_(how) {}
    ~ServerProcess() { stop(); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts args[0] with standard input from /dev/null and its output
    // appended to `log`, and waits until it accepts on 127.0.0.1:`port`.
    void start(std::vector<std::string> args, const std::string& log, std::uint16_t port, const std::string& name) {
        stop();
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t parent = ::getpid();
        const bool fromMainThread = ::gettid() == parent;
        // Between fork and exec the child calls async-signal-safe functions only.
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(errno));
        if (pid_ == 0) {
            ::setpgid(0, 0);
            if (fromMainThread && (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent)) ::_exit(127);
            const int in = ::open("/dev/null", O_RDONLY);
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (in < 0 || out < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) ::_exit(127);
            ::execve(argv[0], argv.data(), environ);
            const char* words = "exec failed\n";
            [[maybe_unused]] const ssize_t written = ::write(2, words, std::strlen(words));
            ::_exit(127);
        }
        // The child does so too: whichever comes first, stop finds the group.
        ::setpgid(pid_, 0);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                std::ifstream in(log);
                throw std::runtime_error(name +
                                         " exited at start: " + std::string(std::istreambuf_iterator<char>(in), {}));
            }
            if (accepting(port)) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stop();
        throw std::runtime_error(name + " did not accept on port " + std::to_string(port));
    }

    void stop() {
        if (pid_ <= 0) return;
        if (how_ == Stop::killGroup) {
            ::kill(-pid_, SIGKILL);
        } else {
            ::kill(pid_, SIGTERM);
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    Stop how_;
    pid_t pid_ = -1;
};

}  // namespace qztest
