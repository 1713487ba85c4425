// Arbitrary FEAT and HASH replies from a transfer server: only a SHA-256 of
// the whole file in the expected shape is ever taken. Input: the reply, its
// lines also read as a FEAT answer.
#include <cstdint>
#include <string>
#include <vector>

#include "server_hash.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    for (std::size_t start = 0; start <= text.size();) {
        const auto end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    qz::offersSha256(lines);
    const auto reply = qz::readHashReply(text, 12);
    if (reply.kind == qz::EHashReply::eHash) {
        if (reply.digest.size() != 64 || text.compare(0, 4, "213 ") != 0) __builtin_trap();
        for (char c : reply.digest) {
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) __builtin_trap();
        }
    } else if (!reply.digest.empty()) {
        __builtin_trap();
    }
    return 0;
}
