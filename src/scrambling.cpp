#include "qz/scrambling.hpp"

#include <array>
#include <stdexcept>

#include <curlpp/cURLpp.hpp>

#include "qz/strings.hpp"
#include "qz/ws.hpp"

namespace qz {

namespace {

constexpr int kLowest = 33;    // '!'
constexpr int kHighest = 126;  // '~'
constexpr int kSpan = kHighest - kLowest + 1;

int wrap(int x) {
    while (x < kLowest || x > kHighest) x += x < kLowest ? kSpan : -kSpan;
    return x;
}

// A shift by a multiple of the printable span leaves a quote a quote:
// applying it again would never end.
bool isWholeTurn(int s) { return s % kSpan == 0; }

// Shifts one byte by s, applying the shift again while it lands on a quote.
char shiftByte(char byte, int s) {
    int x = wrap(static_cast<signed char>(byte) + s);
    while (x == '"' || x == '\'') x = wrap(x + s);
    return static_cast<char>(x);
}

// The shift of a byte depends on nothing but the byte and the key byte, so
// each direction is a table of all pairs, built once: the wrap loops then run
// per pair rather than per byte of every text, which matters for the long
// file lists of a big job. Rows of whole-turn key bytes stay empty; such keys
// are refused before the table is read.
using ShiftTable = std::array<std::array<char, 256>, 256>;  // [key byte][text byte]

ShiftTable buildTable(int sign) {
    ShiftTable table{};
    for (int k = 0; k < 256; ++k) {
        const int s = sign * static_cast<signed char>(static_cast<unsigned char>(k));
        if (isWholeTurn(s)) continue;
        for (int b = 0; b < 256; ++b) {
            table[static_cast<std::size_t>(k)][static_cast<std::size_t>(b)] = shiftByte(
                static_cast<char>(static_cast<unsigned char>(b)), s);
        }
    }
    return table;
}

const ShiftTable& tableFor(EShift direction) {
    static const ShiftTable forward = buildTable(1);
    static const ShiftTable backward = buildTable(-1);
    return direction == EShift::eForward ? forward : backward;
}

}  // namespace

std::string scramble(const std::string& text, const std::string& key, EShift direction) {
    if (key.empty()) throw std::invalid_argument("cannot scramble with an empty key");
    for (char k : key) {
        if (isWholeTurn(static_cast<signed char>(k))) {
            throw std::invalid_argument("cannot scramble with a key byte of value " +
                                        std::to_string(static_cast<unsigned char>(k)));
        }
    }
    const ShiftTable& table = tableFor(direction);
    std::string out(text.size(), '\0');
    std::size_t k = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        out[i] = table[static_cast<unsigned char>(key[k])][static_cast<unsigned char>(text[i])];
        if (++k == key.size()) k = 0;
    }
    return out;
}

std::string WS::encrypt(const std::string& text) {
    if (encryptionKey.empty()) fail(__LINE__, "encrypt", "cannot encrypt with an empty encryption key");
    return url_encode(scramble(text, encryptionKey, EShift::eForward));
}

std::string WS::decrypt(const std::string& text) {
    if (encryptionKey.empty()) fail(__LINE__, "decrypt", "cannot decrypt with an empty encryption key");
    std::string plain = scramble(text, encryptionKey, EShift::eBackward);
    for (char& c : plain) {
        if (c == '+') c = ' ';
    }
    return curlpp::unescape(plain);
}

}  // namespace qz
