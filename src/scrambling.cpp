#include "qz/scrambling.hpp"

#include <curlpp/cURLpp.hpp>

#include <stdexcept>

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

// Shifts one byte by s, applying the shift again while it lands on a quote.
char shiftByte(char byte, int s) {
    int x = wrap(static_cast<signed char>(byte) + s);
    while (x == '"' || x == '\'') x = wrap(x + s);
    return static_cast<char>(x);
}

}  // namespace

std::string scramble(const std::string& text, const std::string& key, EShift direction) {
    if (key.empty()) throw std::invalid_argument("cannot scramble with an empty key");
    // A shift by a multiple of the printable span leaves a quote a quote:
    // applying it again would never end.
    for (char k : key) {
        if (static_cast<signed char>(k) % kSpan == 0) {
            throw std::invalid_argument("cannot scramble with a key byte of value " +
                                        std::to_string(static_cast<unsigned char>(k)));
        }
    }
    std::string out(text);
    const std::size_t keyLength = key.size();
    const int sign = direction == EShift::eForward ? 1 : -1;
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = shiftByte(out[i], sign * static_cast<signed char>(key[i % keyLength]));
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
