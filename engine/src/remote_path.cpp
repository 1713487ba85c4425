#include "remote_path.hpp"
#include "qz/quoted.hpp"

#include <cstdio>
#include <set>

namespace qz {

std::vector<std::string> remoteComponents(const std::string& remote, bool& absolute) {
    absolute = !remote.empty() && remote.front() == '/';
    std::vector<std::string> parts;
    std::size_t begin = 0;
    while (begin <= remote.size()) {
        std::size_t end = remote.find('/', begin);
        if (end == std::string::npos) end = remote.size();
        std::string part = remote.substr(begin, end - begin);
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        begin = end + 1;
    }
    return parts;
}

std::string remoteCommandPath(const std::string& remote) {
    bool absolute = false;
    auto parts = remoteComponents(remote, absolute);
    std::string path = absolute ? "/" : "";
    for (std::size_t i = 0; i < parts.size(); ++i) path += (i ? "/" : "") + parts[i];
    return path;
}

std::vector<std::string> foldersToCreate(const std::vector<std::string_view>& files,
                                         const std::vector<std::string>& folders) {
    std::set<std::string> all;
    auto addWithParents = [&all](std::string_view remote, bool includeLast) {
        bool absolute = false;
        auto parts = remoteComponents(std::string(remote), absolute);
        if (!includeLast && !parts.empty()) parts.pop_back();
        std::string path = absolute ? "/" : "";
        for (std::size_t i = 0; i < parts.size(); ++i) {
            path += (i ? "/" : "") + parts[i];
            all.insert(path);
        }
    };
    for (const auto& file : files) addWithParents(file, false);
    for (const auto& folder : folders) addWithParents(folder, true);
    // A prefix sorts before what it prefixes, so the set's order is parents first.
    return {all.begin(), all.end()};
}

namespace {

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool isUtf8(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        unsigned low = 0x80, high = 0xBF;  // bounds of the first continuation byte
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto byte = static_cast<unsigned char>(text[i + k]);
            if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF)) return false;
        }
        i += length;
    }
    return true;
}

}  // namespace

std::string remoteNameProblem(const std::string& remote) {
    for (unsigned char byte : remote) {
        if (isControlByte(byte)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", byte);
            return std::string("holds the control byte ") + hex;
        }
    }
    // The finalization splits the joined list at the first "#,#" it finds,
    // so a name ending in "#," would lose its tail to the next one.
    if ((remote + "#").find("#,#") != std::string::npos) {
        return "holds \"#,#\" or ends in \"#,\", which the job's file list cannot carry";
    }
    // Servers take path names as UTF-8 and may store other bytes under a
    // name of their own, which the finalization then would not find.
    if (!isUtf8(remote)) return "is not valid UTF-8";
    bool absolute = false;
    const auto parts = remoteComponents(remote, absolute);
    for (const auto& part : parts) {
        if (part == "..") return "has a \"..\" part, which would leave the transfer folder";
    }
    if (parts.empty()) return "names no file";
    return "";
}

bool fitsInCommand(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

}  // namespace qz
