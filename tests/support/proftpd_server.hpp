#pragma once
// proftpd (Debian's proftpd-core) for tests that need a server which hashes
// stored files: its mod_digest lists "HASH CRC32;MD5;SHA-1*;SHA-256;..." in
// FEAT and answers HASH. The package conflicts with vsftpd's, so
// scripts/setup-deps unpacks it (and proftpd-mod-crypto, for FTPS) into
// /opt/qzws-test/proftpd; an installed package (/usr/sbin/proftpd) is taken
// when that is missing. Started on 127.0.0.1, a free port and a free passive
// port range, serving one folder to one user from its own password file; its
// configuration, pid file, scoreboard and logs live beside the folder. Runs as
// the user who runs the tests, root or not.
//
//   qztest::ProftpdServer server(dir() + "/served");
//   options.setFtpServer(server.host(), server.port());
//   options.setUsernameAndPassword(server.user(), server.password());
//   ... upload, then compare files below server.root() ...
//
//   qztest::ProftpdServer::Settings settings;
//   settings.tls = qztest::makeCertificates(dir());  // FTPS, required on control and data
//   settings.hashLimit = 1000000;                    // larger files: "556 <name>: Operation not permitted"
//   settings.afterStore = "truncate -s 0 '%f'";      // run on each stored file before the reply to STOR
//   settings.hashDelay = 2;                          // silent for 2 s before each HASH reply
//   qztest::ProftpdServer server(dir() + "/served", settings);
//   readFile(server.commandLog());                   // "STOR\n" ... one line per command
//   server.restart();                                // stopped, started on the same port
//
// Errors throw std::runtime_error. The destructor stops the server.

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

#include "support/certificates.hpp"
#include "support/ports.hpp"
#include "support/server_process.hpp"

namespace qztest {

class ProftpdServer {
public:
    struct Settings {
        // Explicit TLS (mod_tls) with this server certificate, required for
        // logins and data, with the TLS session of the control connection
        // reused on data connections as proftpd demands by default.
        std::optional<Certificates> tls;
        // mod_digest's DigestMaxSize: HASH of a larger file is refused. 0: no limit.
        std::uint64_t hashLimit = 0;
        // A shell command (mod_exec) that the server runs on every stored
        // file, and waits for, before it replies to STOR; "%f" stands for the
        // file's path as it is, unquoted. It must hold no double quotes.
        // mod_digest then reads the stored file for HASH: by default it
        // answers a HASH after an upload with its digest of the bytes it
        // received, which the command's changes would not reach.
        std::string afterStore;
        // Seconds the server sleeps (mod_exec) before it handles each HASH,
        // saying nothing meanwhile, as it does while it hashes a big file.
        int hashDelay = 0;
    };

    explicit ProftpdServer(std::string root) : ProftpdServer(std::move(root), Settings()) {}
    ProftpdServer(std::string root, Settings settings)
        : root_(std::move(root)), home_(root_ + ".proftpd"), prefix_(installedUnder()), settings_(std::move(settings)) {
        if (settings_.afterStore.find('"') != std::string::npos) {
            throw std::runtime_error("the command run after STOR holds a double quote");
        }
        std::filesystem::create_directories(root_);
        std::filesystem::create_directories(home_);
        port_ = freePort();
        const std::uint16_t passive = freePortRange(kPassivePorts);
        writeConfig(passive);
        start();
    }

    const std::string& host() const { return host_; }
    std::uint16_t port() const { return port_; }
    const std::string& root() const { return root_; }
    std::string user() const { return "tester"; }
    // The password file holds its SHA-256 crypt hash (see writeConfig).
    std::string password() const { return "secret"; }
    // The name of every command the server handled, one a line, as it ended.
    std::string commandLog() const { return file("commands.log"); }

    void stop() { process_.stop(); }

    // (Re)starts the server on the same port and waits until it accepts.
    void restart() {
        stop();
        start();
    }

private:
    // A port proftpd closed stays taken for a while (TIME_WAIT): with a few
    // dozen files in a row, a narrow range runs out ("425 EPSV: Address
    // already in use").
    static constexpr int kPassivePorts = 128;

    std::string file(const std::string& name) const { return home_ + "/" + name; }

    static std::string nameOfUser(uid_t uid) {
        const passwd* p = ::getpwuid(uid);
        if (!p) throw std::runtime_error("the test user has no name");
        return p->pw_name;
    }

    static std::string nameOfGroup(gid_t gid) {
        const group* g = ::getgrgid(gid);
        if (!g) throw std::runtime_error("the test group has no name");
        return g->gr_name;
    }

