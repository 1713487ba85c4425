#include "qz/version.hpp"

#include <openssl/crypto.h>

#include "qzws_version.hpp"

namespace qz {

std::string libqzVersionStr() { return "libqz " QZWS_VERSION; }

std::string opensslVersionStr() { return OpenSSL_version(OPENSSL_VERSION); }

}  // namespace qz
