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
#include "pipelined_links.hpp"
#include "queued_file.hpp"
#include "remote_targets.hpp"

namespace qz {

class CurlControlLink;

struct Control::Impl {
    Options options;
    GlobalStateAndStats stats;               // stats.fileMap is the queue
    std::vector<std::string> remoteFolders;  // folders to create, parents first
    // What lands where, files and folders. It refers to the local paths in
    // stats.fileMap: the two are cleared together.
    RemoteTargets targets;
    EFolderLinks folderLinks = eSkipFolderLinks;
    unsigned long nextFileNumber = 1;
    StatsCallback callback = nullptr;
    void* callbackUser = nullptr;
    bool connected = false;
    std::string server;  // "host:port" of the FTP server, from connect on
    // The connections to it, logged in at connect; an upload drops those
    // that broke, and logs fresh ones in on threads of their own, up to as
    // many as the server took at connect.
    std::vector<std::unique_ptr<CurlControlLink>> links;
    std::size_t connectionsTaken = 0;
    // Such logins not finished when an upload ended: the next one takes
    // those that finished, disconnect waits for the rest.
    std::vector<PendingLogin> linksLoggingIn;
    // Ends the logins under way and waits for their threads.
    void dropLoginsUnderWay();
    std::uint64_t rateLimit = 0;  // bits per second of the last upload, 0 = none
    std::string lastError;        // the last transfer error, for diagnosis
    // The engine's record of each file in stats.fileMap, by the same number.
    std::map<unsigned long, QueuedFile> files;
    unsigned probeCount = 0;
    bool uploading = false;  // upload is running (the callback may call in)

    // The queue and the connections stay as they are while an upload runs:
    // a progress callback that calls in gets this error.
    void refuseWhileUploading(int line, const std::string& operation) const;

    explicit Impl(const Options& o);
    ~Impl();
};

}  // namespace qz
