#include "private_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <libxml/globals.h>

#include "qz/xml.hpp"

namespace qz::detail {

namespace {

const char* const kMask = "********";

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// "q:p" -> "p", "p" -> "p".
std::string localName(const std::string& qualified) {
    const std::size_t colon = qualified.rfind(':');
    return colon == std::string::npos ? qualified : qualified.substr(colon + 1);
}

// The value as an XML writer puts it in a quoted attribute.
std::string escaped(const std::string& value) {
    std::string out;
    for (const char c : value) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\n': out += "&#10;"; break;
            case '\r': out += "&#13;"; break;
            case '\t': out += "&#9;"; break;
            default: out += c;
        }
    }
    return out;
}

// The transfer password exactly as the engine setup takes it from the answer.
std::string transferPassword(xmlDoc* document) {
    if (document == nullptr) return "";
    const auto ftp = findAnyNodeAndGetAttribs(document, "ftp");
    const auto it = ftp.find("p");
    return it == ftp.end() ? "" : it->second;
}

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
    // libcurl drops a cookie file it cannot write or read without a word,
    // and the session with it: each failure is told here, before a request.
    static const char header[] = "# Netscape HTTP Cookie File\n";
    const int created = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (created >= 0) {
        const bool written = ::write(created, header, sizeof header - 1) == static_cast<ssize_t>(sizeof header - 1);
        const int writeError = errno;
        char back[sizeof header] = {};
        const bool readBack = written && ::pread(created, back, sizeof header - 1, 0) == sizeof header - 1 &&
                              std::memcmp(back, header, sizeof header - 1) == 0;
        const int readError = errno;
        ::close(created);
        if (written && readBack) return "";
        ::unlink(path.c_str());
        return !written ? std::string("cannot be written: ") + std::strerror(writeError ? writeError : ENOSPC)
                        : std::string("cannot be read back: ") + std::strerror(readError ? readError : EIO);
    }
    if (errno != EEXIST) return std::string("cannot be created: ") + std::strerror(errno);
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return std::string("cannot be examined: ") + std::strerror(errno);
    if (S_ISLNK(info.st_mode)) return "is a symbolic link";
    if (!S_ISREG(info.st_mode)) return "is not a regular file";
    if (info.st_uid != ::geteuid()) return "belongs to another user";
    if ((info.st_mode & 077) != 0) return "is open to other users";
    // O_NONBLOCK: a FIFO put in its place meanwhile fails at once.
    const int existing = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (existing < 0) return std::string("cannot be opened for reading and writing: ") + std::strerror(errno);
    ::close(existing);
    return "";
}

std::string hideTransferPassword(const std::string& text, const std::string& password) {
    std::string out = text;
    // The answer is read by local name (src/xml_lookup.cpp), so "q:ftp" and
    // "q:p" are the element and the attribute the library takes the
    // password from: the scan goes by local name too.
    for (std::size_t tag = out.find('<'); tag != std::string::npos; tag = out.find('<', tag + 1)) {
        std::size_t i = tag + 1;
        while (i < out.size() && !isSpace(out[i]) && out[i] != '>' && out[i] != '/') ++i;
        if (localName(out.substr(tag + 1, i - tag - 1)) != "ftp") continue;
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
            if (name.rfind("xmlns", 0) != 0 && localName(name) == "p") {
                out.replace(i + 1, valueEnd - i - 1, kMask);
                i += 1 + std::strlen(kMask) + 1;
            } else {
                i = valueEnd + 1;
            }
        }
    }
    // Whatever the scan missed (character references in the name, a form it
    // does not know), the value the library itself reads is not written.
    auto maskAll = [&out](const std::string& value) {
        for (std::size_t at = out.find(value); at != std::string::npos; at = out.find(value, at + std::strlen(kMask))) {
            out.replace(at, value.size(), kMask);
        }
    };
    if (!password.empty()) {
        maskAll(password);
        const std::string writtenForm = escaped(password);
        if (writtenForm != password) maskAll(writtenForm);
    }
    return out;
}

void writeDebugDumps(const std::function<std::string()>& nextName, const std::string& received, const std::string& text,
                     xmlDoc* document) {
    // Dumps of earlier runs in the same folder hold the low numbers; a
    // bounded search keeps a folder full of them from stalling the request.
    const std::string password = transferPassword(document);
    const std::string raw = hideTransferPassword(received, password);
    for (int attempt = 0; attempt < 100000; ++attempt) {
        const std::string name = nextName();
        if (!writeNewFile(name + ".raw", raw)) {
            if (errno == EEXIST) continue;
            return;
        }
        writeNewFile(name + ".txt", hideTransferPassword(text, password));
        if (document) writeNewFile(name + ".xml", hideTransferPassword(formatted(document), password));
        return;
    }
}

}  // namespace qz::detail
