#include "shared_block.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace qz {

namespace {

constexpr std::size_t kSmallestBlock = 16 * 1024;

std::size_t sizeFor(std::size_t room) {
    std::size_t size = kSmallestBlock;
    while (size < room) size *= 2;
    return size;
}

}  // namespace

struct SharedBlock::Block {
    Block(std::size_t size, std::shared_ptr<BlockPool::Shelf> home)
        : bytes(new char[size]), capacity(size), shelf(std::move(home)) {}

    std::unique_ptr<char[]> bytes;
    const std::size_t capacity;
    std::atomic<unsigned> holders{1};
    const std::shared_ptr<BlockPool::Shelf> shelf;
};

struct BlockPool::Shelf {
    explicit Shelf(std::size_t most) : mostKept(most) {}

    std::mutex mutex;
    std::vector<std::unique_ptr<SharedBlock::Block>> blocks;  // none held
    std::size_t kept = 0;                                     // their bytes
    const std::size_t mostKept;
    bool open = true;  // its pool is still there
};

SharedBlock::SharedBlock(const SharedBlock& other) noexcept : block_(other.block_) {
    if (block_) block_->holders.fetch_add(1, std::memory_order_relaxed);
}

SharedBlock& SharedBlock::operator=(const SharedBlock& other) noexcept {
    if (this != &other) {
        SharedBlock copy(other);
        *this = std::move(copy);
    }
    return *this;
}

SharedBlock& SharedBlock::operator=(SharedBlock&& other) noexcept {
    if (this != &other) {
        reset();
        block_ = std::exchange(other.block_, nullptr);
    }
    return *this;
}

char* SharedBlock::data() const { return block_->bytes.get(); }

std::size_t SharedBlock::capacity() const { return block_ ? block_->capacity : 0; }

void SharedBlock::reset() noexcept {
    Block* block = std::exchange(block_, nullptr);
    // The last holder's writes to the bytes come before the next taker's.
    if (!block || block->holders.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    std::unique_ptr<Block> owned(block);
    BlockPool::Shelf& shelf = *owned->shelf;
    std::lock_guard<std::mutex> lock(shelf.mutex);
    if (!shelf.open || shelf.kept + owned->capacity > shelf.mostKept) return;
    try {
        shelf.blocks.push_back(std::move(owned));
        shelf.kept += shelf.blocks.back()->capacity;
    } catch (const std::bad_alloc&) {
        // Not kept: freed instead.
    }
}

BlockPool::BlockPool(std::size_t mostKept) : shelf_(std::make_shared<Shelf>(mostKept)) {}

BlockPool::~BlockPool() {
    std::lock_guard<std::mutex> lock(shelf_->mutex);
    shelf_->open = false;
    shelf_->blocks.clear();
    shelf_->kept = 0;
}

SharedBlock BlockPool::take(std::size_t room) {
    const std::size_t size = sizeFor(room);
    {
        std::lock_guard<std::mutex> lock(shelf_->mutex);
        auto& blocks = shelf_->blocks;
        // The most recently returned block of this size: its bytes are likely still in the cache.
        const auto found = std::find_if(blocks.rbegin(), blocks.rend(),
                                        [size](const auto& b) { return b->capacity == size; });
        if (found != blocks.rend()) {
            std::unique_ptr<SharedBlock::Block> block = std::move(*found);
            blocks.erase(std::next(found).base());
            shelf_->kept -= size;
            block->holders.store(1, std::memory_order_relaxed);
            return SharedBlock(block.release());
        }
        // Blocks of other sizes, the oldest first, make room for this one.
        while (!blocks.empty() && shelf_->kept + size > shelf_->mostKept) {
            shelf_->kept -= blocks.front()->capacity;
            blocks.erase(blocks.begin());
        }
    }
    return SharedBlock(new SharedBlock::Block(size, shelf_));
}

}  // namespace qz
