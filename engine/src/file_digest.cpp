#include "file_digest.hpp"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <vector>

namespace qz {

namespace {
constexpr std::size_t kCatchUpBlock = 1024 * 1024;
}

struct FileDigest::Context {
    EVP_MD_CTX* md = nullptr;
    ~Context() { EVP_MD_CTX_free(md); }
};

FileDigest::FileDigest() : context_(std::make_unique<Context>()) {
    context_->md = EVP_MD_CTX_new();
    if (!context_->md || EVP_DigestInit_ex(context_->md, EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
}

FileDigest::~FileDigest() = default;

void FileDigest::add(const void* data, std::size_t length) {
    if (length == 0) return;
    // SHA-256 update fails only on a context that was never set up.
    EVP_DigestUpdate(context_->md, data, length);
    covered_ += length;
}

bool FileDigest::catchUp(int fd, std::uint64_t end) {
    std::vector<unsigned char> block;
    while (covered_ < end) {
        if (block.empty()) block.resize(kCatchUpBlock);
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), end - covered_));
        const ssize_t n = ::pread(fd, block.data(), wanted, static_cast<off_t>(covered_));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = 0;
            return false;
        }
        add(block.data(), static_cast<std::size_t>(n));
    }
    return true;
}

std::string FileDigest::finish() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_->md, digest, &length);
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0x0f];
    }
    return text;
}

}  // namespace qz
