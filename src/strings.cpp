#include "qz/strings.hpp"

#include <curlpp/cURLpp.hpp>

#include <cstring>

std::string url_encode(const std::string& text) {
    std::string escaped = curlpp::escape(text);
    for (char& c : escaped) {
        if (c == ' ') c = '+';
    }
    return escaped;
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return prefix.size() <= text.size() &&
           std::memcmp(text.data(), prefix.data(), prefix.size()) == 0;
}

bool ends_with(const std::string& text, const std::string& suffix) {
    return suffix.size() <= text.size() &&
           std::memcmp(text.data() + (text.size() - suffix.size()), suffix.data(), suffix.size()) == 0;
}
