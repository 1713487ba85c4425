#include "read_for_sending.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

namespace qz {

std::int64_t readForSending(int fd, std::uint64_t position, std::uint64_t size, const SharedBlock& block,
                            std::size_t room, QueuedDigest& digest, std::string& fault) {
    const ssize_t n = ::pread(fd, block.data(), room, static_cast<off_t>(position));
    if (n < 0) {
        fault = std::string("could not be read: ") + std::strerror(errno);
        return -1;
    }
    if (n == 0) {
        fault = "shrank during the upload to " + std::to_string(position) + " of " + std::to_string(size) + " bytes";
        return -1;
    }
    // Bytes read again (an attempt that went back) are hashed already.
    const std::uint64_t fresh = digest.covered() - position;
    if (fresh >= static_cast<std::uint64_t>(n)) return n;
    // Called from a connection's turn: nothing may be thrown through it.
    try {
        digest.add(block, static_cast<std::size_t>(fresh),
                   static_cast<std::size_t>(n) - static_cast<std::size_t>(fresh));
    } catch (const std::exception& e) {
        fault = std::string("could not be hashed: ") + e.what();
        return -1;
    }
    return n;
}

bool hashUpTo(int fd, QueuedDigest& digest, std::uint64_t end, std::string& fault) {
    if (digest.catchUp(fd, end)) return true;
    fault = unreadableForHash(errno);
    return false;
}

}  // namespace qz
