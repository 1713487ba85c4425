// The controller's public operations: the queue, the connections, the
// upload and the line measurement.
#include <unistd.h>

#include <algorithm>

#include "connection_values.hpp"
#include "control_impl.hpp"
#include "connection_pool.hpp"
#include "local_tree.hpp"
#include "probe.hpp"
#include "qz/log.hpp"
#include "qz/rates.hpp"
#include "qz/quoted.hpp"
#include "remote_path.hpp"
#include "upload_loop.hpp"

namespace qz {

namespace {

std::string joinRemote(const std::string& base, const std::string& relative) {
    if (base.empty() || base == ".") return relative;
    if (base.back() == '/') return base + relative;
    return base + "/" + relative;
}

// Refuses, before anything is queued, a name that could not be sent or reported.
void checkRemoteName(const std::string& operation, const std::string& local, const std::string& remote) {
    const std::string problem = remoteNameProblem(remote);
    if (!problem.empty()) {
        raise(__LINE__, operation,
              "cannot queue " + quoted(local) + ": its remote name " + quoted(remote) + " " + problem,
              {{"path", local}, {"remote", remote}});
    }
}

// The files of one queue call, numbered on from the queue. The remote
// targets refer to the local paths in these entries, which reach the queue
// node by node (map::merge), so that nothing they refer to moves.
class StagedFiles {
public:
    explicit StagedFiles(const Control::Impl& impl) : first_(impl.nextFileNumber) {}

    // Adds the file unless it lands on `remote` already.
    void add(RemoteTargets::Batch& batch, LocalFile&& file, std::string remote) {
        const unsigned long number = first_ + files_.size();
        TransferStats& entry = files_[number];
        entry.local = Local(std::move(file.path));
        entry.remote = Remote(std::move(remote));
        entry.fileSize = file.size;
        entry.viaLink = file.viaLink;
        if (!batch.addFile(entry.remote.full(), entry.local.full(), file.identity)) files_.erase(number);
    }

