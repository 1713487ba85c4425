#include "remote_targets.hpp"

#include <algorithm>

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

const RemoteTargets::Target* RemoteTargets::Batch::find(std::string_view key) const {
    auto added = added_.find(key);
    if (added != added_.end()) return &added->second;
    auto queued = queued_.targets_.find(key);
    return queued == queued_.targets_.end() ? nullptr : &queued->second;
}

void RemoteTargets::Batch::claim(std::string_view key, const Target& target) {
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
    const std::string name(key);
    raise(__LINE__, operation_,
          "cannot queue " + quoted(local) + ": the remote name " + quoted(name) + " is already taken by " +
              quoted(other) + as,
          {{"path", local}, {"remote", name}, {"other path", other}});
}

void RemoteTargets::Batch::claimParents(std::string_view key, std::string_view local) {
    for (std::size_t slash = key.find('/', 1); slash != std::string_view::npos; slash = key.find('/', slash + 1)) {
        claim(key.substr(0, slash), {local, true, {}});
    }
}

bool RemoteTargets::Batch::addFile(const std::string& remote, const std::string& local, LocalIdentity identity) {
    const std::string name = clashKey(remote);
    // Most names are their key already, or it with a leading "/": the key is a view of the queue's copy.
    const std::string_view tail = std::string_view(remote).substr(remote.size() - std::min(remote.size(), name.size()));
    const bool inPlace = tail == name &&
                         (remote.size() == name.size() || (remote.size() == name.size() + 1 && remote.front() == '/'));
    std::string_view key = inPlace ? tail : std::string_view(name);
    // Before the parents: the queue keeps no trace of a file it keeps once.
    const Target* taken = find(key);
    if (taken && !taken->folder && taken->identity.device == identity.device &&
        taken->identity.inode == identity.inode) {
        return false;
    }
    if (!inPlace) key = keep(name);
    claimParents(key, local);
    claim(key, {local, false, identity});
    return true;
}

void RemoteTargets::Batch::addFolder(const std::string& remote, const std::string& local) {
    const std::string name = clashKey(remote);
    if (name.empty()) return;
    const std::string_view key = keep(name);
    const std::string_view kept = keep(local);
    claimParents(key, kept);
    claim(key, {kept, true, {}});
}

// Node by node: the views stay where they point.
void RemoteTargets::commit(Batch&& batch) {
    targets_.merge(batch.added_);
    batch.added_.clear();
    kept_.splice(kept_.end(), batch.kept_);
}

void RemoteTargets::clear() {
    targets_.clear();
    kept_.clear();
}

}  // namespace qz
