#pragma once
// The SHA-256 of a file, taken from the bytes as they are read for sending,
// so that no file is read twice. Bytes must come in file order; a part that
// was sent by an earlier attempt (a resumed file) is read from the local file
// once, for the hash only.
//
//   FileDigest d;
//   d.add(buffer, n);                         // as each block is read
//   if (!d.catchUp(fd, offset)) fail(...);    // before a resumed attempt's first block
//   d.covered() == size → d.finish() == "e3b0c442...b855" (lower-case hex)

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qz {

class FileDigest {
public:
    FileDigest();
    ~FileDigest();
    FileDigest(const FileDigest&) = delete;
    FileDigest& operator=(const FileDigest&) = delete;

    // Bytes that follow those hashed so far.
    void add(const void* data, std::size_t length);
    // Hashes the bytes of `fd` from covered() up to `end`, read with pread.
    // False, with errno set, when the file could not be read that far.
    bool catchUp(int fd, std::uint64_t end);
    // Bytes hashed so far.
    std::uint64_t covered() const { return covered_; }
    // The digest as 64 lower-case hex digits; no byte may be added after it.
    std::string finish();

private:
    struct Context;
    std::unique_ptr<Context> context_;
    std::uint64_t covered_ = 0;
};

}  // namespace qz
