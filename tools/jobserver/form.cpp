#include "form.hpp"

namespace jobserver {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<std::string> formDecode(const std::string& encoded) {
    std::string out;
    out.reserve(encoded.size());
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            if (i + 2 >= encoded.size()) return std::nullopt;
            const int high = hexValue(encoded[i + 1]);
            const int low = hexValue(encoded[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

FormFields splitForm(const std::string& text) {
    FormFields fields;
    if (text.empty()) return fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find('&', start);
        const std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::size_t eq = part.find('=');
        if (eq == std::string::npos) {
            fields.emplace_back(part, "");
        } else {
            fields.emplace_back(part.substr(0, eq), part.substr(eq + 1));
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return fields;
}

std::string queryOf(const std::string& target) {
    const std::size_t mark = target.find('?');
    return mark == std::string::npos ? std::string() : target.substr(mark + 1);
}

std::optional<std::string> findField(const FormFields& fields, const std::string& name) {
    for (const auto& field : fields) {
        if (field.first == name) return field.second;
    }
    return std::nullopt;
}

std::string xmlAttribute(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    // XML 1.0 allows only tab, line feed and carriage return below 0x20.
                    if (c == '\t' || c == '\n' || c == '\r') {
                        out += "&#" + std::to_string(static_cast<int>(c)) + ";";
                    } else {
                        out += '?';
                    }
                } else {
                    out += c;
                }
        }
    }
    return out;
}

}  // namespace jobserver
