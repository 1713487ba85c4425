// The digest of blocks handed over in any mix of sizes: short ones may be
// hashed on the caller's thread while longer ones of the same file still
// wait for the worker, and the bytes must still be hashed in file order,
// each from its pooled block as it was when handed over.
#include "hash_worker.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/digest.hpp"
#include "support/temp_dir.hpp"

namespace {

std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 977) & 0xff);
    return bytes;
}

struct Mix {
    const char* name;
    std::size_t caughtUp;             // bytes the worker reads from the file first
    std::vector<std::size_t> blocks;  // then handed over, in this order
};

class HashWorker : public qztest::TempDirTest {};

TEST_F(HashWorker, BlocksOfAnySizeAreHashedInFileOrder) {
    const std::vector<Mix> mixes = {
        {"short only", 0, {1, 16 * 1024, 64 * 1024, 7}},
        {"long then short", 0, {1024 * 1024, 5, 64 * 1024, 300 * 1024, 1}},
        {"short between long", 0, {100 * 1024, 10, 200 * 1024, 64 * 1024 + 1, 3}},
        {"after a catch-up", 3 * 1024 * 1024 + 5, {10, 128 * 1024, 20}},
        // A block still queued must not come back from the pool for the next one.
        {"one size again and again", 0, std::vector<std::size_t>(12, 200 * 1024)},
    };
    qz::HashWorker worker(2);
    qz::BlockPool blocks(4 << 20);
    for (const auto& mix : mixes) {
        std::size_t total = mix.caughtUp;
        for (std::size_t b : mix.blocks) total += b;
        const std::string bytes = pattern(total);
        const std::string file = writeFile("source.bin", bytes);
        const int fd = ::open(file.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        qz::QueuedDigest digest(worker);
        ASSERT_TRUE(digest.catchUp(fd, mix.caughtUp));
        std::size_t at = mix.caughtUp;
        for (std::size_t b : mix.blocks) {
            // Each block a little into the pooled one, as a resumed attempt's first may be.
            qz::SharedBlock block = blocks.take(b + 3);
            std::memcpy(block.data() + 3, bytes.data() + at, b);
            digest.add(block, 3, b);
            at += b;
        }
        ::close(fd);
        std::string fault;
        EXPECT_EQ(digest.finish(fault), qztest::sha256File(file)) << mix.name;
        EXPECT_EQ(fault, "") << mix.name;
    }
}

}  // namespace
