#pragma once
// Where each queued entry lands on the transfer server, so that a second
// entry cannot overwrite the first unnoticed: two local files on one remote
// name, or a file where a folder must be (and the other way round).
//
//   RemoteTargets::Batch batch(targets, "prepareRecursiveDir");
//   batch.addFolder("run", "/data/run");
//   if (batch.addFile("run/a.txt", "/data/run/a.txt", id)) ...  // false: queued already
//   targets.commit(std::move(batch));   // nothing is recorded before this

#include <sys/types.h>

#include <map>
#include <string>

namespace qz {

// The file itself, whichever path reached it.
struct LocalIdentity {
    dev_t device = 0;
    ino_t inode = 0;
};

class RemoteTargets {
    struct Target {
        std::string local;
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
        bool addFile(const std::string& remote, const std::string& local, LocalIdentity identity);
        // Folders may be shared; only a file in their place clashes.
        void addFolder(const std::string& remote, const std::string& local);

    private:
        friend class RemoteTargets;
        const Target* find(const std::string& key) const;
        void claim(const std::string& key, const Target& target);
        void claimParents(const std::string& key, const std::string& local);

        const RemoteTargets& queued_;
        std::string operation_;
        std::map<std::string, Target> added_;
    };

    void commit(Batch&& batch);
    void clear();

private:
    std::map<std::string, Target> targets_;  // by the name as sent, without a leading "/"
};

}  // namespace qz
