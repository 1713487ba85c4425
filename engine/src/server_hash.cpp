#include "server_hash.hpp"

#include <algorithm>
#include <cctype>

namespace qz {

namespace {

// Slow disks and busy servers hash well above this.
constexpr std::uint64_t kSlowestHashBytesPerSecond = 16 * 1024 * 1024;
// Keeps the wait within what a duration of the steady clock holds.
constexpr std::uint64_t kLongestHashSeconds = 7 * 24 * 3600;

bool isDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Takes the text up to the next space (or the end) off the front of `rest`.
std::string nextWord(std::string& rest) {
    const auto space = rest.find(' ');
    std::string word = rest.substr(0, space);
    rest = space == std::string::npos ? std::string() : rest.substr(space + 1);
    return word;
}

}  // namespace

bool offersSha256(const std::vector<std::string>& featLines) {
    for (const auto& line : featLines) {
        // Feature lines begin with one space; the status lines around them do not.
        if (line.size() < 6 || line[0] != ' ') continue;
        std::string rest = line.substr(1);
        if (upper(nextWord(rest)) != "HASH") continue;
        std::string list = upper(rest);
        while (!list.empty()) {
            const auto semicolon = list.find(';');
            std::string name = list.substr(0, semicolon);
            list = semicolon == std::string::npos ? std::string() : list.substr(semicolon + 1);
            // "*" marks the algorithm selected now.
            if (!name.empty() && name.back() == '*') name.pop_back();
            if (name == "SHA-256") return true;
        }
    }
    return false;
}

HashReply readHashReply(const std::string& line, std::uint64_t size) {
    HashReply reply;
    if (line.size() >= 4 && (line[0] == '4' || line[0] == '5') && isDigit(line[1]) && isDigit(line[2]) &&
        line[3] == ' ') {
        reply.kind = EHashReply::eRefused;
        return reply;
    }
    if (line.compare(0, 4, "213 ") != 0) return reply;
    std::string rest = line.substr(4);
    if (upper(nextWord(rest)) != "SHA-256") return reply;
    // The range must be the whole file: a digest of a part proves nothing.
    if (nextWord(rest) != "0-" + std::to_string(size)) return reply;
    const std::string digest = nextWord(rest);
    if (digest.size() != 64) return reply;
    for (char c : digest) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return reply;
    }
    // The name follows; it was sanitized on arrival and says nothing more.
    if (rest.empty()) return reply;
    reply.kind = EHashReply::eHash;
    reply.digest.reserve(digest.size());
    for (char c : digest) reply.digest += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return reply;
}

std::chrono::seconds hashReplyWait(std::chrono::seconds usual, std::uint64_t size) {
    const std::uint64_t hashing = std::min(size / kSlowestHashBytesPerSecond, kLongestHashSeconds);
    return usual + std::chrono::seconds(static_cast<std::chrono::seconds::rep>(hashing));
}

}  // namespace qz
