#include "remote_path.hpp"

#include <cstdio>

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

std::string remoteNameProblem(const std::string& remote) {
    for (unsigned char byte : remote) {
        if (byte < 0x20 || byte == 0x7F) {
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
    bool absolute = false;
    const auto parts = remoteComponents(remote, absolute);
    for (const auto& part : parts) {
        if (part == "..") return "has a \"..\" part, which would leave the transfer folder";
    }
    if (parts.empty()) return "names no file";
    return "";
}

}  // namespace qz
