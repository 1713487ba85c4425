#pragma once
// A TCP server on 127.0.0.1 that misbehaves on purpose: it accepts one
// connection at a time, reads the request, writes a fixed reply (possibly
// cut short) and then closes, stays silent until it is destroyed, or goes on
// sending filler until the client goes away (a gigabyte at most).
//
//   qztest::RawServer server("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort", qztest::RawServer::eClose);

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <stdexcept>
#include <thread>

namespace qztest {

class RawServer {
public:
    enum EAfterReply { eClose, eStaySilent, eKeepSending };

    RawServer(std::string reply, EAfterReply after) : reply_(std::move(reply)), after_(after) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // Unbound, listen would pick a port on every interface.
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener_, 8) != 0) {
            if (listener_ >= 0) ::close(listener_);
            throw std::runtime_error("RawServer: cannot listen on 127.0.0.1");
        }
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~RawServer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

private:
    bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 50) > 0;
    }
    void serve() {
        while (!stop_) {
            if (!readable(listener_)) continue;
            int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) continue;
            std::string request;
            char buf[4096];
            while (!stop_ && request.find("\r\n\r\n") == std::string::npos) {
                if (!readable(fd)) continue;
                ssize_t n = ::read(fd, buf, sizeof buf);
                if (n <= 0) break;
                request.append(buf, static_cast<std::size_t>(n));
            }
            if (!reply_.empty() && ::write(fd, reply_.data(), reply_.size()) < 0) {
                // The client may have gone; nothing to do.
            }
            const std::string filler(64 * 1024, 'x');
            for (std::size_t sent = 0; after_ == eKeepSending && !stop_ && sent < (std::size_t(1) << 30);
                 sent += filler.size()) {
                if (::send(fd, filler.data(), filler.size(), MSG_NOSIGNAL) < 0) break;
            }
            while (after_ == eStaySilent && !stop_) {
                if (readable(fd) && ::read(fd, buf, sizeof buf) <= 0) break;
            }
            ::close(fd);
        }
    }

    std::string reply_;
    EAfterReply after_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace qztest
