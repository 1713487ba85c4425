#include "ftp_data_connection.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "sigpipe_held.hpp"

namespace qz {

namespace {

constexpr std::size_t kMostDrainedAtOnce = 256 * 1024;

std::string tlsError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return errno != 0 ? std::strerror(errno) : "the connection ended";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// A small file's last segment must not wait for the server's delayed
// acknowledgement of the one before (over TLS, every file did).
void noDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

bool DataConnection::open(const sockaddr_storage& peer, socklen_t length, const DataTls* tls) {
    abort();
    fault_.clear();
    resumed_ = false;
    receiving_ = false;
    wantRead_ = false;
    tls_ = tls;
    fd_.reset(::socket(peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd_ || (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&peer), length) != 0 && errno != EINPROGRESS)) {
        failWith(std::strerror(errno));
        return false;
    }
    noDelay(fd_.get());
    state_ = EState::eConnecting;
    return prepareTls();
}

bool DataConnection::listen(const sockaddr_storage& local, const sockaddr_storage& server, const DataTls* tls) {
    abort();
    fault_.clear();
    resumed_ = false;
    receiving_ = false;
    wantRead_ = false;
    tls_ = tls;
    server_ = server;
    sockaddr_storage address = local;
    socklen_t length = local.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (local.ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = 0;
    } else {
        reinterpret_cast<sockaddr_in*>(&address)->sin_port = 0;
    }
    // No TCP_NODELAY here: a listening socket sends nothing; the accepted one gets it.
    fd_.reset(::socket(local.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd_ || ::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(fd_.get(), 1) != 0 || ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        failWith(std::string("cannot listen for the server's data connection: ") + std::strerror(errno));
        return false;
    }
    listeningPort_ = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                                         : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    state_ = EState::eListening;
    return true;
}

// The server's connection, once it came; one from another address is closed
// unread, so that nobody else can bring the file's bytes or take them.
EIo DataConnection::acceptServer() {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        UniqueFd accepted(
            ::accept4(fd_.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!accepted) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return EIo::eWouldBlock;
            return failWith(std::string("cannot take the server's data connection: ") + std::strerror(errno));
        }
        const bool fromServer = peer.ss_family == server_.ss_family &&
                                (peer.ss_family == AF_INET6
                                     ? std::memcmp(&reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr,
                                                   &reinterpret_cast<const sockaddr_in6*>(&server_)->sin6_addr,
                                                   sizeof(in6_addr)) == 0
                                     : reinterpret_cast<sockaddr_in*>(&peer)->sin_addr.s_addr ==
                                           reinterpret_cast<const sockaddr_in*>(&server_)->sin_addr.s_addr);
        if (!fromServer) continue;
        fd_ = std::move(accepted);  // the listener is closed: nobody else gets in
        noDelay(fd_.get());
        state_ = EState::eConnecting;
        if (!prepareTls()) return EIo::eFailed;
        state_ = ssl_ ? EState::eHandshaking : EState::eOpen;
        return progress();
    }
}

// TLS as the client on the data connection, whichever side connected.
bool DataConnection::prepareTls() {
    if (!tls_) return true;
    ssl_ = SSL_new(tls_->context);
    if (!ssl_ || SSL_set_fd(ssl_, fd_.get()) != 1 || (tls_->session && SSL_set_session(ssl_, tls_->session) != 1)) {
        failWith(tlsError());
        return false;
    }
    SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A session that is not resumed brings a certificate, which must name the server.
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
    in6_addr address{};
    const bool ip = ::inet_pton(AF_INET, tls_->host.c_str(), &address) == 1 ||
                    ::inet_pton(AF_INET6, tls_->host.c_str(), &address) == 1;
    const int named = ip ? X509_VERIFY_PARAM_set1_ip_asc(param, tls_->host.c_str())
                         : X509_VERIFY_PARAM_set1_host(param, tls_->host.c_str(), 0);
    if (named != 1) {
        failWith("the server's name cannot be checked: " + tls_->host);
        return false;
    }
    return true;
}

EIo DataConnection::failWith(std::string why) {
    fault_ = std::move(why);
    abort();
    state_ = EState::eFailed;
    return EIo::eFailed;
}

// What a TLS call's result means for the state: eDone when it succeeded.
EIo DataConnection::tlsStep(int result) {
    if (result > 0) return EIo::eDone;
    const int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        wantRead_ = error == SSL_ERROR_WANT_READ;
        return EIo::eWouldBlock;
    }
    return EIo::eFailed;
}

