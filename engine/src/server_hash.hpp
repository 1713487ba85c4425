#pragma once
// The server's side of the hash check: whether its FEAT answer offers HASH
// with SHA-256, and what its HASH reply says. Both come from the server and
// are read strictly: anything but the expected shape is not taken as a hash.
//
//   offersSha256({" MDTM", " HASH CRC32;SHA-1*;SHA-256;"}) == true
//   readHashReply("213 SHA-256 0-12 a948...a447 f.txt", 12)
//       → {EHashReply::eHash, "a948...a447"}
//   hashReplyWait(std::chrono::seconds(30), 1 << 30) == std::chrono::seconds(94)

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qz {

// The lines of a FEAT answer, as the server sent them.
bool offersSha256(const std::vector<std::string>& featLines);

enum class EHashReply : int {
    eHash,        // "213 SHA-256 0-<size> <64 hex digits> <name>": digest holds the hex, lower case
    eRefused,     // the server declined (4xx or 5xx): the file is checked by its size alone
    eUnreadable,  // a reply of any other shape
};

struct HashReply {
    EHashReply kind = EHashReply::eUnreadable;
    std::string digest;
};

// The final line of the reply to "HASH <name>" for a file of `size` bytes.
HashReply readHashReply(const std::string& line, std::uint64_t size);

// How long to wait for the reply to HASH for a file of `size` bytes, where
// `usual` is the wait for any other reply. Servers read the stored file
// when asked and say nothing until its digest is done, which takes minutes
// for a file of many gigabytes.
std::chrono::seconds hashReplyWait(std::chrono::seconds usual, std::uint64_t size);

}  // namespace qz
