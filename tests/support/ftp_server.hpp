#pragma once
// A real FTP (or FTPS) server for tests: pyftpdlib run by Debian's
// /usr/bin/python3 through ftp_server.py, on 127.0.0.1, a free port and a free
// passive port range, serving one folder to one user.
//
//   qztest::FtpServer server(dir() + "/served");          // started, port accepts
//   options.setFtpServer(server.host(), server.port());
//   options.setUsernameAndPassword(server.user(), server.password());
//   ... upload, then compare files below server.root() ...
//   server.stop(); server.restart();                     // same port again
//
// FTPS: pass the server's certificate and key (PEM), e.g.
// FtpServer::tlsOf(makeCertificates(dir())); TLS is then required on control and data
// connections, and the client checks the server against the CA file. events() lists logins and stored files, one
// line each ("login PORT", "received PORT PATH", PORT being the client's port
// of the control connection), so a test can count connections. commands()
// lists every connection ("connect PORT") and every command line the server
// received ("command PORT LINE"), so a test can show what reached it.
// Faults on demand: a Faults value with quota set, given to setFaults, restarts
// the server as one whose disk fills at that many bytes; with stallAfter set,
// as one that stops reading a data connection after that many bytes; with
// unavailableAfter set, as one that plays a restart once that many files
// arrived; with wrongHash, as one that offers HASH and answers it with a
// SHA-256 that is not the stored file's (see ftp_server.py).
// Errors throw std::runtime_error. The server is stopped by the destructor.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/certificates.hpp"
#include "support/ports.hpp"
#include "support/server_process.hpp"

namespace qztest {

class FtpServer {
public:
    struct Tls {
        std::string certFile;
        std::string keyFile;
        bool refuseTls13Data = false;  // answer TLS 1.3 data connections with 522
        bool tls13Only = false;        // speak no TLS older than 1.3
        bool plainData = false;        // allow data connections without TLS ("PROT C")
    };

    struct Faults {
        std::uint64_t quota = 0;             // bytes the root may hold, 0: no limit
        int quotaReply = 552;                // the reply to a transfer that passes it
        std::string quotaWords;              // put between that reply's code and its text
        std::uint64_t stallAfter = 0;        // stop reading a data connection after this, 0: never
        bool stallAlways = false;            // every data connection, not only the first
        int unavailableAfter = 0;            // files received before a restart is played, 0: never
        double unavailableFor = 0;           // seconds of the restart: new connections get 421
        bool unavailableCloses = false;      // ...or are closed before any greeting
        bool unavailableAfterLogin = false;  // ...or are logged in, then closed at FEAT
        bool wrongHash = false;              // offer HASH and answer it with a SHA-256 not the file's
        bool refuseEpsv = false;             // neither offer nor take EPSV: PASV only
        bool refuseListedEpsv = false;       // offer EPSV, then refuse it
        int maxPerAddress = 0;               // connections one address may hold, 0: no limit
        int keepFirst = -1;                  // keep only this many bytes of each file (yet confirm it), -1: all
        bool refuseSize = false;             // answer SIZE with 502
        bool noMlsd = false;                 // neither offer nor take MLSD: LIST only
        std::string listing;                 // listings "unreadable", "hides-hidden" (names with "hidden"), "grown"
    };

    // The server side of test certificates (support/certificates.hpp).
    static Tls tlsOf(const Certificates& certificates) { return {certificates.certFile, certificates.keyFile}; }

    explicit FtpServer(std::string root, std::optional<Tls> tls = std::nullopt, std::string user = "tester",
                       std::string password = "pa55 word")
        : root_(std::move(root)), tls_(std::move(tls)), user_(std::move(user)), password_(std::move(password)) {
        std::filesystem::create_directories(root_);
        port_ = freePort();
        passiveLow_ = freePortRange(kPassivePorts);
        std::ofstream events(eventsFile(), std::ios::trunc);
        std::ofstream commands(commandsFile(), std::ios::trunc);
        restart();
    }

