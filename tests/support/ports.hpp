#pragma once
// Ports on 127.0.0.1 for the servers that tests start.
//
//   std::uint16_t port = qztest::freePort();            // free now; the server binds it next
//   std::uint16_t low = qztest::freePortRange(16);      // low .. low+15 all free
//   while (!qztest::accepting(port)) ...                // the server is up

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <stdexcept>

namespace qztest {

inline sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline bool bindable(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

inline std::uint16_t freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port on 127.0.0.1");
    }
    ::close(fd);
    return ntohs(a.sin_port);
}

// A block below the kernel's ephemeral range, so that no client port lands in it.
inline std::uint16_t freePortRange(int count) {
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> base(20000, 30000);
    for (int tries = 0; tries < 200; ++tries) {
        auto low = static_cast<std::uint16_t>(base(random));
        bool all = true;
        for (int i = 0; i < count && all; ++i) all = bindable(static_cast<std::uint16_t>(low + i));
        if (all) return low;
    }
    throw std::runtime_error("no free passive port range on 127.0.0.1");
}

inline bool accepting(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return up;
}

}  // namespace qztest
