#pragma once
// What an upload works with, and nothing else of the controller.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "connection_pool.hpp"
#include "qz/options.hpp"
#include "qz/stats.hpp"
#include "queued_file.hpp"

namespace qz {

struct UploadContext {
    const Options& options;
    GlobalStateAndStats& stats;  // stats.fileMap: the queue, as the host sees it
    QueuedFiles& files;          // the engine's record of each, by number
    const std::vector<std::string>& remoteFolders;
    ConnectionPool& connections;
    StatsCallback callback;
    void* callbackUser;
    std::string& lastError;    // the last transfer error, for diagnosis
    std::uint64_t& rateLimit;  // bits per second, as it stands
    bool requireVerified;      // a file only the transfer reply confirms fails
};

}  // namespace qz
