#include "local_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

namespace qz {

namespace {

const char* kindOf(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISDIR(mode)) return "a folder";
    return "not a file";
}

std::string notRegular(mode_t mode) { return std::string("is no longer a regular file: it is ") + kindOf(mode); }

std::string openFault(int error) {
    return std::string(error == ENOENT ? "vanished after it was queued" : "could not be opened") + ": " +
           std::strerror(error);
}

}  // namespace

OpenedFile openQueuedFile(const std::string& path) {
    OpenedFile f;
    // Looked at first, so that a socket (which cannot be opened at all) is
    // named for what it is.
    if (::stat(path.c_str(), &f.info) != 0) {
        f.fault = openFault(errno);
        return f;
    }
    if (!S_ISREG(f.info.st_mode)) {
        f.fault = notRegular(f.info.st_mode);
        return f;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        f.fault = openFault(errno);
        return f;
    }
    // The path may have been swapped between the look and the open.
    if (::fstat(fd, &f.info) != 0) {
        f.fault = openFault(errno);
    } else if (!S_ISREG(f.info.st_mode)) {
        f.fault = notRegular(f.info.st_mode);
    }
    if (!f.fault.empty()) {
        ::close(fd);
        return f;
    }
    f.fd = fd;
    return f;
}

std::int64_t readForSending(int fd, std::uint64_t position, std::uint64_t size, char* buffer, std::size_t room,
                            QueuedDigest& digest, std::string& fault) {
    const ssize_t n = ::pread(fd, buffer, room, static_cast<off_t>(position));
    if (n < 0) {
        fault = std::string("could not be read: ") + std::strerror(errno);
        return -1;
    }
    if (n == 0) {
        fault = "shrank during the upload to " + std::to_string(position) + " of " + std::to_string(size) + " bytes";
        return -1;
    }
    // Bytes read again after libcurl went back are hashed already.
    const std::uint64_t fresh = digest.covered() - position;
    if (fresh >= static_cast<std::uint64_t>(n)) return n;
    // Called from libcurl: nothing may be thrown through it.
    try {
        digest.add(buffer + fresh, static_cast<std::size_t>(n) - static_cast<std::size_t>(fresh));
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

std::string unreadableForHash(int error) {
    return std::string("could not be read for its SHA-256") +
           (error ? std::string(": ") + std::strerror(error) : std::string(": it shrank"));
}

bool grewBeyond(int fd, std::uint64_t size) {
    char extra = 0;
    return ::pread(fd, &extra, 1, static_cast<off_t>(size)) > 0;
}

void adviseReadAhead(const std::string& path) {
    // A file that is no longer one is named when its turn comes; opening a
    // device or a FIFO may do more than read it.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return;
    // Advice on whatever the path was swapped for since changes nothing.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
    ::close(fd);
}

}  // namespace qz
