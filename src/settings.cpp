// One-time library set-up and the settings that the host writes and reads.
#include <curlpp/cURLpp.hpp>
#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <cctype>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "qz/ws.hpp"

namespace qz {

namespace {

bool truthOf(const std::string& value) { return value == "on" || value == "yes" || value == "true"; }

std::int32_t numberOf(const std::string& value) {
    return static_cast<std::int32_t>(std::strtol(value.c_str(), nullptr, 10));
}

// A TLS level or a size must be asked for plainly: blanks around an optional
// sign and digits, nothing else. Read leniently, "x1" or "0x" would give 0
// and quietly switch a check off.
std::optional<long long> plainNumberOf(const std::string& value) {
    std::size_t first = 0;
    std::size_t last = value.size();
    while (first < last && std::isspace(static_cast<unsigned char>(value[first]))) ++first;
    while (last > first && std::isspace(static_cast<unsigned char>(value[last - 1]))) --last;
    if (last - first > 1 && value[first] == '+' && value[first + 1] != '-') ++first;
    long long number = 0;
    const char* end = value.data() + last;
    const auto [stop, error] = std::from_chars(value.data() + first, end, number);
    if (error != std::errc() || stop != end) return std::nullopt;
    return number;
}

bool hasDigit(const std::string& value) {
    for (char c : value) {
        if (c >= '0' && c <= '9') return true;
    }
    return false;
}

std::string invalidValue(const std::string& key, const std::string& value) {
    return "invalid value \"" + value + "\" for key \"" + key + "\"";
}

void logXmlText(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!text.empty()) SummaryLog::add("qz::WS: libxml2: " + text);
}

void logXmlError(void*, xmlErrorPtr error) {
    if (error && error->message) logXmlText(error->message);
}

// libxml2 hands printf-style pieces here.
void logGenericXmlError(void*, const char* format, ...) {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    logXmlText(text);
}

}  // namespace

void WS::initialize_third_party_libs() {
    curlpp::initialize(CURL_GLOBAL_ALL);
    xmlInitParser();
    // libxml2 would print its complaints about a bad document on stderr,
    // which is the host's: they go to the summary log instead, on this
    // thread and on threads started later.
    xmlSetGenericErrorFunc(nullptr, logGenericXmlError);
    xmlSetStructuredErrorFunc(nullptr, logXmlError);
    xmlThrDefSetGenericErrorFunc(nullptr, logGenericXmlError);
    xmlThrDefSetStructuredErrorFunc(nullptr, logXmlError);
    xmlKeepBlanksDefault(0);
    xmlLineNumbersDefault(1);
    xmlThrDefIndentTreeOutput(1);
    xmlThrDefTreeIndentString("    ");
    // The two calls above set the defaults of threads started later; the
    // calling thread keeps its own copy, so it gets the same layout here.
    xmlIndentTreeOutput = 1;
    xmlTreeIndentString = "    ";
}

WS& WS::setX(const StringMap& settings) {
    for (const auto& [key, value] : settings) {
        if (key == "verbose" || key == "debug") {
            verbose = truthOf(value);
        } else if (key == "sslverifyhost" || key == "sslverifypeer") {
            // A level that a 32-bit field cannot hold would be cut, 4294967296
            // to 0; refused like any other value that is not plainly a level.
            const auto level = plainNumberOf(value);
            if (!level || *level != static_cast<std::int32_t>(*level)) {
                message = invalidValue(key, value);
                continue;
            }
            (key == "sslverifyhost" ? sslVerifyHost : sslVerifyPeer) = static_cast<std::int32_t>(*level);
        } else if (key == "timeout" || key == "connecttimeout") {
            if (!hasDigit(value) || numberOf(value) < 0) {
                message = invalidValue(key, value);
                continue;
            }
            (key == "timeout" ? requestTimeout : connectTimeout) = numberOf(value);
        } else if (key == "maxanswersize") {
            const auto size = plainNumberOf(value);
            if (!size || *size < 0) {
                message = invalidValue(key, value);
                continue;
            }
            maxAnswerSize = static_cast<std::uint64_t>(*size);
        } else if (key == "useragent") {
            userAgent = value;
        } else if (key == "baseurl") {
            baseUrl = value;
        } else {
            message = "unknown key \"" + key + "\"";
        }
    }
    return *this;
}

WS& WS::getX(StringMap& settings) {
    for (auto& [key, value] : settings) {
        if (key == "useragent") {
            value = userAgent;
        } else if (key == "cookies") {
            value = cookieFile;
        } else if (key == "timeout") {
            value = std::to_string(requestTimeout);
        } else if (key == "connecttimeout") {
            value = std::to_string(connectTimeout);
        } else if (key == "maxanswersize") {
            value = std::to_string(maxAnswerSize);
        }
    }
    return *this;
}

}  // namespace qz
