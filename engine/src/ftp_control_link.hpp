#pragma once
// A logged-in control connection that we speak on ourselves. libcurl still
// connects, logs in and (for FTPS) does the TLS handshake and the certificate
// check; it then hands the connection over (CURLOPT_CONNECT_ONLY), and every
// later byte goes through curl_easy_send / curl_easy_recv, so that commands
// can be written several at a time.
//
//   auto link = CurlControlLink::login({"127.0.0.1", 2121, "user", "secret"});
//   link->send("TYPE I\r\nFEAT\r\n", 14);   // IoResult{EIo::eDone, 14}
//   pollfd p{link->socket(), POLLIN, 0};
//
// With `tls`, the login asks for TLS on the control connection ("AUTH TLS")
// and libcurl checks the server against the CA file; with `protectData` as
// well ("PROT P"), dataTls() gives what a data connection needs to resume the
// control connection's session. Without it the data goes plain ("PROT C").

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace qz {

enum class EIo : int {
    eDone,        // `bytes` were moved
    eWouldBlock,  // nothing can move now; wait for the socket
    eClosed,      // the server closed the connection
    eFailed,      // the connection broke
};

struct IoResult {
    EIo state = EIo::eFailed;
    std::size_t bytes = 0;
};

// What a TLS data connection needs: a context pinned to the control
// connection's protocol version, and its session to resume. The link owns both.
struct DataTls {
    SSL_CTX* context = nullptr;
    SSL_SESSION* session = nullptr;
    std::string host;  // the certificate of a session that is not resumed must name it
};

struct FtpLogin {
    std::string host;
    std::uint16_t port = 21;
    std::string user;
    std::string password;
    bool tls = false;               // on the control connection
    bool protectData = false;       // and on the data connections
    std::string caFile;             // "" for the system's certificate store
    long replyTimeoutSeconds = 30;  // for each reply of the login
    // Set from another thread, it ends a login under way (a login on a
    // thread of its own that nobody waits for any more).
    std::shared_ptr<std::atomic<bool>> cancelled;
};

// Why a login failed. The message names the server and the user; the
// fields tell a server that is away from one that refused us.
class LoginError : public std::runtime_error {
public:
    LoginError(const std::string& message, std::string why, int code, std::string lastReply, bool closedUnheard)
        : std::runtime_error(message),
          cause(std::move(why)),
          replyCode(code),
          reply(std::move(lastReply)),
          unheard(closedUnheard) {}
    std::string cause;  // libcurl's words, with the server's reply where it adds to them
    int replyCode;      // of the server's last reply, 0 when it sent none
    std::string reply;  // that reply's line
    bool unheard;       // the server closed the connection before it said a word
};

class ControlLink {
public:
    virtual ~ControlLink() = default;
    virtual int socket() const = 0;
    virtual IoResult send(const char* data, std::size_t length) = 0;
    virtual IoResult receive(char* data, std::size_t capacity) = 0;
    // What broke the connection, after eFailed.
    virtual std::string fault() const = 0;
    // nullptr on a plain connection.
    virtual const DataTls* dataTls() = 0;
};

class CurlControlLink : public ControlLink {
public:
    // Throws LoginError when the connection or the login fails.
    static std::unique_ptr<CurlControlLink> login(const FtpLogin& login);
    ~CurlControlLink() override;
    CurlControlLink(const CurlControlLink&) = delete;
    CurlControlLink& operator=(const CurlControlLink&) = delete;

    int socket() const override { return socket_; }
    IoResult send(const char* data, std::size_t length) override;
    IoResult receive(char* data, std::size_t capacity) override;
    std::string fault() const override { return fault_; }
    const DataTls* dataTls() override;

private:
    CurlControlLink() = default;
    static CURLcode watchTls(CURL* easy, void* context, void* link);
    static void keepHandshake(const SSL* ssl, int where, int result);

    CURL* easy_ = nullptr;
    SSL* controlSsl_ = nullptr;  // libcurl's, alive as long as the connection; only read
    bool tls_ = false;
    std::string caFile_;
    DataTls dataTls_;
    int socket_ = -1;
    std::string fault_;
};

}  // namespace qz
