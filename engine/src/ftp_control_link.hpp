#pragma once
// A logged-in control connection that we speak on ourselves. libcurl still
// connects, logs in and (for FTPS) does the TLS handshake and the certificate
// check; it then hands the connection over (CURLOPT_CONNECT_ONLY), and every
// later byte goes through curl_easy_send / curl_easy_recv, so that commands
// can be written several at a time.
//
//   auto link = CurlControlLink::login("127.0.0.1", 2121, "user", "secret");
//   link->send("TYPE I\r\nFEAT\r\n", 14);   // IoResult{EIo::eDone, 14}
//   pollfd p{link->socket(), POLLIN, 0};
//
// Plain FTP only for now.

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

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

class ControlLink {
public:
    virtual ~ControlLink() = default;
    virtual int socket() const = 0;
    virtual IoResult send(const char* data, std::size_t length) = 0;
    virtual IoResult receive(char* data, std::size_t capacity) = 0;
    // What broke the connection, after eFailed.
    virtual std::string fault() const = 0;
};

class CurlControlLink : public ControlLink {
public:
    // Throws qz::Exception ("connect") with libcurl's words and the server's
    // last reply when the connection or the login fails.
    static std::unique_ptr<CurlControlLink> login(const std::string& host, std::uint16_t port,
                                                  const std::string& user, const std::string& password);
    ~CurlControlLink() override;
    CurlControlLink(const CurlControlLink&) = delete;
    CurlControlLink& operator=(const CurlControlLink&) = delete;

    int socket() const override { return socket_; }
    IoResult send(const char* data, std::size_t length) override;
    IoResult receive(char* data, std::size_t capacity) override;
    std::string fault() const override { return fault_; }

private:
    CurlControlLink() = default;

    CURL* easy_ = nullptr;
    int socket_ = -1;
    std::string fault_;
};

}  // namespace qz
