#pragma once
// Names in messages and log lines: in double quotes, control bytes written
// as \xNN, so that a file name can neither break a log line nor steer the
// terminal that shows the message.
//
//   qz::quoted("a\tb.txt")  // -> "\"a\\x09b.txt\""

#include <cstdio>
#include <string>

namespace qz {

// A byte that would break a log line, end an FTP command or steer a terminal.
inline bool isControlByte(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

inline std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char byte : text) {
        if (isControlByte(byte)) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out + "\"";
}

}  // namespace qz
