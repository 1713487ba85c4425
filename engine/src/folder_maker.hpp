#pragma once
// The folders the files go into, created before the first file: all in one
// write over one connection. The upload waits for them; a server that is
// away is tried again in rounds, one that answers but fails them leaves
// the files meant for them to fail by name.
//
//   FolderMaker folders;
//   if (folders.due(now)) folders.start(pipeline, needed);
//   if (folders.finished()) ...          // once, when the connection answered every MKD
//   folders.failed(answered, why, now, policy)

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "ftp_pipeline.hpp"
#include "retry_policy.hpp"

namespace qz {

class FolderMaker {
public:
    using Clock = std::chrono::steady_clock;

    bool made() const { return made_; }
    // Folders may be asked for now (once a connection is up).
    bool due(Clock::time_point now) const { return !made_ && !by_ && now >= notBefore_; }
    Clock::time_point notBefore() const { return notBefore_; }
    bool askedOn(const FtpPipeline& pipeline) const { return by_ == &pipeline; }

    // Asks `pipeline` for `folders` (parents first, each fits in a command);
    // none: they are made.
    void start(FtpPipeline& pipeline, const std::vector<std::string>& folders);
    // The connection they were asked on has every reply: the number of
    // folders, once; 0 otherwise.
    std::size_t finished();
    // The connection they were asked on stopped (`answered`: the server
    // had said something). Waits for the next round, or ends the wait.
    RetryDecision failed(bool answered, Clock::time_point now, RetryPolicy& policy);
    // The upload gives up: nothing waits for folders any more.
    void giveUp() { made_ = true; }

private:
    bool made_ = false;
    const FtpPipeline* by_ = nullptr;
    std::size_t asked_ = 0;
    int attempts_ = 0;  // failed while the server answered
    Clock::time_point notBefore_;
};

}  // namespace qz
