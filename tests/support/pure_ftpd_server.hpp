#pragma once
// pure-ftpd (Debian's package, unpacked by scripts/setup-deps into
// /opt/qzws-test/pure-ftpd, as it conflicts with vsftpd's) for tests, on
// 127.0.0.1, a free port and a free passive port range, serving one folder to
// one virtual user from its own password database, locked into that folder.
// pure-ftpd logs no one in as root, so the user is "nobody" on the system and
// the folder is given to it; the server must be started by root to become
// that user (cannotRunBecause says so otherwise). Its password file, database
// and output live beside the folder.
//
//   qztest::PureFtpdServer server(dir() + "/served");
//   options.setFtpServer(server.host(), server.port());
//   options.setUsernameAndPassword(server.user(), server.password());
//   ... upload, then compare files below server.root() ...
//   server.restart();  // killed with its sessions, started on the same port
//
//   qztest::PureFtpdServer ftps(dir() + "/served", qztest::makeCertificates(dir()));
//   // FTPS: TLS required for logins and data
//
// Errors throw std::runtime_error. The destructor stops the server.

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

#include "support/certificates.hpp"
#include "support/ports.hpp"
#include "support/server_process.hpp"

namespace qztest {

class PureFtpdServer {
public:
    // Why the server cannot run for this test process, "" when it can.
    static std::string cannotRunBecause() {
        return ::geteuid() == 0 ? "" : "pure-ftpd must be started by root to log its virtual user in";
    }

    explicit PureFtpdServer(std::string root, std::optional<Certificates> tls = std::nullopt)
        : root_(std::move(root)), home_(root_ + ".pure-ftpd"), tls_(std::move(tls)) {
        if (!cannotRunBecause().empty()) throw std::runtime_error(cannotRunBecause());
        if (::access(installed("sbin/pure-ftpd").c_str(), X_OK) != 0) {
            throw std::runtime_error("pure-ftpd is not installed: scripts/setup-deps unpacks it");
        }
        std::filesystem::create_directories(root_);
        std::filesystem::create_directories(home_);
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody) throw std::runtime_error("the system has no user nobody for pure-ftpd's virtual user");
        if (::chown(root_.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
            throw std::runtime_error("cannot give " + root_ + " to nobody");
        }
        writeUsers(nobody->pw_uid, nobody->pw_gid);
        port_ = freePort();
        passive_ = freePortRange(kPassivePorts);
        restart();
    }

    const std::string& host() const { return host_; }
    std::uint16_t port() const { return port_; }
    const std::string& root() const { return root_; }
    std::string user() const { return "tester"; }
    // The password file holds its SHA-256 crypt hash (see writeUsers).
    std::string password() const { return "secret"; }

    void stop() { process_.stop(); }
    // (Re)starts the server on the same port and waits until it accepts.
    void restart() {
        // -E: no anonymous logins; -A: every login locked into its folder;
        // -H: no reverse DNS; -P: passive replies name 127.0.0.1.
        std::vector<std::string> args = {installed("sbin/pure-ftpd"),
                                         "-S",
                                         host_ + "," + std::to_string(port_),
                                         "-p",
                                         std::to_string(passive_) + ":" + std::to_string(passive_ + kPassivePorts - 1),
                                         "-P",
                                         host_,
                                         "-l",
                                         "puredb:" + file("users.pdb"),
                                         "-E",
                                         "-A",
                                         "-H",
                                         "-c",
                                         "32",
                                         "-C",
                                         "32"};
        if (tls_) args.insert(args.end(), {"-Y", "3", "-2", tls_->certFile + "," + tls_->keyFile});
        process_.start(std::move(args), file("output.log"), port_, "pure-ftpd");
    }

private:
    static constexpr int kPassivePorts = 16;

    static std::string installed(const std::string& program) { return "/opt/qzws-test/pure-ftpd/usr/" + program; }

    std::string file(const std::string& name) const { return home_ + "/" + name; }

    void writeUsers(uid_t uid, gid_t gid) {
        {
            // `openssl passwd -5 -salt qztestsalt secret`; "/./" locks the user in.
            std::ofstream users(file("users"));
            users << user() << ":$5$qztestsalt$kcZ7nvF2Ofe3St1vjUzKCxa3b3W.8BLgGsmhJYpFP25:" << uid << ":" << gid
                  << "::" << root_ << "/./::::::::::::\n";
        }
        const std::string command = installed("bin/pure-pw") + " mkdb '" + file("users.pdb") + "' -f '" +
                                    file("users") + "' >> '" + file("output.log") + "' 2>&1";
        if (std::system(command.c_str()) != 0) throw std::runtime_error("pure-pw could not make the user database");
    }

    std::string root_;
    std::string home_;
    std::optional<Certificates> tls_;
    std::string host_ = "127.0.0.1";
    std::uint16_t port_ = 0;
    std::uint16_t passive_ = 0;
    ServerProcess process_;
};

}  // namespace qztest
