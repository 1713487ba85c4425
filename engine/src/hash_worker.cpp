#include "hash_worker.hpp"

#include <fcntl.h>
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>

#include "file_digest.hpp"

namespace qz {

namespace {

// Enough for a connection's next blocks while the worker catches up; a
// worker further behind than this pauses the connection.
constexpr std::size_t kInFlightPerConnection = 4 * 1024 * 1024;
// Bytes of a resumed file's part on the server hashed before other files get a turn.
constexpr std::uint64_t kCatchUpTurn = 1024 * 1024;
// A block this short is hashed on the caller's thread when the worker holds
// nothing of its file: hashing it (tens of microseconds) costs less than
// waking the worker and waiting for it at the end, which is most of the work
// a small file costs.
constexpr std::size_t kHashedAtOnce = 64 * 1024;

}  // namespace

// Touched by the worker alone while tasks of it are queued; `queuedTasks`,
// `dropped` and `fault` only under the lock.
struct HashWorker::File {
    FileDigest digest;
    std::size_t queuedTasks = 0;
    std::size_t inFlight = 0;  // bytes of its queued blocks, whole
    std::size_t catchUps = 0;  // its queued catch-ups
    bool dropped = false;
    std::string fault;
};

HashWorker::HashWorker(std::size_t connections) : limit_(mostInFlight(connections)), thread_([this] { work(); }) {
    // Named for top -H and profilers; nothing depends on it.
    ::pthread_setname_np(thread_.native_handle(), "qz-sha256");
}

std::size_t HashWorker::mostInFlight(std::size_t connections) {
    return std::max<std::size_t>(connections, 1) * kInFlightPerConnection;
}

HashWorker::~HashWorker() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (auto& task : tasks_) retire(task);
        tasks_.clear();
    }
    queued_.notify_all();
    thread_.join();
}

// A file whose catch-up is queued has its blocks hashed only after it: it
// may hold no more than one connection's share, or it would take every byte
// of the bound and pause the other connections until its catch-up is done.
bool HashWorker::hasRoom(const File& file) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inFlight_ < limit_ && (file.catchUps == 0 || file.inFlight < kInFlightPerConnection);
}

void HashWorker::add(const std::shared_ptr<File>& file, const SharedBlock& block, std::size_t from,
                     std::size_t length) {
    bool atOnce = false;
    bool wanted = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // With no task of the file queued the worker does not touch its
        // digest, and only this thread queues new ones.
        atOnce = length <= kHashedAtOnce && file->queuedTasks == 0;
        // After a fault the digest is of no use; a dropped file's is wanted by nobody.
        wanted = !file->dropped && file->fault.empty();
        if (!atOnce) {
            tasks_.push_back({file, block, from, length, UniqueFd(), 0});
            inFlight_ += block.capacity();
            file->inFlight += block.capacity();
            ++file->queuedTasks;
        }
    }
    if (!atOnce) {
        queued_.notify_one();
    } else if (wanted) {
        file->digest.add(block.data() + from, length);
    }
}

void HashWorker::catchUp(const std::shared_ptr<File>& file, UniqueFd fd, std::uint64_t end) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back({file, SharedBlock(), 0, 0, std::move(fd), end});
        ++file->catchUps;
        ++file->queuedTasks;
    }
    queued_.notify_one();
}

std::string HashWorker::finish(File& file, std::string& fault) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&file] { return file.queuedTasks == 0; });
    if (!file.fault.empty()) {
        fault = file.fault;
        return "";
    }
    lock.unlock();
    // Nothing is queued for it any more: the worker is done with the digest.
    return file.digest.finish();
}

void HashWorker::drop(File& file) {
    std::lock_guard<std::mutex> lock(mutex_);
    file.dropped = true;
    for (auto it = tasks_.begin(); it != tasks_.end();) {
        if (it->file.get() != &file) {
            ++it;
            continue;
        }
        retire(*it);
        it = tasks_.erase(it);
    }
}

void HashWorker::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        queued_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (stopping_) return;
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        bool done = true;
        // After a fault the digest is of no use; a dropped file's is wanted by nobody.
        if (!task.file->dropped && task.file->fault.empty()) {
            std::string fault;
            lock.unlock();
            done = hash(task, fault);
            lock.lock();
            if (!fault.empty()) task.file->fault = fault;
        }
        if (stopping_) {
            // The destructor retired what was queued; this one is ours to retire.
            retire(task);
            return;
        }
        if (!done) {
            // A long catch-up takes turns with the other files' blocks, ahead of its own file's.
            const auto own = std::stable_partition(tasks_.begin(), tasks_.end(),
                                                   [&task](const Task& t) { return t.file != task.file; });
            tasks_.insert(own, std::move(task));
            continue;
        }
        retire(task);
        done_.notify_all();
    }
}

// Runs without the lock. False: a catch-up with more to read.
bool HashWorker::hash(Task& task, std::string& fault) {
    FileDigest& digest = task.file->digest;
    try {
        if (!task.fd) {
            digest.add(task.block.data() + task.from, task.length);
            return true;
        }
        const std::uint64_t part = std::min(task.end, digest.covered() + kCatchUpTurn);
        if (!digest.catchUp(task.fd.get(), part)) {
            fault = unreadableForHash(errno);
            return true;
        }
        return digest.covered() >= task.end;
    } catch (const std::exception& e) {
        fault = std::string("could not be hashed: ") + e.what();
        return true;
    }
}

void HashWorker::retire(Task& task) {
    if (task.fd) {
        task.fd.reset();
        --task.file->catchUps;
    }
    inFlight_ -= task.block.capacity();
    task.file->inFlight -= task.block.capacity();
    task.block.reset();
    --task.file->queuedTasks;
}

std::string unreadableForHash(int error) {
    return std::string("could not be read for its SHA-256") +
           (error ? std::string(": ") + std::strerror(error) : std::string(": it shrank"));
}

QueuedDigest::QueuedDigest(HashWorker& worker) : worker_(worker), file_(std::make_shared<HashWorker::File>()) {}

QueuedDigest::~QueuedDigest() { worker_.drop(*file_); }

void QueuedDigest::add(const SharedBlock& block, std::size_t from, std::size_t length) {
    if (length == 0) return;
    worker_.add(file_, block, from, length);
    covered_ += length;
}

bool QueuedDigest::catchUp(int fd, std::uint64_t end) {
    if (covered_ >= end) return true;
    UniqueFd own(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!own) return false;
    try {
        // A task that could not be queued takes the descriptor with it.
        worker_.catchUp(file_, std::move(own), end);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    }
    covered_ = end;
    return true;
}

std::string QueuedDigest::finish(std::string& fault) {
    if (!finished_) {
        finished_ = true;
        sha256_ = worker_.finish(*file_, fault_);
    }
    fault = fault_;
    return sha256_;
}

}  // namespace qz