    void enqueue(Control::Impl& impl) {
        for (const auto& [number, entry] : files_) {
            impl.stats.filesTotal += 1;
            impl.stats.totalBytes += entry.fileSize;
        }
        impl.nextFileNumber += files_.size();
        impl.files.makeRoomFor(files_.size());
        for (auto& [number, entry] : files_) impl.files.add(number, entry);
        impl.stats.fileMap.merge(files_);
    }

private:
    const unsigned long first_;
    std::map<unsigned long, TransferStats> files_;
};

}  // namespace

Control::Control(const Options& options) : impl_(std::make_unique<Impl>(options)) {}

Control::~Control() {
    try {
        disconnect();
    } catch (...) {
        // Nothing can be reported from a destructor; the connections are gone either way.
    }
}

void Control::setNewOptions(const Options& options) {
    impl_->refuseWhileUploading(__LINE__, "setNewOptions");
    impl_->options = options.normalized();
}

const Options& Control::getOptions() const { return impl_->options; }

void Control::prepareSingleFile(const Local& file) {
    static const std::string op = "prepareSingleFile";
    impl_->refuseWhileUploading(__LINE__, op);
    LocalFile local = checkLocalFile(op, file.full());
    std::string remote = file.base();
    checkRemoteName(op, local.path, remote);
    RemoteTargets::Batch batch(impl_->targets, op);
    StagedFiles staged(*impl_);
    staged.add(batch, std::move(local), std::move(remote));
    impl_->targets.commit(std::move(batch));
    staged.enqueue(*impl_);
}

void Control::prepareRecursiveDir(const Local& folder, const Remote& remote) {
    static const std::string op = "prepareRecursiveDir";
    impl_->refuseWhileUploading(__LINE__, op);
    const std::string& root = folder.full();
    LocalTree tree = walkLocalTree(op, root, impl_->folderLinks);

    // Everything is checked before anything is queued, so that a refused call leaves no trace.
    RemoteTargets::Batch batch(impl_->targets, op);
    std::vector<std::string> folders;
    const std::string rootName = remoteCommandPath(remote.full());
    if (!rootName.empty() && rootName != "/") {
        checkRemoteName(op, root, remote.full());
        batch.addFolder(remote.full(), root);
        folders.push_back(remote.full());
    }
    for (const auto& f : tree.folders) {
        folders.push_back(joinRemote(remote.full(), f.relative));
        checkRemoteName(op, f.path, folders.back());
        batch.addFolder(folders.back(), f.path);
    }
    StagedFiles staged(*impl_);
    for (; !tree.files.empty(); tree.files.pop_front()) {
        LocalFile& f = tree.files.front();
        std::string name = joinRemote(remote.full(), f.relative);
        checkRemoteName(op, f.path, name);
        staged.add(batch, std::move(f), std::move(name));
    }

    impl_->targets.commit(std::move(batch));
    staged.enqueue(*impl_);
    std::sort(folders.begin(), folders.end());
    impl_->remoteFolders.insert(impl_->remoteFolders.end(), folders.begin(), folders.end());
    for (auto& skipped : tree.skipped) {
        if (Logging::isEnabled(Logging::EType::eTransfers)) {
            SummaryLog::add("qz::Control: skipped " + quoted(skipped.local) + ": " + skipped.reason);
        }
        impl_->stats.skipped.push_back(std::move(skipped));
    }
}

void Control::setFolderLinks(EFolderLinks folderLinks) { impl_->folderLinks = folderLinks; }

void Control::setRequireVerified(bool required) { impl_->requireVerified = required; }

void Control::clearQueue() {
    impl_->refuseWhileUploading(__LINE__, "clearQueue");
    impl_->stats = GlobalStateAndStats();
    impl_->remoteFolders.clear();
    impl_->targets.clear();
    impl_->files.clear();
    impl_->nextFileNumber = 1;
}

void Control::setStatsCallback(StatsCallback callback, void* user) {
    impl_->callback = callback;
    impl_->callbackUser = user;
}

const std::map<unsigned long, TransferStats>& Control::getFileMap() const { return impl_->stats.fileMap; }

const GlobalStateAndStats& Control::getGlobalStateAndStats() const { return impl_->stats; }

std::map<std::string, std::string> Control::getMap() const {
    const auto& s = impl_->stats;
    const auto& o = impl_->options;
    std::uint64_t pending = 0;
    for (const auto& [number, entry] : s.fileMap) {
        if (entry.result == EFileResult::ePending || entry.result == EFileResult::eSending) ++pending;
    }
    return {
        {"server", o.host + ":" + std::to_string(o.port)},
        {"protocol", o.encryptControl || o.encryptData ? "ftps" : "ftp"},
        {"connected", impl_->connections.isOpen() ? "true" : "false"},
        {"connections", std::to_string(o.effectiveConnections())},
        {"connections open", std::to_string(impl_->connections.links().size())},
        {"uploading", impl_->uploading ? "true" : "false"},
        {"files queued", std::to_string(s.filesTotal)},
        {"files done", std::to_string(s.filesDone)},
        {"files failed", std::to_string(s.filesFailed)},
        {"files pending", std::to_string(pending)},
        {"folders queued", std::to_string(impl_->remoteFolders.size())},
        {"bytes queued", std::to_string(s.totalBytes)},
        {"bytes transferred", std::to_string(s.totalBytesTransferred)},
        {"current rate", formatTransferRate(s.currentRate)},
        {"rate limit", impl_->rateLimit ? formatTransferRate(impl_->rateLimit) : "none"},
        {"elapsed seconds", std::to_string(s.elapsedSeconds)},
        {"last error", impl_->lastError},
    };
}

void Control::connect() {
    ConnectionPool& pool = impl_->connections;
    if (pool.isOpen()) return;
    impl_->refuseWhileUploading(__LINE__, "connect");
    const Options& o = impl_->options;
    checkConnectionValues(o);
    std::vector<LoginError> faults;
    try {
        faults = pool.open(o);
    } catch (const LoginError& e) {
        impl_->lastError = e.what();
        std::map<std::string, std::string> diagnostics = getMap();
        diagnostics["ftp server"] = serverText(o.host, o.port);
        diagnostics["ftp reply"] = e.reply;
        raise(__LINE__, "connect", e.what(), diagnostics);
    }
    // A server that takes fewer connections than asked for still gets the
    // upload, over the connections it took.
    const std::size_t taken = pool.taken();
    if (!faults.empty()) {
        note(Logging::EType::eWarnings, "the server took " + std::to_string(taken) + " of " +
                                            std::to_string(taken + faults.size()) +
                                            " connections: " + faults.front().what());
    }
    const bool tls = o.encryptControl || o.encryptData;
    note(Logging::EType::eSummary, std::string("connected to ") + (tls ? "ftps" : "ftp") + " server " + pool.server() +
                                       " as " + quoted(o.username) + " with " + std::to_string(taken) +
                                       " connection(s)" + (o.pipelining ? ", pipelined" : ""));
}

void Control::upload() {
    impl_->refuseWhileUploading(__LINE__, "upload");
    connect();
    // The queue and the connections stay as they are while it runs.
    struct Uploading {
        bool& flag;
        explicit Uploading(bool& f) : flag(f) { flag = true; }
        ~Uploading() { flag = false; }
    } uploading(impl_->uploading);
    Impl& i = *impl_;
    try {
        UploadLoop loop({i.options, i.stats, i.files, i.remoteFolders, i.connections, i.callback, i.callbackUser,
                         i.lastError, i.rateLimit, i.requireVerified});
        loop.run();
    } catch (Exception& e) {
        for (auto& [k, v] : getMap()) e.diagnostics.emplace(k, v);
        throw;
    }
}

void Control::disconnect() {
    impl_->refuseWhileUploading(__LINE__, "disconnect");
    ConnectionPool& pool = impl_->connections;
    if (pool.isOpen()) note(Logging::EType::eSummary, "disconnected from " + pool.server());
    pool.closeAll();
}

std::uint64_t Control::detectApproximateUploadSpeed(bool keepProbeFile) {
    impl_->refuseWhileUploading(__LINE__, "detectApproximateUploadSpeed");
    connect();
    ConnectionPool& pool = impl_->connections;
    const auto failed = [this, &pool](const std::string& why) {
        impl_->lastError = why;
        raise(__LINE__, "detectApproximateUploadSpeed",
              "the probe upload to " + pool.server() + " failed: " + impl_->lastError, getMap());
    };
    if (pool.links().empty()) {
        // Every connection broke since connect: the probe logs one in.
        PipelinedLogins fresh = loginPipelined(impl_->options, 1);
        if (fresh.links.empty()) failed(fresh.faults.front().what());
        pool.add(std::move(fresh.links.front()));
    }
    CurlControlLink* link = pool.links().front();
    const std::string name = ".qz-probe-" + std::to_string(::getpid()) + "-" + std::to_string(++impl_->probeCount);
    const ProbeResult probe = sendProbe(*link, pipelineSettings(impl_->options), name, keepProbeFile);
    // A connection left with replies on the way would confuse the next upload.
    if (!probe.linkUsable) pool.close(link);
    std::string notRemoved = probe.removeRefused;
    if (probe.left) {
        // The connection stopped first: a fresh one deletes it.
        PipelinedLogins fresh = loginPipelined(impl_->options, 1);
        if (fresh.links.empty()) {
            notRemoved = fresh.faults.front().what();
        } else {
            CurlControlLink* other = pool.add(std::move(fresh.links.front()));
            notRemoved = removeProbe(*other, pipelineSettings(impl_->options), name);
            if (!notRemoved.empty()) pool.close(other);
        }
    }
    if (!notRemoved.empty()) {
        note(Logging::EType::eWarnings,
             "the probe file " + quoted(name) + " may be left on " + pool.server() + ": " + notRemoved);
    }
    if (!probe.failure.empty()) failed(probe.failure);
    note(Logging::EType::eSummary, "probe upload of " + std::to_string(probe.held) + " bytes measured " +
                                       formatTransferRate(probe.bitsPerSecond));
    return probe.bitsPerSecond;
}

}  // namespace qz
