#pragma once
// Reading what the client sent, as a server would.

#include <curlpp/cURLpp.hpp>

#include <string>
#include <utility>
#include <vector>

#include "qz/scrambling.hpp"

namespace qztest {

// The fields of a form body in the order sent, names and values as sent.
inline std::vector<std::pair<std::string, std::string>> formFields(const std::string& body) {
    std::vector<std::pair<std::string, std::string>> fields;
    std::size_t start = 0;
    while (start <= body.size() && !body.empty()) {
        std::size_t end = body.find('&', start);
        if (end == std::string::npos) end = body.size();
        std::string field = body.substr(start, end - start);
        std::size_t eq = field.find('=');
        fields.emplace_back(field.substr(0, eq), eq == std::string::npos ? "" : field.substr(eq + 1));
        start = end + 1;
    }
    return fields;
}

// A scrambled field back in plain text: URL-decoded, then shifted back.
inline std::string unscramble(const std::string& sent, const std::string& key) {
    return qz::scramble(curlpp::unescape(sent), key, qz::EShift::eBackward);
}

}  // namespace qztest
