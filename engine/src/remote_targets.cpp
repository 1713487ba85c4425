#include "remote_targets.hpp"

#include "control_report.hpp"
#include "qz/quoted.hpp"
#include "remote_path.hpp"

namespace qz {

namespace {

// The name a target is known by when looking for clashes. The login folder
// of a transfer server is usually its root, so "/run/a.txt" and "run/a.txt"
// are one file there: both are keyed without the leading "/".
std::string clashKey(const std::string& remote) {
    const std::string path = remoteCommandPath(remote);
    return path.empty() || path.front() != '/' ? path : path.substr(1);
}

}  // namespace

RemoteTargets::Batch::Batch(const RemoteTargets& queued, std::string operation)
    : queued_(queued), operation_(std::move(operation)) {}

const RemoteTargets::Target* RemoteTargets::Batch::find(const std::string& key) const {
    auto added = added_.find(key);
    if (added != added_.end()) return &added->second;
    auto queued = queued_.targets_.find(key);
    return queued == queued_.targets_.end() ? nullptr : &queued->second;
}

void RemoteTargets::Batch::claim(const std::string& key, const Target& target) {
    const Target* taken = find(key);
    if (!taken) {
        added_.emplace(key, target);
        return;
    }
    if (taken->folder && target.folder) return;
    std::string as;
    if (taken->folder != target.folder) as = taken->folder ? " as a folder" : " as a file";
    const std::string local(target.local);
    const std::string other(taken->local);
    raise(__LINE__, operation_,
          "cannot queue " + quoted(local) + ": the remote name " + quoted(key) + " is already taken by " +
              quoted(other) + as,
          {{"path", local}, {"remote", key}, {"other path", other}});
}

void RemoteTargets::Batch::claimParents(const std::string& key, std::string_view local) {
    for (std::size_t slash = key.find('/', 1); slash != std::string::npos; slash = key.find('/', slash + 1)) {
        claim(key.substr(0, slash), {local, true, {}});
    }
}

bool RemoteTargets::Batch::addFile(const std::string& remote, const std::string& local, LocalIdentity identity) {
    const std::string key = clashKey(remote);
    // Before the parents: the queue keeps no trace of a file it keeps once.
    const Target* taken = find(key);
    if (taken && !taken->folder && taken->identity.device == identity.device &&
        taken->identity.inode == identity.inode) {
        return false;
    }
    claimParents(key, local);
    claim(key, {local, false, identity});
    return true;
}

void RemoteTargets::Batch::addFolder(const std::string& remote, const std::string& local) {
    const std::string key = clashKey(remote);
    if (key.empty()) return;
    const std::string_view kept = folderLocals_.emplace_back(local);
    claimParents(key, kept);
    claim(key, {kept, true, {}});
}

// Node by node: the views stay where they point.
void RemoteTargets::commit(Batch&& batch) {
    targets_.merge(batch.added_);
    batch.added_.clear();
    folderLocals_.splice(folderLocals_.end(), batch.folderLocals_);
}

void RemoteTargets::clear() {
    targets_.clear();
    folderLocals_.clear();
}

}  // namespace qz
