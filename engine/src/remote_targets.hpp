#pragma once
// Where each queued entry lands on the transfer server, so that a second
// entry cannot overwrite the first unnoticed: two local files on one remote
// name, or a file where a folder must be (and the other way round).
//
//   RemoteTargets::Batch batch(targets, "prepareRecursiveDir");
//   batch.addFolder("run", "/data/run");
//   if (batch.addFile("run/a.txt", entry.local.full(), id)) ...  // false: queued already
//   targets.commit(std::move(batch));   // nothing is recorded before this
//
// A file's local path is not copied: the targets refer to the queue's own
// entry, so the queue and its targets are cleared together.

#include <sys/types.h>

#include <list>
#include <map>
#include <string>
#include <string_view>

namespace qz {

// The file itself, whichever path reached it.
struct LocalIdentity {
    dev_t device = 0;
    ino_t inode = 0;
};

class RemoteTargets {
    struct Target {
        std::string_view local;  // the queue entry's path, or one in folderLocals_
        bool folder = false;
        LocalIdentity identity;
    };

public:
    // The entries of one queue call, checked against what is queued and
    // against each other; a clash raises qz::Exception for `operation`
    // naming both local paths and the remote name.
    class Batch {
    public:
        Batch(const RemoteTargets& queued, std::string operation);
        // False when this very file lands on `remote` already: it is kept once.
        // `local` must stay in place as long as the targets: the queue's own
        // copy of the path.
        bool addFile(const std::string& remote, const std::string& local, LocalIdentity identity);
        // Folders may be shared; only a file in their place clashes. `local` is copied.
        void addFolder(const std::string& remote, const std::string& local);

    private:
        friend class RemoteTargets;
        const Target* find(const std::string& key) const;
        void claim(const std::string& key, const Target& target);
        void claimParents(const std::string& key, std::string_view local);

        const RemoteTargets& queued_;
        std::string operation_;
        std::map<std::string, Target> added_;
        std::list<std::string> folderLocals_;
    };

    void commit(Batch&& batch);
    void clear();

private:
    std::map<std::string, Target> targets_;  // by the name as sent, without a leading "/"
    // A list, so that the views of its paths survive what is added later.
    std::list<std::string> folderLocals_;
};

}  // namespace qz
