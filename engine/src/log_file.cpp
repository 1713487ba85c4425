#include "log_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

#include "qz/exception.hpp"
#include "unique_fd.hpp"

namespace qz::detail {

namespace {

// Owner and mode as fstat gives them; the reason a file or folder is refused,
// or "" when only this user can reach it.
std::string whyNotPrivate(const struct stat& info) {
    if (info.st_uid != ::geteuid()) return "belongs to another user";
    if ((info.st_mode & 077) != 0) return "is open to other users";
    return "";
}

bool keepLogs() {
    const char* keep = std::getenv("QZ_KEEP_LOGS");
    return keep && *keep && std::strcmp(keep, "0") != 0;
}

// Files this process created, removed at exit. The creating process is kept
// with each path: a forked child that exits must not take its parent's logs.
struct CreatedFiles {
    std::mutex mutex;
    std::map<std::string, pid_t> paths;
    std::set<std::string> sweptFolders;
    // Default folder that could not be used -> the private folder made in its
    // place, and the process that made it (it removes the folder at exit).
    std::map<std::string, std::pair<std::string, pid_t>> standIns;
    // Log file -> the file it was when last written: another one under the
    // same name means the earlier lines went with the one removed.
    std::map<std::string, std::pair<dev_t, ino_t>> identities;
    // Log file (or folder) -> why a line was lost, the first reason only.
    std::map<std::string, std::string> lostLines;
};

void removeCreatedFiles();

CreatedFiles& createdFiles() {
    static CreatedFiles files;
    // Registered after `files` is built, so it runs before `files` is destroyed.
    static const bool registered = std::atexit(removeCreatedFiles) == 0;
    (void)registered;
    return files;
}

void removeCreatedFiles() {
    if (keepLogs()) return;
    CreatedFiles& files = createdFiles();
    std::lock_guard<std::mutex> lock(files.mutex);
    for (const auto& [path, creator] : files.paths) {
        if (creator == ::getpid()) ::unlink(path.c_str());
    }
    // Only when empty: logs that other processes (or a kept run) put there stay.
    for (const auto& [preferred, standIn] : files.standIns) {
        if (standIn.second == ::getpid()) ::rmdir(standIn.first.c_str());
    }
}

// Every refusal loses the line being written: the first reason for each
// path is kept for logWriteFailures.
[[noreturn]] void refuse(int line, const std::string& what, const std::string& path, const std::string& reason) {
    {
        CreatedFiles& files = createdFiles();
        std::lock_guard<std::mutex> lock(files.mutex);
        files.lostLines.emplace(path, reason);
    }
    throw Exception("qz::Log", line, "log", what + " \"" + path + "\" " + reason, {{"path", path}});
}

// The process id in a log name of ours ("qz-summary-123.log"), or 0.
pid_t logOwner(const std::string& name) {
    for (const char* prefix : {"qz-summary-", "qz-exceptions-"}) {
        const std::size_t start = std::strlen(prefix);
        if (name.compare(0, start, prefix) != 0) continue;
        const std::size_t end = name.size() >= 4 ? name.size() - 4 : 0;
        if (end <= start || name.compare(end, 4, ".log") != 0) return 0;
        const std::string digits = name.substr(start, end - start);
        if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
        return static_cast<pid_t>(std::stol(digits));
    }
    return 0;
}

// Logs of processes that are gone would otherwise pile up run after run.
void sweepDeadLogs(int folder) {
    UniqueFd listing(::dup(folder));
    if (!listing) return;
    const std::unique_ptr<DIR, int (*)(DIR*)> entries(::fdopendir(listing.get()), ::closedir);
    if (!entries) return;
    listing.release();  // closedir closes it
    while (const dirent* entry = ::readdir(entries.get())) {
        const pid_t owner = logOwner(entry->d_name);
        if (owner <= 0 || owner == ::getpid()) continue;
        if (::kill(owner, 0) == 0 || errno != ESRCH) continue;
        struct stat info {};
        if (::fstatat(folder, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISREG(info.st_mode) && info.st_uid == ::geteuid()) ::unlinkat(folder, entry->d_name, 0);
    }
}

// Opens `dir` (made 0700 when missing), a real folder of this user closed to
// everyone else. Returns the descriptor, or none with what is wrong in
// `what` and `why` for the message.
UniqueFd tryOpenPrivateFolder(const std::string& dir, std::string& what, std::string& why) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        what = "cannot create the log folder";
        why = std::string("(") + std::strerror(errno) + ")";
        return {};
    }
    what = "the log folder";
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        why = errno == ELOOP || errno == ENOTDIR ? "is not a folder (a link or a file)" : std::strerror(errno);
        return {};
    }
    struct stat info {};
    why = ::fstat(fd.get(), &info) != 0 ? std::strerror(errno) : whyNotPrivate(info);
    if (!why.empty()) {
        why += "; set QZ_LOG_DIR to a folder of your own";
        return {};
    }
    return fd;
}

std::string temporaryFolder() {
    std::error_code ec;
    const auto tmp = std::filesystem::temp_directory_path(ec);
    return ec ? std::string("/tmp") : tmp.string();
}

// The default folder when QZ_LOG_DIR is not set: $XDG_RUNTIME_DIR/qzws when
// that folder is the user's, else "qzws-UID" in the temporary folder.
std::string preferredLogDirectory() {
    // Only the user's own runtime folder: under sudo it may still name the
    // invoking user's, where a folder made now would lock that user out.
    struct stat runtimeInfo {};
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime && *runtime && ::stat(runtime, &runtimeInfo) == 0 && runtimeInfo.st_uid == ::geteuid()) {
        return std::string(runtime) + "/qzws";
    }
    return temporaryFolder() + "/qzws-" + std::to_string(::geteuid());
}

