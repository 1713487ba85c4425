#pragma once
// The configuration of one transfer: where to, as whom, how fast, how many
// connections. A plain value: copy it, change it, hand it to a qz::Control.
//
//   qz::Options o;
//   o.setFtpServer("ftp.example.net", 21);
//   o.setUsernameAndPassword("alice", "secret");
//   o.setEncryption(true, true);                 // FTPS on control and data
//   o.setMultiThreaded(true, 3);                  // up to three connections
//   o.getMap(false)["password"] == "********"

#include <cstdint>
#include <map>
#include <string>

namespace qz {

// How files travel. Sequential uses one connection for the whole queue;
// parallel spreads the queue over the connections that setMultiThreaded allows.
enum class ETransferMode : int { eSequential = 1, eParallel = 2 };

// Who opens the data connections: the client (passive, PASV/EPSV) or the
// server (active, PORT/EPRT). Passive works through firewalls and NAT.
enum class EConnectionMode : int { eActive = 1, ePassive = 2 };

class Options {
public:
    Options();

    // Back to the defaults listed in getMap's documentation.
    void reset();

    // Parallel connections: with the flag on and transfer mode parallel, the
    // engine opens up to `connections` connections (at least 1, at most 16),
    // all logged in by connect, each carrying one file at a time and taking
    // the next queued file as soon as it is free. Otherwise one connection
    // carries the whole queue in order.
    void setMultiThreaded(bool enabled, int connections);
    void setUsernameAndPassword(const std::string& user, const std::string& password);
    void setFtpServer(const std::string& host, std::uint16_t port);
    void setMode(ETransferMode transfer, EConnectionMode connection);
    // Explicit TLS (AUTH TLS) on the control connection, and protected data
    // connections (PROT P). Data protection implies control protection. The
    // server's certificate and host name are always verified. TLS 1.2 is
    // preferred, as FTPS servers that insist on data connections resuming the
    // control connection's session refuse libcurl's TLS 1.3 data connections;
    // a server that speaks only TLS 1.3 gets TLS 1.3.
    void setEncryption(bool control, bool data);
    // Rates in bits per second: `maximum` caps the whole transfer across all
    // connections (0 means no cap). Without congestion control the rate is the
    // maximum from the first byte; with it, the rate begins at `start` (0, or
    // a start above the maximum, begins at the maximum).
    void setBandwidth(std::uint64_t maximum, std::uint64_t start);
    // Unit size: the smallest share of the rate a connection waits for before
    // it sends again while the rate holds it back (bytes, at least 1, at most
    // the block size). Block size: bytes read from a file and handed to a
    // connection at once, kept within 16 KiB and 2 MiB.
    void setLimits(int unitSize, int blockSize);
    // Files per connection whose reading starts ahead (the kernel is told to
    // read them in) while the current one is still sending; 0 turns it off,
    // at most 64.
    void setEncoders(int count);
    // With congestion control on, the rate starts at the start rate and ramps
    // toward the maximum: every 5 ms in which the connections used up the
    // rate (the link kept up), it grows by the factor 1 + 0.3 x aggression
    // (kept within 1 and 10; x2.5 at 5), so even a loopback link is reached
    // within tens of milliseconds. A connection that breaks backs the rate off
    // by 5 % x aggression, never below the start rate.
    void setCongestionControl(bool enabled, int aggression);
    // A transfer on which no byte moves and the server says nothing for
    // `seconds` (at least 1), or a server that leaves a command unanswered
    // that long, has stalled: the engine drops the connection and tries the
    // file again at once, resuming it (see Control::upload for the attempts).
    void setStallTimeout(int seconds);
    // How long an upload waits for a server that cannot be reached (it
    // restarts, fails over, or the link dropped), in seconds, at least 1:
    // counted from the first attempt that could not reach it, the engine
    // keeps reconnecting with growing pauses and gives up the files not yet
    // sent only once this time has passed without a word from the server.
    void setUnreachableTimeout(int seconds);
    // PEM file of the certificate authorities that FTPS servers are checked
    // against; empty means the system's store. Verification is always on.
    // reset() takes it from the environment variable QZ_CA_FILE when set.
    void setCertificateAuthority(const std::string& caFile);
    // With the check on, and where the server offers HASH with SHA-256 (its
    // FEAT answer lists it), every stored file's SHA-256 is asked of the
    // server and compared with the one taken while sending: a mismatch is a
    // failed attempt, sent again from byte 0. Off, or on other servers, the
    // server's byte count alone checks each file.
    void setServerHashCheck(bool enabled);
    // With pipelining on, each connection writes a file's commands together
    // with the previous file's checks, so a small file costs about two round
    // trips instead of four or more. Off: one command at a time. Either way
    // the engine's own connections carry every file, passive or active, with
    // plain FTP or FTPS on control and data; TLS on the control connection
    // only goes one command at a time over libcurl's.
    void setPipelining(bool enabled);

    // Every option as name and display text. With showPasswords false the
    // password reads "********" (empty stays empty).
    // Defaults: "multi threaded"=false, "connections"=1, "username"="",
    // "password"="", "host"="127.0.0.1", "port"=21, "transfer mode"=parallel,
    // "connection mode"=passive, "encrypt control"=false, "encrypt data"=false,
    // "bandwidth maximum"=0 bit/s, "bandwidth start"=0 bit/s, "unit size"=1024,
    // "block size"=1048576, "encoders"=1, "congestion control"=false,
    // "congestion aggression"=5, "stall timeout"=30 (seconds),
    // "unreachable timeout"=120 (seconds), "ca file"=$QZ_CA_FILE or "",
    // "server hash check"=true, "pipelining"=true.
    std::map<std::string, std::string> getMap(bool showPasswords) const;

    bool multiThreaded = false;
    int connections = 1;
    std::string username;
    std::string password;
    std::string host = "127.0.0.1";
    std::uint16_t port = 21;
    ETransferMode transferMode = ETransferMode::eParallel;
    EConnectionMode connectionMode = EConnectionMode::ePassive;
    bool encryptControl = false;
    bool encryptData = false;
    std::uint64_t bandwidthMaximum = 0;
    std::uint64_t bandwidthStart = 0;
    int unitSize = 1024;
    int blockSize = 1048576;
    int encoders = 1;
    bool congestionControl = false;
    int congestionAggression = 5;
    int stallTimeout = 30;
    int unreachableTimeout = 120;
    std::string caFile;
    bool serverHashCheck = true;
    bool pipelining = true;

    // Connections the engine will open for this configuration.
    int effectiveConnections() const;
    // This configuration with every value brought into the range its setter
    // keeps it in, as the setter would have: a field set directly skips that.
    // A qz::Control works with its options normalized.
    Options normalized() const;

private:
    struct DefaultsTag {};
    explicit Options(DefaultsTag);
};

}  // namespace qz
