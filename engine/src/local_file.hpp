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

#include <string>

namespace qz {

struct OpenedFile {
    int fd = -1;            // -1 when refused
    struct stat info {};    // of the open file
    std::string fault;      // why it was refused, to follow the quoted path
};

OpenedFile openQueuedFile(const std::string& path);

}  // namespace qz
