#pragma once
// The SHA-256 of the files being sent, taken on a thread of its own, so that
// hashing never holds up the connections. The worker takes a share of each
// block read for a connection and hashes the bytes the socket sends, with no
// copy (a short block of a file the worker holds nothing of is hashed at once
// instead); the part of a resumed file that the server holds already is read
// by the worker itself, in turns with the other files' blocks. Everything
// but the worker's own thread is the loop's: a QueuedDigest is used on the
// loop's thread only.
//
//   HashWorker worker(connections);
//   QueuedDigest d(worker);
//   if (!d.hasRoom()) pause();               // the worker is far behind
//   d.add(block, from, n);                   // as each block is read (see SharedBlock)
//   d.catchUp(fd, offset);                   // before a resumed attempt's first block
//   std::string fault;
//   std::string sha = d.finish(fault);       // waits for the worker; "" and fault on failure
//
// A QueuedDigest that goes away unfinished drops the blocks still queued.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "shared_block.hpp"
#include "unique_fd.hpp"

namespace qz {

class HashWorker {
public:
    // Bounded to a few MiB of blocks per connection.
    explicit HashWorker(std::size_t connections);
    // Bytes of blocks the worker holds at most for that many connections
    // (one block over, as it takes one more while below).
    static std::size_t mostInFlight(std::size_t connections);
    // Drops what is queued and joins the thread.
    ~HashWorker();
    HashWorker(const HashWorker&) = delete;
    HashWorker& operator=(const HashWorker&) = delete;

    struct File;

private:
    friend class QueuedDigest;
    struct Task {
        std::shared_ptr<File> file;
        SharedBlock block;  // holds bytes that follow the file's hashed ones, or
        std::size_t from = 0;
        std::size_t length = 0;
        UniqueFd fd;  // a descriptor of its own to read up to `end`
        std::uint64_t end = 0;
    };

    bool hasRoom(const File& file) const;
    void add(const std::shared_ptr<File>& file, const SharedBlock& block, std::size_t from, std::size_t length);
    void catchUp(const std::shared_ptr<File>& file, UniqueFd fd, std::uint64_t end);
    std::string finish(File& file, std::string& fault);
    void drop(File& file);

    void work();
    bool hash(Task& task, std::string& fault);
    // With the lock held: the task is done or dropped.
    void retire(Task& task);

    const std::size_t limit_;
    mutable std::mutex mutex_;
    std::condition_variable queued_;  // a task came, or the worker is to stop
    std::condition_variable done_;    // a task was retired
    std::deque<Task> tasks_;
    std::size_t inFlight_ = 0;  // bytes of the queued blocks, whole
    bool stopping_ = false;
    std::thread thread_;
};

class QueuedDigest {
public:
    explicit QueuedDigest(HashWorker& worker);
    ~QueuedDigest();
    QueuedDigest(const QueuedDigest&) = delete;
    QueuedDigest& operator=(const QueuedDigest&) = delete;

    // Bytes handed over so far, from byte 0.
    std::uint64_t covered() const { return covered_; }
    // Whether the worker takes more bytes without running over its bound.
    bool hasRoom() const { return worker_.hasRoom(*file_); }
    // The `length` bytes at `from` in `block` follow those handed over; the
    // worker holds the block until it has hashed them.
    void add(const SharedBlock& block, std::size_t from, std::size_t length);
    // The worker hashes the bytes of `fd` from covered() up to `end`. False,
    // with errno set, when no descriptor of its own could be made.
    bool catchUp(int fd, std::uint64_t end);
    // Waits until the worker has hashed every byte handed over; the digest
    // as 64 lower-case hex digits, or "" with `fault` saying why, to follow
    // the quoted path.
    std::string finish(std::string& fault);

private:
    HashWorker& worker_;
    std::shared_ptr<HashWorker::File> file_;
    std::uint64_t covered_ = 0;
    bool finished_ = false;
    std::string sha256_;
    std::string fault_;
};

// Why a file could not be read for its hash, `error` being errno (0: it ended
// early), to follow the quoted path.
std::string unreadableForHash(int error);

}  // namespace qz
