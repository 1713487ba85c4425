#include "file_check.hpp"

#include <filesystem>
#include <system_error>

#include "qz/scrambling.hpp"

namespace jobserver {

namespace fs = std::filesystem;

namespace {

// The key as it stands at `offset` of a scrambled text, so that scrambling a
// piece on its own gives the same bytes as inside the whole text.
std::string keyAt(const std::string& key, std::size_t offset) {
    const std::size_t r = offset % key.size();
    return key.substr(r) + key.substr(0, r);
}

// The entry of `folder` whose scrambled name equals `scrambled`, if any.
bool findByScrambledName(const fs::path& folder, const std::string& scrambled, const std::string& key,
                         fs::path& found) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        if (entry.size() == scrambled.size() && qz::scramble(entry, key, qz::EShift::eForward) == scrambled) {
            found = it->path();
            return true;
        }
    }
    return false;
}

bool isInside(const fs::path& path, const fs::path& root) {
    auto p = path.begin();
    for (auto r = root.begin(); r != root.end(); ++r, ++p) {
        if (p == path.end() || *p != *r) return false;
    }
    return true;
}

std::string inQuotes(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

std::vector<std::string> checkFilesOnDisk(const std::string& root, const std::string& key,
                                          std::vector<ReportedFileName>& files) {
    std::vector<std::string> problems;
    std::error_code ec;
    const fs::path canonicalRoot = fs::canonical(root, ec);
    if (ec) {
        problems.push_back("the transfer server's folder " + inQuotes(root) + " cannot be read");
        return problems;
    }
    for (auto& file : files) {
        fs::path current = canonicalRoot;
        fs::path relative;
        bool resolved = true;
        bool escapes = false;
        std::size_t start = 0;
        while (start <= file.name.size()) {
            std::size_t end = file.name.find('/', start);
            if (end == std::string::npos) end = file.name.size();
            const std::string part = file.name.substr(start, end - start);
            const std::size_t partOffset = start;
            start = end + 1;
            if (part.empty() || part == ".") continue;
            if (part == "..") {
                // Shown with the parts found so far, which keep their real names.
                const std::string rest = file.name.substr(partOffset);
                file.name = relative.empty() ? rest : relative.generic_string() + "/" + rest;
                escapes = true;
                break;
            }
            fs::path next = current / part;
            if (!fs::exists(fs::symlink_status(next, ec)) &&
                !findByScrambledName(current, file.scrambled.substr(partOffset, part.size()),
                                     keyAt(key, file.offset + partOffset), next)) {
                resolved = false;
                relative /= part;
                current = next;
                continue;
            }
            relative /= next.filename();
            current = next;
        }
        if (escapes) {
            problems.push_back("file name " + inQuotes(file.name) + " leaves the transfer server's root");
            continue;
        }
        if (!relative.empty()) file.name = relative.generic_string();
        if (!resolved) {
            problems.push_back("file " + inQuotes(file.name) + " is missing on the transfer server");
            continue;
        }
        const fs::path real = fs::canonical(current, ec);
        if (ec || !isInside(real, canonicalRoot)) {
            problems.push_back("file name " + inQuotes(file.name) + " leaves the transfer server's root");
            continue;
        }
        if (!fs::is_regular_file(real, ec)) {
            problems.push_back("file " + inQuotes(file.name) + " is not a file on the transfer server");
            continue;
        }
        const std::uintmax_t size = fs::file_size(real, ec);
        if (ec) {
            problems.push_back("file " + inQuotes(file.name) + " cannot be read on the transfer server");
        } else if (size != file.size) {
            problems.push_back("file " + inQuotes(file.name) + " has " + std::to_string(size) +
                               " bytes on the transfer server, reported " + std::to_string(file.size));
        }
    }
    return problems;
}

}  // namespace jobserver
