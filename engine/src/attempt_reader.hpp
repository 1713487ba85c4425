#pragma once
// The local side of an attempt: opening the queued file for it, and reading
// its bytes as its connection asks for them, under the upload's rate, into
// blocks that the connection sends from and the worker hashes, each byte read
// once; a file that changed under the upload is named.
//
//   AttemptReader reader(files, limiter, connections);
//   std::optional<Attempt> a = reader.open(number, fault);   // none: `fault` names the file
//   std::int64_t n = reader.read(*a, block, room);           // or PipelineSource::kHeldBack / kFailed

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "file_attempt.hpp"
#include "hash_worker.hpp"
#include "queued_file.hpp"
#include "rate_limiter.hpp"
#include "shared_block.hpp"

namespace qz {

class AttemptReader {
public:
    AttemptReader(QueuedFiles& files, RateLimiter& limiter, std::size_t connections)
        : files_(files), limiter_(limiter), blocks_(2 * HashWorker::mostInFlight(connections)), hasher_(connections) {}

    // File `number` opened for its next attempt; none, with `fault` saying
    // why, when it cannot be sent.
    std::optional<Attempt> open(unsigned long number, std::string& fault);
    // The attempt's next bytes (see PipelineSource::read); `a.localFault`
    // says why it failed.
    std::int64_t read(Attempt& a, SharedBlock& block, std::size_t room);
    // The server holds `held` bytes of a file to resume (see
    // PipelineSource::resumeAt): where the attempt goes on.
    std::uint64_t resumeAt(Attempt& a, std::optional<std::uint64_t> held);

private:
    bool hashUpTo(Attempt& a, std::uint64_t end);
    const std::string& local(const Attempt& a) const { return files_.at(a.number).entry().local.full(); }

    QueuedFiles& files_;
    RateLimiter& limiter_;
    // Enough for the blocks the worker holds and those on the sockets.
    BlockPool blocks_;
    HashWorker hasher_;  // outlives the attempts, whose digests it takes
};

}  // namespace qz
