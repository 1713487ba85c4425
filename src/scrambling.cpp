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

constexpr char kNoShift = '\0';  // no shift gives it: every result is printable

bool isQuote(int x) { return x == '"' || x == '\''; }

// Shifts one byte by s, applying the shift again while it lands on a quote.
// A shift by a whole turn (a key byte of 0, '^' or 0xA2) would land on the
// same quote for ever; that pair gives kNoShift instead of hanging.
char shiftByte(char byte, int s) {
    int x = wrap(static_cast<signed char>(byte) + s);
    if (s % kSpan == 0 && isQuote(x)) return kNoShift;
    while (isQuote(x)) x = wrap(x + s);
    return static_cast<char>(x);
}

// The shift of a byte depends on nothing but the byte and the key byte, so
// each direction is a table of all pairs, built once: the wrap loops then run
// per pair rather than per byte of every text, which matters for the long
// file lists of a big job.
using ShiftTable = std::array<std::array<char, 256>, 256>;  // [key byte][text byte]

ShiftTable buildTable(int sign) {
    ShiftTable table{};
    for (int k = 0; k < 256; ++k) {
        const int s = sign * static_cast<signed char>(static_cast<unsigned char>(k));
        for (int b = 0; b < 256; ++b) {
            table[static_cast<std::size_t>(k)][static_cast<std::size_t>(b)] =
                shiftByte(static_cast<char>(static_cast<unsigned char>(b)), s);
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
    const ShiftTable& table = tableFor(direction);
    std::string out(text.size(), '\0');
    std::size_t k = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        out[i] = table[static_cast<unsigned char>(key[k])][static_cast<unsigned char>(text[i])];
        if (++k == key.size()) k = 0;
    }
    if (out.find(kNoShift) != std::string::npos) {
        throw std::invalid_argument("cannot scramble a quote with a key byte of 0, '^' or 0xA2");
    }
    return out;
}

std::string WS::encrypt(const std::string& text) {
    if (encryptionKey.empty()) fail(__LINE__, "encrypt", "cannot encrypt with an empty encryption key");
    std::string scrambled;
    try {
        scrambled = scramble(text, encryptionKey, EShift::eForward);
    } catch (const std::invalid_argument&) {
        fail(__LINE__, "encrypt", "cannot encrypt a quote with this encryption key");
    }
    return url_encode(scrambled);
}

std::string WS::decrypt(const std::string& text) {
    if (encryptionKey.empty()) fail(__LINE__, "decrypt", "cannot decrypt with an empty encryption key");
    std::string plain;
    try {
        plain = scramble(text, encryptionKey, EShift::eBackward);
    } catch (const std::invalid_argument&) {
        fail(__LINE__, "decrypt", "cannot decrypt a quote with this encryption key");
    }
    for (char& c : plain) {
        if (c == '+') c = ' ';
    }
    return curlpp::unescape(plain);
}

}  // namespace qz
