#include "local_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

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
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        f.fault = openFault(errno);
        return f;
    }
    // The path may have been swapped between the look and the open.
    if (::fstat(fd.get(), &f.info) != 0) {
        f.fault = openFault(errno);
    } else if (!S_ISREG(f.info.st_mode)) {
        f.fault = notRegular(f.info.st_mode);
    } else {
        f.fd = std::move(fd);
    }
    return f;
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
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) return;
    // Advice on whatever the path was swapped for since changes nothing.
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_WILLNEED);
}

}  // namespace qz
