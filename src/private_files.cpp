#include "private_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <libxml/globals.h>

namespace qz::detail {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Writes `content` into a file that this call creates. Returns false, and
// leaves the name alone, when it is taken (by a link among others).
bool writeNewFile(const std::string& path, const std::string& content) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const char* p = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ::close(fd);
    return true;
}

std::string formatted(xmlDoc* document) {
    xmlChar* memory = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(document, &memory, &size, "utf-8", 1);
    std::string text = memory ? std::string(reinterpret_cast<const char*>(memory), static_cast<std::size_t>(size)) : "";
    xmlFree(memory);
    return text;
}

}  // namespace

std::string prepareCookieFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
        return "";
    }
    struct stat info {};
    if (errno != EEXIST || ::lstat(path.c_str(), &info) != 0) return "";
    if (S_ISLNK(info.st_mode)) return "is a symbolic link";
    if (!S_ISREG(info.st_mode)) return "is not a regular file";
    if (info.st_uid != ::geteuid()) return "belongs to another user";
    if ((info.st_mode & 077) != 0) return "is open to other users";
    return "";
}

std::string hideTransferPassword(const std::string& text) {
    std::string out = text;
    for (std::size_t tag = out.find("<ftp"); tag != std::string::npos; tag = out.find("<ftp", tag + 1)) {
        std::size_t i = tag + 4;
        if (i < out.size() && !isSpace(out[i])) continue;
        // Walk the attributes: a ">" inside a quoted value does not end the tag.
        while (i < out.size()) {
            while (i < out.size() && isSpace(out[i])) ++i;
            if (i >= out.size() || out[i] == '>' || out[i] == '/') break;
            const std::size_t nameStart = i;
            while (i < out.size() && out[i] != '=' && !isSpace(out[i]) && out[i] != '>') ++i;
            const std::string name = out.substr(nameStart, i - nameStart);
            while (i < out.size() && isSpace(out[i])) ++i;
            if (i >= out.size() || out[i] != '=') break;
            ++i;
            while (i < out.size() && isSpace(out[i])) ++i;
            if (i >= out.size() || (out[i] != '"' && out[i] != '\'')) break;
            const std::size_t valueEnd = out.find(out[i], i + 1);
            if (valueEnd == std::string::npos) break;
            if (name == "p") {
                out.replace(i + 1, valueEnd - i - 1, "********");
                i += 1 + 8 + 1;
            } else {
                i = valueEnd + 1;
            }
        }
    }
    return out;
}

void writeDebugDumps(const std::function<std::string()>& nextName, const std::string& received,
                     const std::string& text, xmlDoc* document) {
    // Dumps of earlier runs in the same folder hold the low numbers; a
    // bounded search keeps a folder full of them from stalling the request.
    const std::string raw = hideTransferPassword(received);
    for (int attempt = 0; attempt < 100000; ++attempt) {
        const std::string name = nextName();
        if (!writeNewFile(name + ".raw", raw)) {
            if (errno == EEXIST) continue;
            return;
        }
        writeNewFile(name + ".txt", hideTransferPassword(text));
        if (document) writeNewFile(name + ".xml", hideTransferPassword(formatted(document)));
        return;
    }
}

}  // namespace qz::detail
