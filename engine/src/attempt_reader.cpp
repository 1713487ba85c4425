#include "attempt_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "control_report.hpp"
#include "ftp_pipeline.hpp"
#include "local_file.hpp"
#include "qz/quoted.hpp"
#include "read_for_sending.hpp"
#include "remote_path.hpp"

namespace qz {

namespace {

bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

std::optional<Attempt> AttemptReader::open(unsigned long number, std::string& fault) {
    QueuedFile& record = files_.at(number);
    const TransferStats& st = record.entry();
    const std::string commandPath = remoteCommandPath(st.remote.full());
    if (commandPath.empty() || commandPath == "/") {
        fault = quoted(st.local.full()) + " has no remote name";
        return std::nullopt;
    }
    if (!fitsInCommand(commandPath)) {
        fault = quoted(st.local.full()) + ": the remote name " + quoted(st.remote.full()) +
                " holds a line break, which FTP cannot carry";
        return std::nullopt;
    }
    OpenedFile opened = openQueuedFile(st.local.full());
    if (!opened.fd) {
        fault = quoted(st.local.full()) + " " + opened.fault;
        return std::nullopt;
    }
    const struct stat& info = opened.info;
    if (static_cast<std::uint64_t>(info.st_size) != st.fileSize) {
        fault = quoted(st.local.full()) + " changed size after it was queued: " + std::to_string(st.fileSize) +
                " bytes then, " + std::to_string(info.st_size) + " now";
        return std::nullopt;
    }
    ::posix_fadvise(opened.fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    bool resume = record.resumeNext();
    if (resume && !record.partOf(info.st_mtim)) {
        // Resuming would join the server's old bytes to the new ones.
        note(Logging::EType::eWarnings, "sending " + quoted(st.remote.full()) +
                                            " from its first byte: the local file changed since the "
                                            "server got a part of it");
        resume = false;
        record.serverHoldsNothing();
    }
    record.beginAttempt();
    Attempt a;
    a.number = number;
    a.fd = std::move(opened.fd);
    a.size = st.fileSize;
    a.resumed = resume;
    a.modified = info.st_mtim;
    a.remotePath = commandPath;
    a.digest = std::make_shared<QueuedDigest>(hasher_);
    return a;
}

// The file's next bytes: their count, 0 once every byte is out and the file
// is as it was opened, or kHeldBack (the rate, the hashing worker) /
// kFailed (localFault says why).
std::int64_t AttemptReader::read(Attempt& a, SharedBlock& block, std::size_t room) {
    a.paused = false;
    QueuedFile& record = files_.at(a.number);
    const std::string& local = record.entry().local.full();
    record.sending();
    if (!hashUpTo(a, a.position)) return PipelineSource::kFailed;
    const std::uint64_t left = a.size - a.position;
    if (left == 0) {
        if (grewBeyond(a.fd.get(), a.size)) {
            a.localFault = quoted(local) + " grew during the upload";
            return PipelineSource::kFailed;
        }
        struct stat info {};
        if (::fstat(a.fd.get(), &info) != 0 || static_cast<std::uint64_t>(info.st_size) != a.size ||
            !sameTime(info.st_mtim, a.modified)) {
            a.localFault = quoted(local) + " changed during the upload";
            return PipelineSource::kFailed;
        }
        record.allOut();
        return 0;
    }
    // Read bytes must be hashed: none is read while the worker is far behind.
    if (!a.digest->hasRoom()) {
        a.paused = true;
        return PipelineSource::kHeldBack;
    }
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(room, left));
    const std::size_t granted = limiter_.grant(wanted, RateLimiter::Clock::now());
    if (granted == 0) {
        a.paused = true;
        return PipelineSource::kHeldBack;
    }
    std::string fault;
    try {
        // Of the size the connection asks for, not the rate's grant: one size per file.
        block = blocks_.take(room);
    } catch (const std::bad_alloc&) {
        limiter_.giveBack(granted);
        a.localFault = quoted(local) + " could not be read: " + std::strerror(ENOMEM);
        return PipelineSource::kFailed;
    }
    const std::int64_t n = readForSending(a.fd.get(), a.position, a.size, block, granted, *a.digest, fault);
    if (n < 0) {
        a.localFault = quoted(local) + " " + fault;
        return PipelineSource::kFailed;
    }
    limiter_.giveBack(granted - static_cast<std::size_t>(n));
    a.position += static_cast<std::uint64_t>(n);
    return n;
}

bool AttemptReader::hashUpTo(Attempt& a, std::uint64_t end) {
    std::string fault;
    if (qz::hashUpTo(a.fd.get(), *a.digest, end, fault)) return true;
    a.localFault = quoted(local(a)) + " " + fault;
    return false;
}

// Bytes the server holds that the local file does not have: its copy is
// not a part of this file, and the file goes whole.
std::uint64_t AttemptReader::resumeAt(Attempt& a, std::optional<std::uint64_t> held) {
    QueuedFile& record = files_.at(a.number);
    const std::string& remote = record.entry().remote.full();
    if (!held || *held > a.size) {
        a.resumed = false;
        record.counts.confirmed = 0;
        if (held) {
            note(Logging::EType::eWarnings, "sending " + quoted(remote) + " from its first byte: the server holds " +
                                                std::to_string(*held) + " bytes of its " + std::to_string(a.size));
        }
        return 0;
    }
    a.offset = a.position = *held;
    record.counts.confirmed = *held;
    if (*held > 0) {
        note(Logging::EType::eWarnings,
             "resuming " + quoted(remote) + " at byte " + std::to_string(*held) + " of " + std::to_string(a.size));
    }
    return *held;
}

}  // namespace qz
