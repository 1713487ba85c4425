#include "folder_listing.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace qz {

namespace {

bool allDigits(std::string_view s, std::size_t least = 1, std::size_t most = 20) {
    return s.size() >= least && s.size() <= most &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<std::uint64_t> number(std::string_view s) {
    if (!allDigits(s)) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : s) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

// "type=file;size=10;modify=20240101120000; a b.txt": the facts end at the
// first space, the name is all that follows it.
std::optional<std::optional<ListedEntry>> machineLine(std::string_view line) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos || space + 1 >= line.size()) return std::nullopt;
    std::string_view facts = line.substr(0, space);
    std::string type;
    std::optional<std::uint64_t> size;
    while (!facts.empty()) {
        const std::size_t end = std::min(facts.find(';'), facts.size());
        const std::string_view fact = facts.substr(0, end);
        facts.remove_prefix(std::min(end + 1, facts.size()));
        const std::size_t equals = fact.find('=');
        if (equals == std::string_view::npos) return std::nullopt;
        const std::string key = lower(fact.substr(0, equals));
        const std::string_view value = fact.substr(equals + 1);
        if (key == "type") type = lower(value);
        if (key == "size") {
            size = number(value);
            if (!size) return std::nullopt;
        }
    }
    const std::string_view name = line.substr(space + 1);
    if (type == "cdir" || type == "pdir" || name == "." || name == "..") return std::optional<ListedEntry>{};
    const EListedKind kind = type == "file"  ? EListedKind::eFile
                             : type == "dir" ? EListedKind::eFolder
                                             : EListedKind::eOther;
    return std::optional<ListedEntry>{ListedEntry{name, kind, size}};
}

struct Word {
    std::string_view text;
    std::size_t end;  // where it ends in the line
};

std::vector<Word> words(std::string_view line, std::size_t most) {
    std::vector<Word> out;
    std::size_t i = 0;
    while (out.size() < most) {
        while (i < line.size() && line[i] == ' ') ++i;
        if (i >= line.size()) break;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ') ++i;
        out.push_back({line.substr(start, i - start), i});
    }
    return out;
}

bool isMonth(std::string_view s) {
    static constexpr std::array<std::string_view, 12> kMonths = {"jan", "feb", "mar", "apr", "may", "jun",
                                                                 "jul", "aug", "sep", "oct", "nov", "dec"};
    const std::string m = lower(s);
    return std::find(kMonths.begin(), kMonths.end(), m) != kMonths.end();
}

bool isTimeOrYear(std::string_view s) {
    if (allDigits(s, 4, 4)) return true;
    return s.size() == 5 && s[2] == ':' && allDigits(s.substr(0, 2)) && allDigits(s.substr(3));
}

// "-rw-r--r--   1 user group   10 Jan  1 12:00 a b.txt": the size comes
// before the date (month, day, time or year); the name is all that
// follows the date and one space. Some servers leave out the group.
std::optional<std::optional<ListedEntry>> unixLine(std::string_view line) {
    const char kind = line.empty() ? '\0' : line[0];
    if (std::string_view("-dlbcps").find(kind) == std::string_view::npos) return std::nullopt;
    const std::vector<Word> w = words(line, 9);
    for (std::size_t k = 3; k + 2 < w.size(); ++k) {
        if (!isMonth(w[k].text) || !allDigits(w[k + 1].text, 1, 2) || !isTimeOrYear(w[k + 2].text)) continue;
        const std::optional<std::uint64_t> size = number(w[k - 1].text);
        const std::size_t nameAt = w[k + 2].end + 1;
        if (!size || nameAt >= line.size()) return std::nullopt;
        std::string_view name = line.substr(nameAt);
        if (kind == 'l') name = name.substr(0, name.find(" -> "));
        if (name.empty() || name == "." || name == "..") return std::optional<ListedEntry>{};
        const EListedKind listed = kind == '-'   ? EListedKind::eFile
                                   : kind == 'd' ? EListedKind::eFolder
                                                 : EListedKind::eOther;
        return std::optional<ListedEntry>{ListedEntry{name, listed, size}};
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<ListedEntry>> readListing(std::string_view text, bool machine) {
    std::vector<ListedEntry> entries;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        if (!machine && line.substr(0, 6) == "total ") continue;
        const std::optional<std::optional<ListedEntry>> entry = machine ? machineLine(line) : unixLine(line);
        if (!entry) return std::nullopt;
        if (*entry) entries.push_back(**entry);
    }
    return entries;
}

}  // namespace qz
