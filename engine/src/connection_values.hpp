#pragma once
// The values that reach the transfer server as commands or in its URL: user
// name, password, host and port. They come from the job server's answer, so
// they are checked before a single byte is sent: a control character would
// end the command it is in and start another, and a host that is more than
// a name or an address would change the URL it is placed in.
//
//   checkConnectionValues(options);   // throws qz::Exception ("connect") naming the setting
//
// The error names the setting and the job server's attribute it comes from
// ("u", "p", "s", "p1"), never the value of the password.

#include <cstdint>
#include <string>

#include "qz/options.hpp"

namespace qz {

void checkConnectionValues(const Options& options);

// "host:port" as shown in messages and written in URLs; an IPv6 address
// goes in brackets.
std::string serverText(const std::string& host, std::uint16_t port);

}  // namespace qz
