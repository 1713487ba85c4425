#pragma once
// One data connection of a pipelined upload, plain or TLS, without
// blocking. A TLS data connection resumes the TLS session of its control
// connection (servers may insist on it) and checks the server's certificate
// itself when the server starts a new session instead.
//
//   DataConnection data;
//   data.open(peer, length, link.dataTls());   // connect begins
//   poll for data.events(); data.progress() until data.isOpen()
//   data.write(bytes, n) ... data.finish(); poll; data.progress() until data.isClosed()

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "ftp_control_link.hpp"
#include "unique_fd.hpp"

namespace qz {

class DataConnection {
public:
    DataConnection() = default;
    ~DataConnection() { abort(); }
    DataConnection(const DataConnection&) = delete;
    DataConnection& operator=(const DataConnection&) = delete;

    // Begins to connect; false (with fault()) when not even that works.
    bool open(const sockaddr_storage& peer, socklen_t length, const DataTls* tls);
    // Active mode: listens on `local`'s address, on a port the kernel picks
    // (listeningPort()), for the server to connect from `server`'s address;
    // a connection from anywhere else is turned away.
    bool listen(const sockaddr_storage& local, const sockaddr_storage& server, const DataTls* tls);
    std::uint16_t listeningPort() const { return listeningPort_; }
    // Connects, shakes hands, or closes, as far as it can now. eFailed with
    // fault() when that broke.
    EIo progress();
    // Bytes of the file; only while isOpen().
    IoResult write(const char* data, std::size_t length);
    // The connection brings bytes from the server (a listing) instead:
    // events() wait for them once it is open.
    void receive() { receiving_ = true; }
    // The server's next bytes; only while isOpen(). eClosed once the server
    // has sent all (a TLS connection closed without close_notify counts:
    // the server's reply on the control connection judges the listing).
    IoResult read(char* data, std::size_t capacity);
    // Every byte is written: closes in order (for TLS with close_notify).
    void finish();
    // Drops the connection at once.
    void abort();

    bool isOpen() const { return state_ == EState::eOpen; }
    bool isClosed() const { return state_ == EState::eClosed; }
    // Connecting, shaking hands, open or closing: there is a socket to poll.
    bool active() const { return static_cast<bool>(fd_); }
    int fd() const { return fd_.get(); }
    short events() const;
    bool resumedTls() const { return resumed_; }
    const std::string& fault() const { return fault_; }

private:
    enum class EState : int { eIdle, eListening, eConnecting, eHandshaking, eOpen, eClosing, eClosed, eFailed };

    EIo failWith(std::string why);
    bool prepareTls();
    EIo acceptServer();
    EIo tlsStep(int result);

    UniqueFd fd_;
    SSL* ssl_ = nullptr;
    EState state_ = EState::eIdle;
    bool wantRead_ = false;
    bool resumed_ = false;
    bool receiving_ = false;
    const DataTls* tls_ = nullptr;
    sockaddr_storage server_{};  // where an active connection must come from
    std::uint16_t listeningPort_ = 0;
    std::string fault_;
};

}  // namespace qz