    const std::string& host() const { return host_; }
    std::uint16_t port() const { return port_; }
    const std::string& root() const { return root_; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }

    // Kills the server at once, as a crash would: open transfers break.
    void stop() { process_.stop(); }

    // (Re)starts the server on the same port and waits until it accepts.
    void restart() {
        const char* source = std::getenv("QZWS_SOURCE_DIR");
        std::string script = std::string(source ? source : ".") + "/tests/support/ftp_server.py";
        std::vector<std::string> args = {
            "/usr/bin/python3", script,
            "--port",           std::to_string(port_),
            "--root",           root_,
            "--user",           user_,
            "--password",       password_,
            "--passive",        std::to_string(passiveLow_) + "-" + std::to_string(passiveLow_ + kPassivePorts - 1),
            "--events",         eventsFile(),
            "--commands",       commandsFile()};
        if (tls_) {
            args.insert(args.end(), {"--cert", tls_->certFile, "--key", tls_->keyFile});
            if (tls_->refuseTls13Data) args.push_back("--refuse-tls13-data");
            if (tls_->tls13Only) args.push_back("--tls13-only");
            if (tls_->plainData) args.push_back("--plain-data");
        }
        if (faults_.quota > 0) {
            args.insert(args.end(), {"--quota", std::to_string(faults_.quota), "--quota-reply",
                                     std::to_string(faults_.quotaReply) +
                                         (faults_.quotaWords.empty() ? "" : " " + faults_.quotaWords)});
        }
        if (faults_.stallAfter > 0) {
            args.insert(args.end(), {"--stall-after", std::to_string(faults_.stallAfter)});
            if (faults_.stallAlways) args.push_back("--stall-always");
        }
        if (faults_.unavailableAfter > 0) {
            args.insert(args.end(), {"--unavailable-after", std::to_string(faults_.unavailableAfter),
                                     "--unavailable-for", std::to_string(faults_.unavailableFor)});
            if (faults_.unavailableCloses) args.push_back("--unavailable-closes");
            if (faults_.unavailableAfterLogin) args.push_back("--unavailable-after-login");
        }
        if (faults_.wrongHash) args.push_back("--wrong-hash");
        if (faults_.refuseEpsv) args.push_back("--refuse-epsv");
        if (faults_.refuseListedEpsv) args.push_back("--refuse-listed-epsv");
        if (faults_.keepFirst >= 0) args.insert(args.end(), {"--keep-first", std::to_string(faults_.keepFirst)});
        if (faults_.refuseSize) args.push_back("--refuse-size");
        if (faults_.noMlsd) args.push_back("--no-mlsd");
        if (!faults_.listing.empty()) args.insert(args.end(), {"--listing", faults_.listing});
        if (faults_.maxPerAddress > 0)
            args.insert(args.end(), {"--max-per-address", std::to_string(faults_.maxPerAddress)});
        process_.start(std::move(args), logFile(), port_, "the FTP server");
    }

    // Restarts the server with these faults (and keeps them for later restarts).
    void setFaults(const Faults& faults) {
        faults_ = faults;
        restart();
    }

    // Events since this server object was made, restarts included.
    std::vector<std::string> events() const { return linesOf(eventsFile()); }
    // Connections and command lines since this server object was made.
    std::vector<std::string> commands() const { return linesOf(commandsFile()); }

private:
    static constexpr int kPassivePorts = 16;

    std::string eventsFile() const { return root_ + ".events"; }
    std::string commandsFile() const { return root_ + ".commands"; }

    static std::vector<std::string> linesOf(const std::string& file) {
        std::vector<std::string> lines;
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    std::string logFile() const { return root_ + ".log"; }

    std::string root_;
    std::optional<Tls> tls_;
    Faults faults_;
    std::string user_;
    std::string password_;
    std::string host_ = "127.0.0.1";
    std::uint16_t port_ = 0;
    std::uint16_t passiveLow_ = 0;
    ServerProcess process_;
};

}  // namespace qztest