    // The folder that holds usr/sbin/proftpd and usr/lib/proftpd.
    static std::string installedUnder() {
        for (const char* root : {"/opt/qzws-test/proftpd", ""}) {
            if (::access((std::string(root) + "/usr/sbin/proftpd").c_str(), X_OK) == 0) return root;
        }
        throw std::runtime_error("proftpd is not installed: scripts/setup-deps unpacks it");
    }

    void writeConfig(std::uint16_t passive) {
        const auto uid = std::to_string(::getuid());
        const auto gid = std::to_string(::getgid());
        {
            // `openssl passwd -5 -salt qztestsalt secret`
            std::ofstream users(file("passwd"));
            users << user() << ":$5$qztestsalt$kcZ7nvF2Ofe3St1vjUzKCxa3b3W.8BLgGsmhJYpFP25:" << uid << ":" << gid
                  << "::" << root_ << ":/bin/sh\n";
            std::ofstream groups(file("group"));
            groups << "testers:x:" << gid << ":\n";
        }
        std::filesystem::permissions(file("passwd"),
                                     std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        std::filesystem::permissions(file("group"),
                                     std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        std::ofstream conf(file("proftpd.conf"));
        conf << "ServerType standalone\n"
                "DefaultServer on\n"
                "DefaultAddress "
             << host_
             << "\n"
                "SocketBindTight on\n"
                "UseIPv6 off\n"
                "Port "
             << port_
             << "\n"
                "PassivePorts "
             << passive << " " << passive + kPassivePorts - 1
             << "\n"
                "User "
             << nameOfUser(::getuid())
             << "\n"
                "Group "
             << nameOfGroup(::getgid())
             << "\n"
                "PidFile "
             << file("proftpd.pid")
             << "\n"
                "ScoreboardFile "
             << file("scoreboard")
             << "\n"
                "SystemLog "
             << file("system.log")
             << "\n"
                "DelayTable none\n"
                "WtmpLog off\n"
                "TransferLog none\n"
                "LogFormat commands \"%m\"\n"
                "ExtendedLog "
             << commandLog()
             << " ALL commands\n"
                "UseReverseDNS off\n"
                "AuthOrder mod_auth_file.c\n"
                "AuthUserFile "
             << file("passwd")
             << "\n"
                "AuthGroupFile "
             << file("group")
             << "\n"
                "RequireValidShell off\n"
                // The user is the one running the tests, root in a container.
                "RootLogin on\n"
                "AllowOverwrite on\n"
                "AllowStoreRestart on\n"
                "MaxInstances 32\n"
                "ModulePath "
             << prefix_
             << "/usr/lib/proftpd\n"
                "LoadModule mod_digest.c\n"
                "DigestEngine on\n";
        if (settings_.hashLimit > 0) conf << "DigestMaxSize " << settings_.hashLimit << "\n";
        if (settings_.tls) {
            conf << "LoadModule mod_tls.c\n"
                    "TLSEngine on\n"
                    "TLSRequired on\n"
                    "TLSProtocol TLSv1.2 TLSv1.3\n"
                    "TLSVerifyClient off\n"
                    "TLSLog "
                 << file("tls.log")
                 << "\n"
                    "TLSECCertificateFile "
                 << settings_.tls->certFile
                 << "\n"
                    "TLSECCertificateKeyFile "
                 << settings_.tls->keyFile << "\n";
        }
        if (!settings_.afterStore.empty() || settings_.hashDelay > 0) {
            conf << "LoadModule mod_exec.c\n"
                    "ExecEngine on\n"
                    "ExecLog "
                 << file("exec.log") << "\n";
        }
        if (!settings_.afterStore.empty()) {
            conf << "ExecOnCommand STOR /bin/sh -c \"" << settings_.afterStore
                 << "\"\n"
                    "DigestOptions NoTransferCache\n";
        }
        if (settings_.hashDelay > 0) conf << "ExecBeforeCommand HASH /bin/sleep " << settings_.hashDelay << "\n";
    }

    void start() {
        process_.start({prefix_ + "/usr/sbin/proftpd", "--nodaemon", "--config", file("proftpd.conf")},
                       file("output.log"), port_, "proftpd");
    }

    std::string root_;
    std::string home_;
    std::string prefix_;
    Settings settings_;
    std::string host_ = "127.0.0.1";
    std::uint16_t port_ = 0;
    // The daemon ends the sessions it forked before it exits.
    ServerProcess process_{ServerProcess::Stop::terminate};
};

}  // namespace qztest
