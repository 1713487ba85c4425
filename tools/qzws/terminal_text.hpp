#pragma once
// Text from servers on the user's terminal. A job server or a transfer
// server may put any byte into a reply, a comment or a name; printed as it
// is, an escape sequence would retitle the window or rewrite the screen, and
// a line feed would add a line that looks like the command's own.

#include <string>

namespace qzcli {

// `text` with every control escaped, so that it prints as one line of plain
// characters: C0 bytes and DEL as "\xHH" (TAB, LF and CR as "\t", "\n",
// "\r"), C1 controls as "\xHH" when they come as bytes and as "\u0080" ...
// "\u009F" when they come as UTF-8. Everything else is kept, bytes that
// are not UTF-8 among it.
std::string printable(const std::string& text);

}  // namespace qzcli
