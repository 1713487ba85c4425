#pragma once
// Local files and folders as the queue meets them: one file checked, or a
// folder walked with its links handled as asked.
//
//   LocalTree t = walkLocalTree("prepareRecursiveDir", "/data/run1", eSkipFolderLinks);
//   t.files[0].relative == "lane 1/reads.bin";  t.skipped lists what was passed over

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "qz/control.hpp"
#include "qz/stats.hpp"
#include "remote_targets.hpp"

namespace qz {

struct LocalFile {
    std::string path;      // as reached: through links, not resolved
    std::string relative;  // below the walked folder, joined by "/"; "" for a single file
    std::uint64_t size = 0;
    LocalIdentity identity;
    bool viaLink = false;
};

struct LocalFolder {
    std::string path;
    std::string relative;
};

struct LocalTree {
    // Sorted by relative path. A deque grows without copying and gives its
    // memory back while the queue takes the files from the front.
    std::deque<LocalFile> files;
    std::vector<LocalFolder> folders;  // every folder below the root, parents first
    std::vector<SkippedEntry> skipped;
};

// Checks that `path` is a regular file (a link to one counts) that this
// process can open for reading; raises qz::Exception for `operation`
// naming it otherwise.
LocalFile checkLocalFile(const std::string& operation, const std::string& path);

// Walks the folder `root` (a link to one counts). Links to files are files
// reached through a link; links to folders are followed or skipped as
// `folderLinks` says; a folder that is already on the path being walked is
// a loop and skipped, like dangling links and links to anything but a file
// or folder. A folder that cannot be read, or an entry that is neither a
// readable regular file, a folder nor a link, raises qz::Exception naming it.
LocalTree walkLocalTree(const std::string& operation, const std::string& root, EFolderLinks folderLinks);

}  // namespace qz
