#pragma once
// Whether a URL is one the client may send a request to.
//
//   qz::detail::isWebUrl("https://jobs.example.net/app/") == true
//   qz::detail::isWebUrl("file:///etc/passwd") == false

#include <string>
#include <strings.h>

namespace qz::detail {

// http or https, the scheme in any letter case as libcurl reads it. libcurl
// would as gladly read a file: or ftp: URL, which a mistyped or planted base
// URL must never reach.
inline bool isWebUrl(const std::string& url) {
    return ::strncasecmp(url.c_str(), "http://", 7) == 0 || ::strncasecmp(url.c_str(), "https://", 8) == 0;
}

}  // namespace qz::detail
