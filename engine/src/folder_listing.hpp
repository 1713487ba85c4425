#pragma once
// A folder's listing as the server sent it: MLSD's facts ("type=file;
// size=10; a b.txt") or LIST's lines in the usual Unix form
// ("-rw-r--r--   1 user group   10 Jan  1 12:00 a b.txt"). A listing is
// read whole or not at all: one line that cannot be read makes the whole
// listing unreadable, so that no name is ever taken for missing on a
// guess.
//
//   std::optional<std::vector<ListedEntry>> entries = readListing(text, machine);
//   if (!files) ...   // a format we cannot read: the check is skipped

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qz {

enum class EListedKind { eFile, eFolder, eOther };

struct ListedEntry {
    std::string_view name;  // as listed, in the listing's text: a base name, or for LIST of one file maybe its path
    EListedKind kind = EListedKind::eFile;
    std::optional<std::uint64_t> size;  // bytes of a file, where the listing gives them
};

// The entries the listing names (the folder itself and its parent left
// out; a link by its own name); none when a line cannot be read. The names
// point into `text`.
std::optional<std::vector<ListedEntry>> readListing(std::string_view text, bool machine);

}  // namespace qz
