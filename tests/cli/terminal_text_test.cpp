// Server text on the terminal: every control escaped, everything else kept.
#include <gtest/gtest.h>

#include "terminal_text.hpp"

namespace {

TEST(TerminalText, ControlsAreEscapedAndTheRestKept) {
    const std::pair<std::string, std::string> cases[] = {
        {"550 \x1B]0;PWNED\x07"
         "denied",
         "550 \\x1B]0;PWNED\\x07denied"},
        {"one\ntwo\rthree\tfour\x7F", "one\\ntwo\\rthree\\tfour\\x7F"},
        {"C1 as UTF-8: \xC2\x9B[2J \xC2\x85", "C1 as UTF-8: \\u009B[2J \\u0085"},
        {"C1 as a byte: \x9B[2J", "C1 as a byte: \\x9B[2J"},
        // U+00A0 and U+015B end in the bytes 0xA0 and 0x9B: whole characters, kept.
        {"caf\xC3\xA9 \xC2\xA0 \xC5\x9B \xE2\x82\xAC \xF0\x9F\x98\x80",
         "caf\xC3\xA9 \xC2\xA0 \xC5\x9B \xE2\x82\xAC \xF0\x9F\x98\x80"},
        // Not UTF-8: a stray lead byte, a cut sequence, an overlong form of U+009B.
        {"\xE9t\xE9 \xE2\x82 \xC0\x9B", "\xE9t\xE9 \xE2\\x82 \xC0\\x9B"},
    };
    for (const auto& [text, shown] : cases) EXPECT_EQ(qzcli::printable(text), shown) << text;
}

}  // namespace
