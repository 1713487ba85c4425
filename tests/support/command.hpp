#pragma once
// Runs a program as a user would from a shell, with extra environment
// variables and a working folder, and collects its exit code and output.
//
//   auto r = qztest::Command({QZWS_CLI_PATH, "info"}).run();
//   r.exitCode == 0; r.out holds the table

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace qztest {

struct CommandResult {
    int exitCode = -1;  // 128 + signal when it was killed by one
    std::string out;
    std::string err;
};

class Command {
public:
    explicit Command(std::vector<std::string> args) : args_(std::move(args)) {}
    Command& env(const std::string& key, const std::string& value) {
        env_[key] = value;
        return *this;
    }
    Command& workingDir(std::string dir) {
        dir_ = std::move(dir);
        return *this;
    }
    // Standard output into a pipe whose reader is gone, as after `| head -1`:
    // every write fails (EPIPE, or SIGPIPE when not ignored).
    Command& stdoutReaderGone() {
        readerGone_ = true;
        return *this;
    }

    // Starts the program; stdin is /dev/null, stdout and stderr go to files.
    void start() {
        out_ = tempName("out");
        err_ = tempName("err");
        std::vector<std::string> environment;
        for (char** e = environ; *e; ++e) {
            std::string entry = *e;
            if (!env_.count(entry.substr(0, entry.find('=')))) environment.push_back(entry);
        }
        for (const auto& [k, v] : env_) environment.push_back(k + "=" + v);
        std::vector<char*> argv, envp;
        for (auto& a : args_) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        int pipeEnds[2] = {-1, -1};
        if (readerGone_) {
            if (::pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
            ::close(pipeEnds[0]);
            posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
        } else {
            posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::string previous;
        if (!dir_.empty()) {
            char buf[4096];
            previous = ::getcwd(buf, sizeof buf) ? buf : "";
            if (::chdir(dir_.c_str()) != 0) throw std::runtime_error("cannot enter " + dir_);
        }
        // As from a shell: the test's own ignored signals (SIGPIPE among
        // them) and blocked ones are not handed on.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t signals;
        sigemptyset(&signals);
        posix_spawnattr_setsigmask(&attributes, &signals);
        sigaddset(&signals, SIGPIPE);
        posix_spawnattr_setsigdefault(&attributes, &signals);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        int rc = ::posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
        posix_spawnattr_destroy(&attributes);
        if (!previous.empty() && ::chdir(previous.c_str()) != 0)
            throw std::runtime_error("cannot return to " + previous);
        posix_spawn_file_actions_destroy(&actions);
        if (pipeEnds[1] >= 0) ::close(pipeEnds[1]);
        if (rc != 0) throw std::runtime_error("cannot start " + args_[0]);
    }
    // The output written so far.
    std::string outSoFar() const { return read(out_); }
    std::string errSoFar() const { return read(err_); }
    void signal(int sig) { ::kill(pid_, sig); }
    CommandResult wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        CommandResult r;
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = read(out_);
        r.err = read(err_);
        ::unlink(out_.c_str());
        ::unlink(err_.c_str());
        return r;
    }
    CommandResult run() {
        start();
        return wait();
    }

private:
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static std::string tempName(const std::string& what) {
        std::string name = "/tmp/qzws-command-" + what + "-XXXXXX";
        int fd = ::mkstemp(name.data());
        if (fd < 0) throw std::runtime_error("mkstemp failed");
        ::close(fd);
        return name;
    }

    std::vector<std::string> args_;
    std::map<std::string, std::string> env_;
    std::string dir_;
    bool readerGone_ = false;
    std::string out_, err_;
    pid_t pid_ = -1;
};

}  // namespace qztest
