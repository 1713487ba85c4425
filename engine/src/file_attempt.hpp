#pragma once
// One attempt at a file, from the moment it is opened until the server's
// checks are in: what was read, where the attempt began, and what is known
// of the local file.

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "hash_worker.hpp"
#include "unique_fd.hpp"

namespace qz {

struct Attempt {
    unsigned long number = 0;
    UniqueFd fd;
    std::uint64_t size = 0;
    std::uint64_t offset = 0;    // where this attempt began (the server's size on resume)
    std::uint64_t position = 0;  // next byte to read
    // Not phases, they hold across them: the attempt continues an earlier
    // one, and the rate or the hashing worker holds its reading back.
    bool resumed = false;
    bool paused = false;
    bool checkOnly = false;                // stored already: only its checks are asked again
    std::uint64_t uploaded = 0;            // bytes this attempt sent, once stored
    struct timespec modified {};           // as the file was opened
    std::string remotePath;                // as sent in commands
    std::string localFault;                // the local file changed under us: no retry
    std::shared_ptr<QueuedDigest> digest;  // of the bytes read, from byte 0
    std::string sha256;                    // the digest, once every byte is out
};

}  // namespace qz
