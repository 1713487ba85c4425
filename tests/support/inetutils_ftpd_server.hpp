#pragma once
// inetutils-ftpd (Debian's package, unpacked by scripts/setup-deps into
// /opt/qzws-test/inetutils-ftpd, as it conflicts with vsftpd's) for tests, on
// 127.0.0.1 and a free port, serving one folder to one user, locked into it
// (/etc/ftpchroot). The server is written for inetd and its daemon mode knows
// no port but the ftp service's, so inetd.py accepts for it and starts one
// server per connection. It logs in system users only (through /etc/passwd
// and /etc/shadow, then chroot and setuid): inetd.py lays a folder over /etc
// in a mount namespace of its own that adds the user "tester" (the system's
// "nobody" underneath, its home the served folder, which is given to it).
// That needs root (cannotRunBecause says so otherwise). The overlay, the
// folder's files and the output live beside the folder. Plain FTP only: the
// server speaks no TLS.
//
//   qztest::InetutilsFtpdServer server(dir() + "/served");
//   options.setFtpServer(server.host(), server.port());
//   options.setUsernameAndPassword(server.user(), server.password());
//   ... upload, then compare files below server.root() ...
//   server.restart();  // killed with its sessions, started on the same port
//
// How it behaves (inetutils 2.4): FEAT lists "MDTM SIZE REST STREAM EPRT
// EPSV LPRT LPSV", no UTF8 and no MLST (MLSD: "500 'MLSD': command not
// recognized", OPTS UTF8 ON: "501 No options are available."). It stores a
// name's bytes as they were sent, UTF-8 or not, and lists them as they are on
// disk: after "STOR 日本/n", LIST and NLST show the sent bytes (e6 97 a5 e6 9c
// ac); MKD answers '257 "/日本" new directory created.' (the path from the
// folder it locks the user into). LIST lines are "ls -lgA" ones after a
// "total N" line: "-rw-r-----  1 nobody  nogroup  5 Dec  9 05:43 NAME"; lines
// of LIST and NLST end in LF alone under TYPE I. LIST splits its argument at
// spaces into several paths: "LIST with space" answers, on the data
// connection and with 226, "space: No such file or directory" and "with: No
// such file or directory". "NLST FOLDER" answers "FOLDER/NAME" lines; bare
// NLST, and bare LIST after CWD, answer bare names. The login's 230 reply is
// several lines long (the machine's /etc/motd).
//
// Errors throw std::runtime_error. The destructor stops the server.

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "support/ports.hpp"
#include "support/server_process.hpp"

namespace qztest {

class InetutilsFtpdServer {
public:
    // Why the server cannot run for this test process, "" when it can.
    static std::string cannotRunBecause() {
        return ::geteuid() == 0 ? "" : "inetutils-ftpd must be started by root to log its system user in";
    }

    explicit InetutilsFtpdServer(std::string root) : root_(std::move(root)), home_(root_ + ".inetutils-ftpd") {
        if (!cannotRunBecause().empty()) throw std::runtime_error(cannotRunBecause());
        if (::access(kProgram, X_OK) != 0) {
            throw std::runtime_error("inetutils-ftpd is not installed: scripts/setup-deps unpacks it");
        }
        std::filesystem::create_directories(root_);
        std::filesystem::create_directories(file("etc"));
        std::filesystem::create_directories(file("etc-work"));
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody) throw std::runtime_error("the system has no user nobody for inetutils-ftpd's user");
        if (::chown(root_.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
            throw std::runtime_error("cannot give " + root_ + " to nobody");
        }
        writeEtc(nobody->pw_uid, nobody->pw_gid);
        port_ = freePort();
        restart();
    }

    const std::string& host() const { return host_; }
    std::uint16_t port() const { return port_; }
    const std::string& root() const { return root_; }
    std::string user() const { return "tester"; }
    // /etc/shadow holds its SHA-512 crypt hash (see writeEtc).
    std::string password() const { return "secret"; }

    void stop() { process_.stop(); }
    // (Re)starts the server on the same port and waits until it accepts.
    void restart() {
        const char* source = std::getenv("QZWS_SOURCE_DIR");
        process_.start({"/usr/bin/python3", std::string(source ? source : ".") + "/tests/support/inetd.py", "--port",
                        std::to_string(port_), "--etc", file("etc") + ":" + file("etc-work"), "--", kProgram},
                       file("output.log"), port_, "inetutils-ftpd");
    }

private:
    static constexpr const char* kProgram = "/opt/qzws-test/inetutils-ftpd/usr/sbin/ftpd";

    std::string file(const std::string& name) const { return home_ + "/" + name; }

    // The files laid over /etc: the machine's users and "tester" first (so it
    // wins over one of that name there), a shadow file with its password
    // alone, and "tester" in ftpchroot.
    void writeEtc(uid_t uid, gid_t gid) const {
        {
            std::ofstream users(file("etc/passwd"));
            users << user() << ":x:" << uid << ":" << gid << ":tester:" << root_ << ":/bin/sh\n";
            std::ifstream machine("/etc/passwd");
            users << machine.rdbuf();
        }
        {
            // `openssl passwd -6 -salt qztestsalt secret`
            std::ofstream shadow(file("etc/shadow"));
            shadow << user()
                   << ":$6$qztestsalt$BK/tba3MOZKb2Xpb0MoxxpiZpnBNq3XAz.OPUQyBwDWI.AQaDKJNyZmhEzG9bIcd9/"
                      "KcFas1BlBpxj2f1V3I4/:19000:0:99999:7:::\n";
        }
        std::filesystem::permissions(file("etc/shadow"), std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::owner_write |
                                                             std::filesystem::perms::group_read);
        std::ofstream(file("etc/ftpchroot")) << user() << "\n";
    }

    std::string root_;
    std::string home_;
    std::string host_ = "127.0.0.1";
    std::uint16_t port_ = 0;
    ServerProcess process_;
};

}  // namespace qztest
