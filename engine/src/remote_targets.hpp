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
// A file's local path and, where it is already in the form of the key, its
// remote name are not copied: the targets refer to the queue's own entry, so
// the queue and its targets are cleared together.

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
        std::string_view local;  // the queue entry's path, or one in kept_
        bool folder = false;
        LocalIdentity identity;
    };
    using Targets = std::map<std::string_view, Target>;

public:
    // The entries of one queue call, checked against what is queued and
    // against each other; a clash raises qz::Exception for `operation`
    // naming both local paths and the remote name.
    class Batch {
    public:
        Batch(const RemoteTargets& queued, std::string operation);
        // False when this very file lands on `remote` already: it is kept once.
        // `remote` and `local` must stay in place as long as the targets: the
        // queue's own copies.
        bool addFile(const std::string& remote, const std::string& local, LocalIdentity identity);
        // Folders may be shared; only a file in their place clashes. Both are copied.
        void addFolder(const std::string& remote, const std::string& local);

    private:
        friend class RemoteTargets;
        const Target* find(std::string_view key) const;
        void claim(std::string_view key, const Target& target);
        void claimParents(std::string_view key, std::string_view local);
        std::string_view keep(std::string copy) { return kept_.emplace_back(std::move(copy)); }

        const RemoteTargets& queued_;
        std::string operation_;
        Targets added_;
        std::list<std::string> kept_;
    };

    void commit(Batch&& batch);
    void clear();

private:
    // By the name as sent, without a leading "/": a view of the queued
    // file's remote name, or of a copy in kept_.
    Targets targets_;
    // Folders' paths and names, and names not in the form of their key; a
    // list, so that the views of them survive what is added later.
    std::list<std::string> kept_;
};

}  // namespace qz
