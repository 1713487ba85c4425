#include "qz/version.hpp"

#include <openssl/crypto.h>

namespace qz {

std::string libqzVersionStr() { return "libqz " QZ_ENGINE_VERSION; }

std::string opensslVersionStr() { return OpenSSL_version(OPENSSL_VERSION); }

}  // namespace qz
