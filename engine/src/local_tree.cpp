#include "local_tree.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "control_report.hpp"
#include "qz/quoted.hpp"
#include "unique_fd.hpp"

namespace fs = std::filesystem;

namespace qz {

namespace {

[[noreturn]] void refuse(int line, const std::string& operation, const std::string& path, const std::string& reason) {
    raise(line, operation, "cannot queue " + quoted(path) + ": " + reason, {{"path", path}});
}

bool sameFile(const LocalIdentity& a, const struct stat& b) { return a.device == b.st_dev && a.inode == b.st_ino; }

class Walk {
public:
    Walk(const std::string& operation, EFolderLinks folderLinks) : operation_(operation), folderLinks_(folderLinks) {}

    LocalTree run(const std::string& root) {
        struct stat info {};
        if (::stat(root.c_str(), &info) != 0) refuse(__LINE__, operation_, root, std::strerror(errno));
        if (!S_ISDIR(info.st_mode)) refuse(__LINE__, operation_, root, "not a folder");
        ancestors_.push_back({{info.st_dev, info.st_ino}, root});
        folder(root, "", false);
        std::sort(tree_.files.begin(), tree_.files.end(),
                  [](const LocalFile& a, const LocalFile& b) { return a.relative < b.relative; });
        return std::move(tree_);
    }

private:
    void folder(const std::string& path, const std::string& relative, bool viaLink) {
        std::vector<std::string> names;
        std::error_code ec;
        for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
            names.push_back(it->path().filename().string());
        }
        if (ec) refuse(__LINE__, operation_, path, ec.message());
        std::sort(names.begin(), names.end());
        const std::string prefix = path.empty() || path.back() == '/' ? path : path + "/";
        for (const auto& name : names) entry(prefix + name, relative.empty() ? name : relative + "/" + name, viaLink);
    }

    void entry(const std::string& path, const std::string& relative, bool viaLink) {
        struct stat linkInfo {};
        if (::lstat(path.c_str(), &linkInfo) != 0) refuse(__LINE__, operation_, path, std::strerror(errno));
        if (!S_ISLNK(linkInfo.st_mode)) {
            if (S_ISDIR(linkInfo.st_mode)) {
                descend(path, relative, linkInfo, viaLink);
            } else {
                addFile(path, relative, viaLink);
            }
            return;
        }
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            const int error = errno;
            skip(path, error == ENOENT ? "dangling link"
                                       : std::string("link that cannot be resolved: ") + std::strerror(error));
        } else if (S_ISREG(info.st_mode)) {
            addFile(path, relative, true);
        } else if (!S_ISDIR(info.st_mode)) {
            skip(path, "link to something that is neither a file nor a folder");
        } else if (folderLinks_ == eSkipFolderLinks) {
            skip(path, "link to a folder, not followed");
        } else {
            descend(path, relative, info, true);
        }
    }

    void addFile(const std::string& path, const std::string& relative, bool viaLink) {
        LocalFile file = checkLocalFile(operation_, path);
        file.relative = relative;
        file.viaLink = file.viaLink || viaLink;
        tree_.files.push_back(std::move(file));
    }

    void descend(const std::string& path, const std::string& relative, const struct stat& info, bool viaLink) {
        for (const auto& [identity, ancestor] : ancestors_) {
            if (sameFile(identity, info)) {
                skip(path, "loop: leads back to " + quoted(ancestor));
                return;
            }
        }
        tree_.folders.push_back({path, relative});
        ancestors_.push_back({{info.st_dev, info.st_ino}, path});
        folder(path, relative, viaLink);
        ancestors_.pop_back();
    }

    void skip(const std::string& path, const std::string& reason) { tree_.skipped.push_back({path, reason}); }

    const std::string& operation_;
    const EFolderLinks folderLinks_;
    LocalTree tree_;
    // The folders on the path being walked: one of them met again is a loop.
    std::vector<std::pair<LocalIdentity, std::string>> ancestors_;
};

}  // namespace

LocalFile checkLocalFile(const std::string& operation, const std::string& path) {
    struct stat linkInfo {};
    if (::lstat(path.c_str(), &linkInfo) != 0) refuse(__LINE__, operation, path, std::strerror(errno));
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (S_ISLNK(linkInfo.st_mode)) refuse(__LINE__, operation, path, "dangling link");
        refuse(__LINE__, operation, path, std::strerror(errno));
    }
    if (S_ISDIR(info.st_mode)) refuse(__LINE__, operation, path, "is a folder, not a file");
    if (!S_ISREG(info.st_mode)) refuse(__LINE__, operation, path, "not a regular file");
    // Without O_NONBLOCK a file that turned into a FIFO since the check would block here.
    if (!UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK))) {
        refuse(__LINE__, operation, path, std::strerror(errno));
    }
    LocalFile file;
    file.path = path;
    file.size = static_cast<std::uint64_t>(info.st_size);
    file.identity = {info.st_dev, info.st_ino};
    file.viaLink = S_ISLNK(linkInfo.st_mode);
    return file;
}

LocalTree walkLocalTree(const std::string& operation, const std::string& root, EFolderLinks folderLinks) {
    return Walk(operation, folderLinks).run(root);
}

}  // namespace qz
