#include <algorithm>

#include "control_impl.hpp"
#include "ftp_session.hpp"
#include "local_tree.hpp"
#include "qz/log.hpp"
#include "qz/rates.hpp"
#include "qz/quoted.hpp"
#include "remote_path.hpp"

namespace qz {

void raise(int line, const std::string& operation, const std::string& message,
           std::map<std::string, std::string> diagnostics) {
    throw Exception("qz::Control", line, operation, message, std::move(diagnostics));
}

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

void enqueue(Control::Impl& impl, const LocalFile& file, const std::string& remote) {
    TransferStats entry;
    entry.local = Local(file.path);
    entry.remote = Remote(remote);
    entry.fileSize = file.size;
    entry.viaLink = file.viaLink;
    impl.stats.fileMap.emplace(impl.nextFileNumber++, std::move(entry));
    impl.stats.filesTotal += 1;
    impl.stats.totalBytes += file.size;
}

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
    impl_->options = options;
}

const Options& Control::getOptions() const { return impl_->options; }

void Control::prepareSingleFile(const Local& file) {
    static const std::string op = "prepareSingleFile";
    impl_->refuseWhileUploading(__LINE__, op);
    const LocalFile local = checkLocalFile(op, file.full());
    const std::string remote = file.base();
    checkRemoteName(op, local.path, remote);
    RemoteTargets::Batch batch(impl_->targets, op);
    if (batch.addFile(remote, local.path, local.identity)) enqueue(*impl_, local, remote);
    impl_->targets.commit(std::move(batch));
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
    std::vector<std::pair<const LocalFile*, std::string>> files;
    for (const auto& f : tree.files) {
        std::string name = joinRemote(remote.full(), f.relative);
        checkRemoteName(op, f.path, name);
        if (batch.addFile(name, f.path, f.identity)) files.emplace_back(&f, std::move(name));
    }

    impl_->targets.commit(std::move(batch));
    for (const auto& [file, name] : files) enqueue(*impl_, *file, name);
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

void Control::clearQueue() {
    impl_->refuseWhileUploading(__LINE__, "clearQueue");
    impl_->stats = GlobalStateAndStats();
    impl_->remoteFolders.clear();
    impl_->targets.clear();
    impl_->heldByServer.clear();
    impl_->nextFileNumber = 1;
}

void Control::setStatsCallback(StatsCallback callback, void* user) {
    impl_->callback = callback;
    impl_->callbackUser = user;
}

const std::map<unsigned long, TransferStats>& Control::getFileMap() const {
    return impl_->stats.fileMap;
}

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
        {"connected", impl_->connected ? "true" : "false"},
        {"connections", std::to_string(o.effectiveConnections())},
        {"connections open", std::to_string(impl_->session ? impl_->session->channels() : 0)},
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

}  // namespace qz
