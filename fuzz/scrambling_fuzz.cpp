// Arbitrary keys and texts: scrambling ends, stays printable and quote-free,
// and printable bytes other than the quotes come back. Input: the key up to
// the first NUL byte, then the text.
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "qz/scrambling.hpp"
#include "qz/ws.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    auto split = input.find('\0');
    if (split == std::string::npos) return 0;
    std::string key = input.substr(0, split);
    std::string text = input.substr(split + 1);
    std::string forward;
    try {
        forward = qz::scramble(text, key, qz::EShift::eForward);
    } catch (const std::invalid_argument&) {
        return 0;  // an empty key, or one whose shift would never leave a quote
    }
    if (forward.size() != text.size()) __builtin_trap();
    for (char c : forward) {
        if (c < 33 || c > 126 || c == '"' || c == '\'') __builtin_trap();
    }
    std::string back = qz::scramble(forward, key, qz::EShift::eBackward);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 33 && c <= 126 && c != '"' && c != '\'' && back[i] != c) __builtin_trap();
    }
    static qz::WS* ws = [] {
        qz::WS::initialize_third_party_libs();
        return new qz::WS;
    }();
    ws->encryptionKey = key;
    std::string sent = ws->encrypt(text);
    if (sent.find_first_of(" \"'+") != std::string::npos) __builtin_trap();
    ws->decrypt(text);
    return 0;
}
