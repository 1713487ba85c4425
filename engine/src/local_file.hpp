#pragma once
// Opening a queued file for reading without ever blocking on it. Between
// queueing and sending, a path may have become a FIFO (whose open waits for
// a writer), a socket or a device: those are refused by name instead.
//
//   OpenedFile f = openQueuedFile(path);
//   if (f.fd < 0) fail("\"" + path + "\" " + f.fault);   // e.g. "is no longer a regular file: it is a FIFO"
//   ... pread(f.fd, ...), f.info.st_size ...; ::close(f.fd);
//
// The descriptor is non-blocking, which changes nothing for a regular file.
// A file on a network mount that stopped answering can still hold a read in
// the kernel; no open flag prevents that.

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "hash_worker.hpp"

namespace qz {

struct OpenedFile {
    int fd = -1;          // -1 when refused
    struct stat info {};  // of the open file
    std::string fault;    // why it was refused, to follow the quoted path
};

OpenedFile openQueuedFile(const std::string& path);

// Reading an opened file for sending, each byte hashed once from byte 0
// although libcurl may go back and read a part again. A file that changes
// under the reader is named: `fault` then says how, to follow the quoted
// path, e.g. "shrank during the upload to 10 of 20 bytes".
//
//   std::int64_t n = readForSending(fd, position, size, buffer, room, digest, fault);   // -1: see fault

// Up to `room` bytes from `position` (below `size`) into `buffer`; -1 when
// the file could not be read or ends early.
std::int64_t readForSending(int fd, std::uint64_t position, std::uint64_t size, char* buffer, std::size_t room,
                            QueuedDigest& digest, std::string& fault);
// Has the bytes before `end` that `digest` has not covered hashed (a resumed
// file's hash covers the part the server holds already).
bool hashUpTo(int fd, QueuedDigest& digest, std::uint64_t end, std::string& fault);
// Why a file could not be read for its hash, `error` being errno (0: it ended early).
std::string unreadableForHash(int error);
// Whether the file holds more than `size` bytes now.
bool grewBeyond(int fd, std::uint64_t size);
// Tells the kernel that the file's first blocks will be read soon.
void adviseReadAhead(const std::string& path);

}  // namespace qz