EIo DataConnection::progress() {
    const SigpipeHeld held;
    switch (state_) {
        case EState::eListening: return acceptServer();
        case EState::eConnecting: {
            pollfd p{fd_.get(), POLLOUT, 0};
            if (::poll(&p, 1, 0) <= 0) return EIo::eWouldBlock;
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) return failWith(std::strerror(error));
            state_ = ssl_ ? EState::eHandshaking : EState::eOpen;
            return progress();
        }
        case EState::eHandshaking: {
            errno = 0;
            const EIo step = tlsStep(SSL_connect(ssl_));
            if (step == EIo::eFailed) return failWith("the TLS handshake failed: " + tlsError());
            if (step == EIo::eWouldBlock) return step;
            resumed_ = SSL_session_reused(ssl_) == 1;
            state_ = EState::eOpen;
            wantRead_ = false;
            return EIo::eDone;
        }
        case EState::eClosing: {
            errno = 0;
            int result = SSL_shutdown(ssl_);
            if (result == 0) {
                // Our close_notify is out; the server's, and any ticket it sent
                // meanwhile, must be read, or closing with unread bytes resets
                // the connection before the server has read the last of the file.
                char sink[4096];
                // A server that streams bytes back must not hold the caller
                // here: the rest is read at the next turn.
                std::size_t drained = 0;
                while ((result = SSL_read(ssl_, sink, sizeof sink)) > 0) {
                    drained += static_cast<std::size_t>(result);
                    if (drained >= kMostDrainedAtOnce) {
                        wantRead_ = true;
                        return EIo::eWouldBlock;
                    }
                }
                if (SSL_get_error(ssl_, result) != SSL_ERROR_ZERO_RETURN) {
                    const EIo step = tlsStep(result);
                    if (step == EIo::eWouldBlock) return step;
                    // The server closed without close_notify: its replies judge the file.
                }
            } else if (result < 0 && tlsStep(result) == EIo::eWouldBlock) {
                return EIo::eWouldBlock;
            }
            abort();
            state_ = EState::eClosed;
            return EIo::eDone;
        }
        case EState::eFailed: return EIo::eFailed;
        case EState::eIdle:
        case EState::eOpen:
        case EState::eClosed: return EIo::eDone;
    }
    return EIo::eDone;
}

IoResult DataConnection::write(const char* data, std::size_t length) {
    if (state_ != EState::eOpen) return {EIo::eWouldBlock, 0};
    if (ssl_) {
        // Each SSL_write takes one record; SIGPIPE is held once for all of them.
        const SigpipeHeld held;
        std::size_t written = 0;
        while (written < length) {
            errno = 0;
            const int n = SSL_write(ssl_, data + written,
                                    static_cast<int>(std::min<std::size_t>(length - written, 1 << 30)));
            const EIo step = tlsStep(n);
            if (step == EIo::eDone) {
                written += static_cast<std::size_t>(n);
                continue;
            }
            if (step == EIo::eWouldBlock) break;
            // A broken connection fails the file: what went out of this block no longer counts.
            failWith("TLS: " + tlsError());
            return {EIo::eFailed, 0};
        }
        if (written == 0) return {EIo::eWouldBlock, 0};
        return {EIo::eDone, written};
    }
    const ssize_t n = ::send(fd_.get(), data, length, MSG_NOSIGNAL);
    if (n >= 0) return {EIo::eDone, static_cast<std::size_t>(n)};
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return {EIo::eWouldBlock, 0};
    failWith(std::strerror(errno));
    return {EIo::eFailed, 0};
}

IoResult DataConnection::read(char* data, std::size_t capacity) {
    if (state_ != EState::eOpen) return {EIo::eWouldBlock, 0};
    if (ssl_) {
        const SigpipeHeld held;
        errno = 0;
        ERR_clear_error();
        const int n = SSL_read(ssl_, data, static_cast<int>(std::min<std::size_t>(capacity, 1 << 30)));
        if (n > 0) return {EIo::eDone, static_cast<std::size_t>(n)};
        const int error = SSL_get_error(ssl_, n);
        const bool endedWithoutNotify = (error == SSL_ERROR_SYSCALL && errno == 0) ||
                                        (error == SSL_ERROR_SSL &&
                                         ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING);
        if (error == SSL_ERROR_ZERO_RETURN || endedWithoutNotify) {
            abort();
            state_ = EState::eClosed;
            return {EIo::eClosed, 0};
        }
        const EIo step = tlsStep(n);
        if (step == EIo::eWouldBlock) return {step, 0};
        failWith("TLS: " + tlsError());
        return {EIo::eFailed, 0};
    }
    const ssize_t n = ::recv(fd_.get(), data, capacity, 0);
    if (n > 0) return {EIo::eDone, static_cast<std::size_t>(n)};
    if (n == 0) {
        abort();
        state_ = EState::eClosed;
        return {EIo::eClosed, 0};
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return {EIo::eWouldBlock, 0};
    failWith(std::strerror(errno));
    return {EIo::eFailed, 0};
}

void DataConnection::finish() {
    if (state_ != EState::eOpen) return;
    if (ssl_) {
        state_ = EState::eClosing;
        progress();
        return;
    }
    ::shutdown(fd_.get(), SHUT_WR);
    abort();
    state_ = EState::eClosed;
}

void DataConnection::abort() {
    if (ssl_) SSL_free(ssl_);
    ssl_ = nullptr;
    fd_.reset();
    if (state_ != EState::eFailed) state_ = EState::eIdle;
}

short DataConnection::events() const {
    if (!fd_) return 0;
    if (state_ == EState::eListening) return POLLIN;
    if (state_ == EState::eOpen) return receiving_ ? POLLIN : POLLOUT;
    if (state_ == EState::eConnecting) return POLLOUT;
    return wantRead_ ? POLLIN : POLLOUT;
}

}  // namespace qz
