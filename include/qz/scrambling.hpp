#pragma once
// The position-dependent shift that hides request values from casual eyes.
// Both ends of the job protocol use it: the client shifts forward and then
// URL-escapes; the server URL-decodes and shifts back with the same key.
//
//   std::string s = qz::scramble("secret", key, qz::EShift::eForward);
//   qz::scramble(s, key, qz::EShift::eBackward) == "secret"
//
// Only printable bytes (33 to 126) other than '"' and '\'' come back
// unchanged; every output byte is printable and never '"' or '\''.

#include <string>

namespace qz {

enum class EShift { eForward, eBackward };

// Shifts each byte of `text` by the key digit at its position (the key
// repeats). An empty key, or one holding a byte whose shift is a multiple
// of 94 (0x00, '^', 0xA2), raises std::invalid_argument; the digits of a
// client's key never do.
std::string scramble(const std::string& text, const std::string& key, EShift direction);

}  // namespace qz
