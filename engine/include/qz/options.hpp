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
    // engine opens up to `connections` connections (at least 1, at most 16).
    void setMultiThreaded(bool enabled, int connections);
    void setUsernameAndPassword(const std::string& user, const std::string& password);
    void setFtpServer(const std::string& host, std::uint16_t port);
    void setMode(ETransferMode transfer, EConnectionMode connection);
    // Explicit TLS (AUTH TLS) on the control connection, and protected data
    // connections (PROT P). Data protection needs control protection.
    void setEncryption(bool control, bool data);
    // Rates in bits per second: `maximum` caps the whole transfer across all
    // connections (0 means no cap); `start` is where the rate begins.
    void setBandwidth(std::uint64_t maximum, std::uint64_t start);
    // Unit size: bytes counted as one step of progress and rate accounting.
    // Block size: bytes read from a file and handed to a connection at once.
    void setLimits(int unitSize, int blockSize);
    // Files read ahead per connection while the previous one is still sending.
    void setEncoders(int count);
    // With congestion control on, the rate starts at the start rate and ramps
    // toward the maximum; aggression (1 to 10) sets how fast it climbs and how
    // hard it backs off when the link stalls.
    void setCongestionControl(bool enabled, int aggression);
    // PEM file of the certificate authorities that FTPS servers are checked
    // against; empty means the system's store. Verification is always on.
    void setCertificateAuthority(const std::string& caFile);

    // Every option as name and display text. With showPasswords false the
    // password reads "********" (empty stays empty).
    // Defaults: "multi threaded"=false, "connections"=1, "username"="",
    // "password"="", "host"="127.0.0.1", "port"=21, "transfer mode"=parallel,
    // "connection mode"=passive, "encrypt control"=false, "encrypt data"=false,
    // "bandwidth maximum"=0 bit/s, "bandwidth start"=0 bit/s, "unit size"=1024,
    // "block size"=1048576, "encoders"=1, "congestion control"=false,
    // "congestion aggression"=5, "ca file"="".
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
    std::string caFile;

    // Connections the engine will open for this configuration.
    int effectiveConnections() const;

private:
    struct DefaultsTag {};
    explicit Options(DefaultsTag);
};

}  // namespace qz
