#pragma once
// Blocks of a file's bytes read once and shared by everything that needs
// them: the data connection sends from the block while the hashing worker
// hashes the same bytes, and the block goes back to its pool when the last
// of them lets go. Blocks come in a few sizes (powers of two from 16 KiB)
// and are reused, so that a steady upload allocates none.
//
//   BlockPool pool(8 << 20);               // keeps up to 8 MiB of blocks no one holds
//   SharedBlock block = pool.take(room);   // at least `room` bytes
//   ::pread(fd, block.data(), room, at);
//   SharedBlock forWorker = block;         // one more holder, no copy
//
// Holders may let go on any thread; a block may outlive its pool (it is
// then freed, not kept).

#include <cstddef>
#include <memory>

namespace qz {

class BlockPool;

class SharedBlock {
public:
    SharedBlock() = default;
    ~SharedBlock() { reset(); }
    SharedBlock(const SharedBlock& other) noexcept;
    SharedBlock& operator=(const SharedBlock& other) noexcept;
    SharedBlock(SharedBlock&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    SharedBlock& operator=(SharedBlock&& other) noexcept;

    char* data() const;
    std::size_t capacity() const;
    explicit operator bool() const { return block_ != nullptr; }
    // Lets go of the block.
    void reset() noexcept;

private:
    friend class BlockPool;
    struct Block;
    explicit SharedBlock(Block* block) : block_(block) {}

    Block* block_ = nullptr;
};

class BlockPool {
public:
    // Keeps up to `mostKept` bytes of blocks for reuse.
    explicit BlockPool(std::size_t mostKept);
    ~BlockPool();
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    // A block of at least `room` bytes with no other holder.
    SharedBlock take(std::size_t room);

    struct Shelf;

private:
    std::shared_ptr<Shelf> shelf_;  // the blocks not held, shared with the blocks out
};

}  // namespace qz
