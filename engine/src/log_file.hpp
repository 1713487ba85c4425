#pragma once
// Private helpers of the engine's log files.

#include <string>

namespace qz::detail {

// The folder for the engine's logs: QZ_LOG_DIR, else the temporary folder.
std::string logDirectory();

// Appends text to a file that is created readable by its owner only.
// Returns false when the file cannot be opened or written.
bool appendOwnerOnly(const std::string& path, const std::string& text);

// Empties (or creates) a file that is readable by its owner only.
bool truncateOwnerOnly(const std::string& path);

}  // namespace qz::detail
