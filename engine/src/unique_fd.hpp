#pragma once
// Owns one POSIX file descriptor and closes it when it goes, so that no early
// return or exception leaks one and none is closed twice.
//
//   UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
//   if (!fd) return fail(errno);
//   ::pread(fd.get(), ...);
//   return fd.release();   // the caller owns it from here
//
// Closing leaves errno as it was, so that a caller can still report why the
// call before failed.

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace qz {

class UniqueFd {
public:
    UniqueFd() = default;
    // Takes `fd` over; -1 (what a failed call returns) holds nothing.
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it: the caller closes it.
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held, if any, and takes `fd` over.
    void reset(int fd = -1) {
        const int old = std::exchange(fd_, fd);
        if (old < 0) return;
        const int error = errno;
        ::close(old);
        errno = error;
    }

private:
    int fd_ = -1;
};

}  // namespace qz
