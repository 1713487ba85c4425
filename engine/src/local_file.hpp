#pragma once
// Opening a queued file for reading without ever blocking on it. Between
// queueing and sending, a path may have become a FIFO (whose open waits for
// a writer), a socket or a device: those are refused by name instead.
//
//   OpenedFile f = openQueuedFile(path);
//   if (!f.fd) fail("\"" + path + "\" " + f.fault);   // e.g. "is no longer a regular file: it is a FIFO"
//   ... pread(f.fd.get(), ...), f.info.st_size ...   // closed when f.fd goes
//
// The descriptor is non-blocking, which changes nothing for a regular file.
// A file on a network mount that stopped answering can still hold a read in
// the kernel; no open flag prevents that.

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "unique_fd.hpp"

namespace qz {

struct OpenedFile {
    UniqueFd fd;          // holds none when refused
    struct stat info {};  // of the open file
    std::string fault;    // why it was refused, to follow the quoted path
};

OpenedFile openQueuedFile(const std::string& path);

// Whether the file holds more than `size` bytes now.
bool grewBeyond(int fd, std::uint64_t size);
// Tells the kernel that the file's first blocks will be read soon.
void adviseReadAhead(const std::string& path);

}  // namespace qz
