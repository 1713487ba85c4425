#include "ftp_control_link.hpp"

#include "connection_values.hpp"
#include "sigpipe_held.hpp"

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

// Where a TLS context of libcurl's knows the link that waits for its handshake.
int linkIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int stopIfCancelled(void* cancelled, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(cancelled)->load() ? 1 : 0;
}

}  // namespace

// libcurl keeps the SSL object of a CONNECT_ONLY connection to itself once the
// login is done (CURLINFO_TLS_SSL_PTR then answers nothing), so it is taken
// when its handshake completes.
CURLcode CurlControlLink::watchTls(CURL*, void* context, void* link) {
    auto* ctx = static_cast<SSL_CTX*>(context);
    SSL_CTX_set_ex_data(ctx, linkIndex(), link);
    SSL_CTX_set_info_callback(ctx, keepHandshake);
    return CURLE_OK;
}

void CurlControlLink::keepHandshake(const SSL* ssl, int where, int) {
    if ((where & SSL_CB_HANDSHAKE_DONE) == 0) return;
    auto* link = static_cast<CurlControlLink*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), linkIndex()));
    // OpenSSL hands the object as const here; the link only reads its session.
    if (link) link->controlSsl_ = const_cast<SSL*>(ssl);
}

std::unique_ptr<CurlControlLink> CurlControlLink::login(const FtpLogin& login) {
    const std::string& host = login.host;
    const std::uint16_t port = login.port;
    std::unique_ptr<CurlControlLink> link(new CurlControlLink);
    link->tls_ = login.tls && login.protectData;
    link->caFile_ = login.caFile;
    link->dataTls_.host = host;
    link->easy_ = curl_easy_init();
    if (!link->easy_) throw LoginError("libcurl cannot make a handle", "libcurl cannot make a handle", 0, "", false);
    CURL* e = link->easy_;
    const std::string server = serverText(host, port);
    const std::string url = "ftp://" + server + "/";
    char error[CURL_ERROR_SIZE] = {};
    LastReply last;
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_USERNAME, login.user.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, login.password.c_str());
    if (login.tls) {
        // "PROT C" for plain data connections, "PROT P" for protected ones.
        curl_easy_setopt(e, CURLOPT_USE_SSL,
                         static_cast<long>(login.protectData ? CURLUSESSL_ALL : CURLUSESSL_CONTROL));
        curl_easy_setopt(e, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!login.caFile.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, login.caFile.c_str());
        if (login.protectData) {
            curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, watchTls);
            curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, link.get());
        }
    }
    curl_easy_setopt(e, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, 15L);
    curl_easy_setopt(e, CURLOPT_SERVER_RESPONSE_TIMEOUT, login.replyTimeoutSeconds);
    if (login.cancelled) {
        curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, stopIfCancelled);
        curl_easy_setopt(e, CURLOPT_XFERINFODATA, login.cancelled.get());
    }
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, keepLastLine);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &last);
    if (login.tls) {
        // TLS 1.2 first, as for the session's connections: its sessions can be
        // resumed by every data connection, where servers may hand out TLS 1.3
        // tickets that are good for one resumption each. A server that speaks
        // TLS 1.3 only gets it.
        // libcurl takes the lowest and the highest version as one value.
        curl_easy_setopt(e, CURLOPT_SSLVERSION,
                         // NOLINTNEXTLINE(bugprone-suspicious-enum-usage)
                         static_cast<long>(CURL_SSLVERSION_TLSv1_2 | CURL_SSLVERSION_MAX_TLSv1_2));
    }
    CURLcode rc = curl_easy_perform(e);
    if (rc == CURLE_SSL_CONNECT_ERROR && login.tls) {
        curl_easy_setopt(e, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
        error[0] = '\0';
        last.line.clear();
        rc = curl_easy_perform(e);
    }
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, nullptr);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, nullptr);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, nullptr);
    long code = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &code);
    const auto failed = [&](const std::string& cause, const std::string& reply, bool unheard) {
        return LoginError("cannot log in to ftp server " + server + " as \"" + login.user + "\": " + cause, cause,
                          reply.empty() ? 0 : static_cast<int>(code), reply, unheard);
    };
    // Results of a connection the server dropped before it said anything.
    const bool droppedUnheard = rc == CURLE_RECV_ERROR || rc == CURLE_GOT_NOTHING || rc == CURLE_WEIRD_SERVER_REPLY ||
                                rc == CURLE_SEND_ERROR;
    if (rc != CURLE_OK) {
        std::string cause = error[0] ? error : curl_easy_strerror(rc);
        if (!last.line.empty() && cause.find(last.line) == std::string::npos &&
            (last.line[0] == '4' || last.line[0] == '5')) {
            cause += " (server said: " + last.line + ")";
        }
        throw failed(cause, last.line, last.line.empty() && droppedUnheard);
    }
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(e, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK || socket == CURL_SOCKET_BAD) {
        throw failed("libcurl kept no control connection", "", false);
    }
    if (link->tls_ && !link->controlSsl_) throw failed("the TLS session of the login cannot be reached", "", false);
    link->socket_ = static_cast<int>(socket);
    return link;
}

CurlControlLink::~CurlControlLink() {
    SSL_SESSION_free(dataTls_.session);
    SSL_CTX_free(dataTls_.context);
    curl_easy_cleanup(easy_);
}

const DataTls* CurlControlLink::dataTls() {
    if (!tls_) return nullptr;
    if (!dataTls_.context) {
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        // Without a context the data connection fails by name; it never goes plain.
        if (!ctx) return &dataTls_;
        // A data connection that spoke another version could not resume the session.
        const int version = SSL_version(controlSsl_);
        SSL_CTX_set_min_proto_version(ctx, version);
        SSL_CTX_set_max_proto_version(ctx, version);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        const bool trusted = caFile_.empty() ? SSL_CTX_set_default_verify_paths(ctx) == 1
                                             : SSL_CTX_load_verify_locations(ctx, caFile_.c_str(), nullptr) == 1;
        if (!trusted) {
            SSL_CTX_free(ctx);
            return &dataTls_;
        }
        dataTls_.context = ctx;
    }
    // The latest session: a TLS 1.3 server hands its tickets after the handshake.
    SSL_SESSION_free(dataTls_.session);
    dataTls_.session = SSL_get1_session(controlSsl_);
    return &dataTls_;
}

IoResult CurlControlLink::send(const char* data, std::size_t length) {
    const SigpipeHeld held;
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
