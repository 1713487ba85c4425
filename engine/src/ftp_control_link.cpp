#include "ftp_control_link.hpp"

#include "qz/exception.hpp"

namespace qz {

namespace {

// The server's last reply line, for the login's error message.
struct LastReply {
    std::string line;
};

size_t keepLastLine(char* data, size_t size, size_t count, void* user) {
    const size_t length = size * count;
    std::string line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (!line.empty()) static_cast<LastReply*>(user)->line = line.substr(0, 200);
    return length;
}

}  // namespace

std::unique_ptr<CurlControlLink> CurlControlLink::login(const std::string& host, std::uint16_t port,
                                                        const std::string& user, const std::string& password) {
    std::unique_ptr<CurlControlLink> link(new CurlControlLink);
    link->easy_ = curl_easy_init();
    if (!link->easy_) throw Exception("ftp_control_link.cpp", __LINE__, "connect", "libcurl cannot make a handle", {});
    CURL* e = link->easy_;
    const std::string url = "ftp://" + host + ":" + std::to_string(port) + "/";
    char error[CURL_ERROR_SIZE] = {};
    LastReply last;
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_USERNAME, user.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, password.c_str());
    curl_easy_setopt(e, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(e, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, keepLastLine);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &last);
    const CURLcode rc = curl_easy_perform(e);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, nullptr);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, nullptr);
    if (rc != CURLE_OK) {
        std::string message = host + ":" + std::to_string(port) + ": " + (error[0] ? error : curl_easy_strerror(rc));
        if (!last.line.empty()) message += " (the server said: " + last.line + ")";
        throw Exception("ftp_control_link.cpp", __LINE__, "connect", message, {});
    }
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(e, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK || socket == CURL_SOCKET_BAD) {
        throw Exception("ftp_control_link.cpp", __LINE__, "connect",
                        host + ":" + std::to_string(port) + ": libcurl kept no control connection", {});
    }
    link->socket_ = static_cast<int>(socket);
    return link;
}

CurlControlLink::~CurlControlLink() { curl_easy_cleanup(easy_); }

IoResult CurlControlLink::send(const char* data, std::size_t length) {
    std::size_t sent = 0;
    const CURLcode rc = curl_easy_send(easy_, data, length, &sent);
    if (rc == CURLE_OK) return {EIo::eDone, sent};
    if (rc == CURLE_AGAIN) return {EIo::eWouldBlock, 0};
    fault_ = curl_easy_strerror(rc);
    return {EIo::eFailed, 0};
}

IoResult CurlControlLink::receive(char* data, std::size_t capacity) {
    std::size_t got = 0;
    const CURLcode rc = curl_easy_recv(easy_, data, capacity, &got);
    if (rc == CURLE_OK) return {got == 0 ? EIo::eClosed : EIo::eDone, got};
    if (rc == CURLE_AGAIN) return {EIo::eWouldBlock, 0};
    fault_ = curl_easy_strerror(rc);
    return {EIo::eFailed, 0};
}

}  // namespace qz
