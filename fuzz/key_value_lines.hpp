#pragma once
// Fuzz input as lines of NAME=VALUE (a line without "=" has an empty value).

#include <string>
#include <utility>
#include <vector>

inline std::vector<std::pair<std::string, std::string>> keyValueLines(const std::string& input) {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::size_t start = 0;
    while (start < input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        std::string line = input.substr(start, end - start);
        std::size_t eq = line.find('=');
        pairs.emplace_back(line.substr(0, eq), eq == std::string::npos ? "" : line.substr(eq + 1));
        start = end + 1;
    }
    return pairs;
}
