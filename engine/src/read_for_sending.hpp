#pragma once
// Reading an opened file for sending, each byte hashed once from byte 0
// although a resumed attempt may begin past it. A file that changes
// under the reader is named: `fault` then says how, to follow the quoted
// path, e.g. "shrank during the upload to 10 of 20 bytes".
//
//   std::int64_t n = readForSending(fd, position, size, block, room, digest, fault);   // -1: see fault
//   if (!hashUpTo(fd, digest, offset, fault)) ...   // a resumed file: the part the server holds

#include <cstddef>
#include <cstdint>
#include <string>

#include "hash_worker.hpp"
#include "shared_block.hpp"

namespace qz {

// Up to `room` bytes from `position` (below `size`) into `block`, which the
// digest shares for the bytes it has not covered; -1 when the file could not
// be read or ends early.
std::int64_t readForSending(int fd, std::uint64_t position, std::uint64_t size, const SharedBlock& block,
                            std::size_t room, QueuedDigest& digest, std::string& fault);
// Has the bytes before `end` that `digest` has not covered hashed (a resumed
// file's hash covers the part the server holds already).
bool hashUpTo(int fd, QueuedDigest& digest, std::uint64_t end, std::string& fault);

}  // namespace qz
