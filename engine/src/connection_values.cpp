#include "connection_values.hpp"

#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "control_report.hpp"
#include "qz/quoted.hpp"

namespace qz {

namespace {

constexpr std::size_t kLongestHostName = 253;

std::string byteText(unsigned char c) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", c);
    return text;
}

[[noreturn]] void refuse(const std::string& setting, const std::string& what) {
    raise(__LINE__, "connect", "cannot connect: " + setting + " " + what + "; nothing was sent",
          {{"refused setting", setting}});
}

void refuseControlCharacters(const std::string& setting, const std::string& value) {
    for (unsigned char c : value) {
        if (isControlByte(c)) refuse(setting, "holds a control character (" + byteText(c) + ")");
    }
}

bool isIpv6Literal(const std::string& host) {
    std::string bare = host;
    if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
    in6_addr address{};
    return ::inet_pton(AF_INET6, bare.c_str(), &address) == 1;
}

void checkHost(const std::string& setting, const std::string& host) {
    if (host.empty()) refuse(setting, "is empty");
    refuseControlCharacters(setting, host);
    // An address with ":" can only be an IPv6 literal, bare or in brackets.
    if (host.find(':') != std::string::npos || host.front() == '[') {
        if (!isIpv6Literal(host)) refuse(setting, "is neither a host name nor an IP address");
        return;
    }
    if (host.size() > kLongestHostName) refuse(setting, "is longer than a host name can be");
    for (unsigned char c : host) {
        if (std::isalnum(c) || c == '.' || c == '-' || c == '_') continue;
        const std::string shown = c == ' '   ? "a space"
                                  : c < 0x80 ? "\"" + std::string(1, static_cast<char>(c)) + "\""
                                             : "the byte " + byteText(c);
        refuse(setting, "is not a plain host name or IP address: it holds " + shown);
    }
}

}  // namespace

void checkConnectionValues(const Options& options) {
    refuseControlCharacters("the user name (\"u\")", options.username);
    refuseControlCharacters("the password (\"p\")", options.password);
    checkHost("the server host (\"s\")", options.host);
    if (options.port == 0) refuse("the server port (\"p1\")", "is 0, where no server can listen");
}

std::string serverText(const std::string& host, std::uint16_t port) {
    const bool v6 = host.find(':') != std::string::npos && host.rfind('[', 0) != 0;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace qz
