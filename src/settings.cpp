// One-time library set-up and the settings that the host writes and reads.
#include <curlpp/cURLpp.hpp>
#include <libxml/globals.h>
#include <libxml/parser.h>

#include <cstdlib>

#include "qz/ws.hpp"

namespace qz {

namespace {

bool truthOf(const std::string& value) { return value == "on" || value == "yes" || value == "true"; }

std::int32_t numberOf(const std::string& value) {
    return static_cast<std::int32_t>(std::strtol(value.c_str(), nullptr, 10));
}

bool hasDigit(const std::string& value) {
    for (char c : value) {
        if (c >= '0' && c <= '9') return true;
    }
    return false;
}

}  // namespace

void WS::initialize_third_party_libs() {
    curlpp::initialize(CURL_GLOBAL_ALL);
    xmlInitParser();
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
            // A value without any digit would read as 0 and quietly switch a
            // TLS check off; keep the check as it was instead.
            if (!hasDigit(value)) {
                message = "invalid value \"" + value + "\" for key \"" + key + "\"";
                continue;
            }
            (key == "sslverifyhost" ? sslVerifyHost : sslVerifyPeer) = numberOf(value);
        } else if (key == "timeout" || key == "connecttimeout") {
            if (!hasDigit(value) || numberOf(value) < 0) {
                message = "invalid value \"" + value + "\" for key \"" + key + "\"";
                continue;
            }
            (key == "timeout" ? requestTimeout : connectTimeout) = numberOf(value);
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
        }
    }
    return *this;
}

}  // namespace qz
