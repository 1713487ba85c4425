#pragma once
// Twisted's FTP server (python3-twisted) for tests, run by Debian's
// /usr/bin/python3 through twisted_ftp_server.py on 127.0.0.1, a free port
// and a free passive port range, serving one folder to one user. Plain FTP
// only: it offers no TLS. Runs as the user who runs the tests, root or not.
//
//   qztest::TwistedFtpServer server(dir() + "/served");
//   options.setFtpServer(server.host(), server.port());
//   options.setUsernameAndPassword(server.user(), server.password());
//   ... upload, then compare files below server.root() ...
//   server.restart();  // killed with its sessions, started on the same port
//
// How it behaves (Twisted 22.4): FEAT lists "FEAT MDTM PASV SIZE TYPE A;I",
// no UTF8, MLST, REST or EPSV, and it answers 502 to EPSV, OPTS UTF8 ON,
// MLSD, REST and APPE (a file cut off is sent again whole). It decodes every
// command line as Latin-1 and stores the name as the UTF-8 of that: "STOR
// 日本/n" (UTF-8 e6 97 a5 e6 9c ac) makes the folder "æ\u0097¥æ\u009c¬" on
// disk (c3 a6 c2 97 c2 a5 c3 a6 c2 9c c2 ac), which SIZE, CWD and MKD with
// the sent bytes find again, and replies on the control connection (257 to
// MKD) give the sent bytes back. LIST and NLST send the names as they are on
// disk, so a listing holds the doubly encoded bytes (c3 a6 c2 97 ...), never
// the sent ones: a client that looks for its names in it sees them missing.
// LIST lines: "-rw-r--r--   1 root      root    5 Dec 09 05:41 NAME", no
// "total" line. NLST takes no empty argument (500), and takes a last path
// part holding " " or "#" for a pattern: "NLST with space" answers "with
// space", not the folder's names. A STOR that comes in one packet with the
// PASV before it is taken while the data connection is being set up, and
// fails: "426 Transfer aborted.  Data connection closed." (a STOR sent after
// the 227 reply is taken).
//
// Errors throw std::runtime_error. The destructor stops the server.

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/ports.hpp"
#include "support/server_process.hpp"

namespace qztest {

class TwistedFtpServer {
public:
    explicit TwistedFtpServer(std::string root) : root_(std::move(root)), home_(root_ + ".twisted") {
        std::filesystem::create_directories(root_);
        std::filesystem::create_directories(home_);
        port_ = freePort();
        passive_ = freePortRange(kPassivePorts);
        restart();
    }

    const std::string& host() const { return host_; }
    std::uint16_t port() const { return port_; }
    const std::string& root() const { return root_; }
    std::string user() const { return "tester"; }
    std::string password() const { return "secret"; }

    void stop() { process_.stop(); }
    // (Re)starts the server on the same port and waits until it accepts.
    void restart() {
        const char* source = std::getenv("QZWS_SOURCE_DIR");
        process_.start({"/usr/bin/python3", std::string(source ? source : ".") + "/tests/support/twisted_ftp_server.py",
                        "--port", std::to_string(port_), "--root", root_, "--user", user(), "--password", password(),
                        "--passive", std::to_string(passive_) + "-" + std::to_string(passive_ + kPassivePorts - 1)},
                       home_ + "/output.log", port_, "Twisted's FTP server");
    }

private:
    static constexpr int kPassivePorts = 32;

    std::string root_;
    std::string home_;
    std::string host_ = "127.0.0.1";
    std::uint16_t port_ = 0;
    std::uint16_t passive_ = 0;
    ServerProcess process_;
};

}  // namespace qztest
