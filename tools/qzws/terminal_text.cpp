#include "terminal_text.hpp"

#include <fmt/format.h>

namespace qzcli {

namespace {

// Length of the well-formed UTF-8 sequence starting at `at`, or 0.
std::size_t sequenceLength(const std::string& text, std::size_t at) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = at + 2; i < at + length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return length;
}

}  // namespace

std::string printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\t' || c == '\n' || c == '\r') {
            out += c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r";
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            out += fmt::format("\\x{:02X}", c);
            ++i;
        } else if (c < 0x80) {
            out += text[i++];
        } else if (const std::size_t length = sequenceLength(text, i); length > 0) {
            // U+0080 to U+009F: C2 80 to C2 9F.
            if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
                out += fmt::format("\\u{:04X}", static_cast<unsigned char>(text[i + 1]));
            } else {
                out.append(text, i, length);
            }
            i += length;
        } else {
            if (c <= 0x9F) out += fmt::format("\\x{:02X}", c);
            else out += text[i];
            ++i;
        }
    }
    return out;
}

}  // namespace qzcli
