#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "control_impl.hpp"
#include "ftp_session.hpp"
#include "qz/rates.hpp"

namespace fs = std::filesystem;

namespace qz {

void raise(int line, const std::string& operation, const std::string& message,
           std::map<std::string, std::string> diagnostics) {
    throw Exception("qz::Control", line, operation, message, std::move(diagnostics));
}

namespace {

struct QueuedFile {
    std::string local;
    std::string remote;
    std::uint64_t size;
};

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

[[noreturn]] void refuse(int line, const std::string& operation, const std::string& path,
                         const std::string& reason) {
    raise(line, operation, "cannot queue " + quoted(path) + ": " + reason, {{"path", path}});
}

// Checks that `path` is a regular file (a link to one counts) that this
// process can open for reading, and returns its size.
std::uint64_t readableFileSize(const std::string& operation, const std::string& path) {
    struct stat linkInfo {};
    if (::lstat(path.c_str(), &linkInfo) != 0) refuse(__LINE__, operation, path, std::strerror(errno));
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (S_ISLNK(linkInfo.st_mode)) refuse(__LINE__, operation, path, "dangling link");
        refuse(__LINE__, operation, path, std::strerror(errno));
    }
    if (S_ISDIR(info.st_mode)) refuse(__LINE__, operation, path, "is a folder, not a file");
    if (!S_ISREG(info.st_mode)) refuse(__LINE__, operation, path, "not a regular file");
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) refuse(__LINE__, operation, path, std::strerror(errno));
    ::close(fd);
    return static_cast<std::uint64_t>(info.st_size);
}

std::string joinRemote(const std::string& base, const std::string& relative) {
    if (base.empty() || base == ".") return relative;
    if (base.back() == '/') return base + relative;
    return base + "/" + relative;
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
    const std::string& path = file.full();
    std::uint64_t size = readableFileSize("prepareSingleFile", path);
    TransferStats entry;
    entry.local = file;
    entry.remote = Remote(file.base());
    entry.fileSize = size;
    auto& stats = impl_->stats;
    stats.fileMap.emplace(impl_->nextFileNumber++, std::move(entry));
    stats.filesTotal += 1;
    stats.totalBytes += size;
}

void Control::prepareRecursiveDir(const Local& folder, const Remote& remote) {
    static const std::string op = "prepareRecursiveDir";
    const std::string& root = folder.full();
    struct stat info {};
    if (::stat(root.c_str(), &info) != 0) refuse(__LINE__, op, root, std::strerror(errno));
    if (!S_ISDIR(info.st_mode)) refuse(__LINE__, op, root, "not a folder");

    std::vector<QueuedFile> files;
    std::vector<std::string> folders;
    std::error_code ec;
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
    if (ec) refuse(__LINE__, op, root, ec.message());
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const fs::path& p = it->path();
        std::string relative = p.lexically_relative(root).generic_string();
        std::string remoteName = joinRemote(remote.full(), relative);
        if (it->is_symlink(ec) && it->is_directory(ec)) {
            refuse(__LINE__, op, p.string(), "is a link to a folder, which is not followed");
        }
        if (!it->is_symlink(ec) && it->is_directory(ec)) {
            // Opening the folder now names an unreadable one before anything is queued.
            fs::directory_iterator probe(p, ec);
            if (ec) refuse(__LINE__, op, p.string(), ec.message());
            folders.push_back(remoteName);
            continue;
        }
        files.push_back({p.string(), remoteName, readableFileSize(op, p.string())});
    }
    if (ec) refuse(__LINE__, op, root, ec.message());

    std::sort(files.begin(), files.end(),
              [](const QueuedFile& a, const QueuedFile& b) { return a.remote < b.remote; });
    std::sort(folders.begin(), folders.end());
    auto& stats = impl_->stats;
    for (auto& f : files) {
        TransferStats entry;
        entry.local = Local(f.local);
        entry.remote = Remote(f.remote);
        entry.fileSize = f.size;
        stats.fileMap.emplace(impl_->nextFileNumber++, std::move(entry));
        stats.filesTotal += 1;
        stats.totalBytes += f.size;
    }
    impl_->remoteFolders.insert(impl_->remoteFolders.end(), folders.begin(), folders.end());
}

void Control::clearQueue() {
    impl_->refuseWhileUploading(__LINE__, "clearQueue");
    impl_->stats = GlobalStateAndStats();
    impl_->remoteFolders.clear();
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
