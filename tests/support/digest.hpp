#pragma once
// SHA-256 of a file, as lower-case hex, read in blocks.

#include <openssl/evp.h>

#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

namespace qztest {

inline std::string sha256File(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
    char buf[1 << 16];
    while (in.read(buf, sizeof buf) || in.gcount() > 0)
        EVP_DigestUpdate(ctx.get(), buf, static_cast<std::size_t>(in.gcount()));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &length);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

}  // namespace qztest