// Opens the log folder and sets `dir` to its name. A QZ_LOG_DIR that cannot
// be used is refused. The default folder has a fixed name in a shared
// folder, so anyone can plant a link or a folder of their own there first:
// then the logs go to a fresh private folder instead, made once per default
// folder and removed at exit by the process that made it. Returns none, with
// `what` and `why` for the message, when no folder can be used.
UniqueFd tryOpenLogFolder(std::string& dir, std::string& what, std::string& why) {
    if (const char* chosen = std::getenv("QZ_LOG_DIR"); chosen && *chosen) {
        dir = chosen;
        return tryOpenPrivateFolder(dir, what, why);
    }
    const std::string preferred = preferredLogDirectory();
    dir = preferred;
    if (UniqueFd fd = tryOpenPrivateFolder(dir, what, why)) return fd;
    {
        CreatedFiles& files = createdFiles();
        std::lock_guard<std::mutex> lock(files.mutex);
        auto standIn = files.standIns.find(preferred);
        if (standIn == files.standIns.end()) {
            std::string name = temporaryFolder() + "/qzws-" + std::to_string(::geteuid()) + "-XXXXXX";
            if (::mkdtemp(name.data()) != nullptr) {
                standIn = files.standIns.emplace(preferred, std::make_pair(name, ::getpid())).first;
            } else {
                why += std::string(" (and no private folder could be made instead: ") + std::strerror(errno) + ")";
            }
        }
        if (standIn != files.standIns.end()) dir = standIn->second.first;
    }
    return dir == preferred ? UniqueFd() : tryOpenPrivateFolder(dir, what, why);
}

// The same, throwing qz::Exception (operation "log") naming the folder.
UniqueFd openLogFolder(std::string& dir) {
    std::string what;
    std::string why;
    UniqueFd fd = tryOpenLogFolder(dir, what, why);
    if (!fd) refuse(__LINE__, what, dir, why);
    return fd;
}

bool writeAll(int fd, const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string logDirectory() {
    std::string dir;
    std::string what;
    std::string why;
    // A folder that cannot be used still has the name to show; writing there
    // is refused. The folder is closed again at once.
    tryOpenLogFolder(dir, what, why);
    return dir;
}

std::vector<std::string> pathsRemovedAtExit() {
    if (keepLogs()) return {};
    std::vector<std::string> paths = {logFilePath("summary"), logFilePath("exceptions")};
    CreatedFiles& files = createdFiles();
    std::lock_guard<std::mutex> lock(files.mutex);
    for (const auto& [preferred, standIn] : files.standIns) {
        if (standIn.second == ::getpid()) paths.push_back(standIn.first);
    }
    return paths;
}

std::string logFilePath(const std::string& kind) {
    return logDirectory() + "/qz-" + kind + "-" + std::to_string(::getpid()) + ".log";
}

void writeLog(const std::string& kind, EWrite how, const std::string& text) {
    std::string dir;
    const UniqueFd folder = openLogFolder(dir);
    CreatedFiles& created = createdFiles();
    {
        std::lock_guard<std::mutex> lock(created.mutex);
        if (created.sweptFolders.insert(dir).second && !keepLogs()) sweepDeadLogs(folder.get());
    }

    const std::string name = "qz-" + kind + "-" + std::to_string(::getpid()) + ".log";
    const std::string path = dir + "/" + name;
    // O_NONBLOCK: a planted FIFO fails at once instead of waiting for a reader.
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK |
                      (how == EWrite::eAppend ? O_APPEND : 0);
    const UniqueFd file(::openat(folder.get(), name.c_str(), flags, 0600));
    if (!file) {
        // ENXIO: a FIFO without reader or a socket.
        refuse(__LINE__, "the log file", path,
               errno == ELOOP   ? "is a symbolic link"
               : errno == ENXIO ? "is not a regular file"
                                : std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) refuse(__LINE__, "the log file", path, std::strerror(errno));
    if (!S_ISREG(info.st_mode)) refuse(__LINE__, "the log file", path, "is not a regular file");
    if (const std::string why = whyNotPrivate(info); !why.empty()) refuse(__LINE__, "the log file", path, why);
    {
        std::lock_guard<std::mutex> lock(created.mutex);
        created.paths.emplace(path, ::getpid());
        const std::pair<dev_t, ino_t> identity{info.st_dev, info.st_ino};
        auto [known, first] = created.identities.emplace(path, identity);
        // Removed while in use: this line goes into a new file, the earlier ones are gone.
        if (!first && known->second != identity && how == EWrite::eAppend) {
            created.lostLines.emplace(path, "was removed while in use");
        }
        known->second = identity;
    }
    // Emptied only now: a file that failed the checks above is left as it was.
    if (how == EWrite::eTruncate && ::ftruncate(file.get(), 0) != 0) {
        refuse(__LINE__, "the log file", path, std::string("cannot be emptied: ") + std::strerror(errno));
    }
    if (!writeAll(file.get(), text)) {
        refuse(__LINE__, "the log file", path, std::string("cannot be written: ") + std::strerror(errno));
    }
    if (how == EWrite::eTruncate) {
        // An emptied log starts whole again, whatever its folder refused before.
        std::lock_guard<std::mutex> lock(created.mutex);
        created.lostLines.erase(path);
        created.lostLines.erase(dir);
    }
}

std::map<std::string, std::string> lostLines() {
    CreatedFiles& files = createdFiles();
    std::lock_guard<std::mutex> lock(files.mutex);
    return files.lostLines;
}

}  // namespace qz::detail
