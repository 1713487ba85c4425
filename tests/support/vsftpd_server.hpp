#pragma once
// vsftpd (Debian's package, /usr/sbin/vsftpd) for tests, on 127.0.0.1, a free
// port and a free passive port range, serving one folder. Its local logins go
// through the system's PAM and user accounts, which a test must not touch, so
// it logs in its anonymous user with every write right (upload, overwrite,
// append and restart, folders), and runs as the user who runs the tests, root
// or not, without changing user. Its configuration and output live beside the
// folder.
//
//   qztest::VsftpdServer server(dir() + "/served");
//   options.setFtpServer(server.host(), server.port());
//   options.setUsernameAndPassword(server.user(), server.password());
//   ... upload, then compare files below server.root() ...
//   server.restart();  // killed with its sessions, started on the same port
//
//   qztest::VsftpdServer ftps(dir() + "/served", qztest::makeCertificates(dir()));
//   // FTPS: TLS required for logins and data, the control connection's TLS
//   // session reused on data connections, as vsftpd demands by default
//
// Errors throw std::runtime_error. The destructor stops the server.

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

class VsftpdServer {
public:
    explicit VsftpdServer(std::string root, std::optional<Certificates> tls = std::nullopt)
        : root_(std::move(root)), home_(root_ + ".vsftpd"), tls_(std::move(tls)) {
        std::filesystem::create_directories(root_);
        std::filesystem::create_directories(home_ + "/empty");
        port_ = freePort();
        writeConfig(freePortRange(kPassivePorts));
        restart();
    }

    const std::string& host() const { return host_; }
    std::uint16_t port() const { return port_; }
    const std::string& root() const { return root_; }
    std::string user() const { return "anonymous"; }
    std::string password() const { return "tester@example.org"; }

    void stop() { process_.stop(); }
    // (Re)starts the server on the same port and waits until it accepts.
    void restart() { process_.start({"/usr/sbin/vsftpd", file("vsftpd.conf")}, file("output.log"), port_, "vsftpd"); }

private:
    static constexpr int kPassivePorts = 16;

    std::string file(const std::string& name) const { return home_ + "/" + name; }

    void writeConfig(std::uint16_t passive) {
        const passwd* user = ::getpwuid(::getuid());
        if (!user) throw std::runtime_error("the test user has no name");
        const std::string self = user->pw_name;
        std::ofstream conf(file("vsftpd.conf"));
        conf << "listen=YES\n"
                "listen_ipv6=NO\n"
                "listen_address="
             << host_ << "\nlisten_port=" << port_
             << "\n"
                "background=NO\n"
                "run_as_launching_user=YES\n"
                // Looked up though never switched to: the one user surely there.
                "ftp_username="
             << self << "\nnopriv_user=" << self
             << "\n"
                "local_enable=NO\n"
                "anonymous_enable=YES\n"
                "anon_root="
             << root_
             << "\n"
                "write_enable=YES\n"
                "anon_upload_enable=YES\n"
                "anon_mkdir_write_enable=YES\n"
                "anon_other_write_enable=YES\n"
                "anon_world_readable_only=NO\n"
                "anon_umask=022\n"
                "pasv_enable=YES\n"
                "pasv_address="
             << host_ << "\npasv_min_port=" << passive << "\npasv_max_port=" << passive + kPassivePorts - 1
             << "\n"
                "seccomp_sandbox=NO\n"
                "isolate=NO\n"
                "isolate_network=NO\n"
                "secure_chroot_dir="
             << file("empty")
             << "\n"
                "xferlog_enable=NO\n"
                "max_clients=0\n"
                "max_per_ip=0\n";
        if (tls_) {
            conf << "ssl_enable=YES\n"
                    "allow_anon_ssl=YES\n"
                    "force_anon_logins_ssl=YES\n"
                    "force_anon_data_ssl=YES\n"
                    "rsa_cert_file="
                 << tls_->certFile << "\nrsa_private_key_file=" << tls_->keyFile << "\n";
        }
    }

    std::string root_;
    std::string home_;
    std::optional<Certificates> tls_;
    std::string host_ = "127.0.0.1";
    std::uint16_t port_ = 0;
    ServerProcess process_;
};

}  // namespace qztest
