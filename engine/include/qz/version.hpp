#pragma once
// Version texts of the engine and of the TLS library it runs with.
//
//   qz::libqzVersionStr();     // "libqz 0.5.0", the version of the whole build
//   qz::opensslVersionStr();   // "OpenSSL 3.0.19 27 Jan 2026", as linked at run time

#include <string>

namespace qz {

std::string libqzVersionStr();
std::string opensslVersionStr();

}  // namespace qz
