#pragma once
// How the engine's parts report: errors as qz::Exception from "qz::Control",
// progress as lines of the summary log.
//
//   raise(__LINE__, "upload", "could not send 1 of 3 files: ...");
//   note(Logging::EType::eWarnings, "retrying \"a.bin\" (attempt 2) after: ...");

#include <chrono>
#include <map>
#include <string>

#include "qz/log.hpp"

namespace qz {

// Raises the engine's error for `operation` with `message`.
[[noreturn]] void raise(int line, const std::string& operation, const std::string& message,
                        std::map<std::string, std::string> diagnostics = {});

// Adds "qz::Control: " + `text` to the summary log when `type` is enabled.
void note(Logging::EType type, const std::string& text);

// Seconds with one decimal, as in "1.5", for such lines.
std::string secondsText(std::chrono::steady_clock::duration d);

}  // namespace qz
