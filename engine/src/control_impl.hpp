#pragma once
// The controller's private state, shared by the queue and the transfer code.

#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qz/control.hpp"
#include "qz/exception.hpp"
#include "qz/log.hpp"
#include "control_report.hpp"
#include "connection_pool.hpp"
#include "queued_file.hpp"
#include "remote_targets.hpp"

namespace qz {

struct Control::Impl {
    Options options;
    GlobalStateAndStats stats;               // stats.fileMap is the queue
    std::vector<std::string> remoteFolders;  // folders to create, parents first
    // What lands where, files and folders. It refers to the local paths in
    // stats.fileMap: the two are cleared together.
    RemoteTargets targets;
    EFolderLinks folderLinks = eSkipFolderLinks;
    bool requireVerified = false;
    unsigned long nextFileNumber = 1;
    StatsCallback callback = nullptr;
    void* callbackUser = nullptr;
    // To the FTP server, from connect to disconnect.
    ConnectionPool connections;
    std::uint64_t rateLimit = 0;  // bits per second of the last upload, 0 = none
    std::string lastError;        // the last transfer error, for diagnosis
    // The engine's record of each file in stats.fileMap, by the same number.
    QueuedFiles files;
    unsigned probeCount = 0;
    bool uploading = false;  // upload is running (the callback may call in)

    // The queue and the connections stay as they are while an upload runs:
    // a progress callback that calls in gets this error.
    void refuseWhileUploading(int line, const std::string& operation) const;

    explicit Impl(const Options& o) : options(o.normalized()) {}
};

}  // namespace qz
