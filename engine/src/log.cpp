#include "qz/log.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "log_file.hpp"
#include "qz/options.hpp"

namespace qz {

namespace detail {

std::string logDirectory() {
    const char* dir = std::getenv("QZ_LOG_DIR");
    if (dir && *dir) return dir;
    std::error_code ec;
    auto tmp = std::filesystem::temp_directory_path(ec);
    return ec ? std::string("/tmp") : tmp.string();
}

namespace {
bool writeAll(int fd, const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

bool openAndWrite(const std::string& path, int flags, const std::string& text) {
    int fd = ::open(path.c_str(), flags | O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = writeAll(fd, text);
    return ::close(fd) == 0 && ok;
}
}  // namespace

bool appendOwnerOnly(const std::string& path, const std::string& text) {
    return openAndWrite(path, O_APPEND, text);
}

bool truncateOwnerOnly(const std::string& path) { return openAndWrite(path, O_TRUNC, ""); }

}  // namespace detail

namespace {
std::mutex& summaryMutex() {
    static std::mutex m;
    return m;
}

std::atomic<unsigned>& enabledTypes() {
    static std::atomic<unsigned> bits{0};
    return bits;
}

unsigned bitOf(Logging::EType type) { return 1u << static_cast<int>(type); }
}  // namespace

void SummaryLog::add(const std::string& line) {
    std::lock_guard<std::mutex> lock(summaryMutex());
    detail::appendOwnerOnly(getLogFilename(), line + "\n");
}

void SummaryLog::truncateLogFile() {
    std::lock_guard<std::mutex> lock(summaryMutex());
    detail::truncateOwnerOnly(getLogFilename());
}

std::string SummaryLog::getLogFilename() {
    return detail::logDirectory() + "/qz-summary-" + std::to_string(::getpid()) + ".log";
}

void Logging::enable(EType type, const Options&, const std::string& text) {
    enabledTypes() |= bitOf(type);
    if (!text.empty()) SummaryLog::add(text);
}

void Logging::disable(EType type) { enabledTypes() &= ~bitOf(type); }

bool Logging::isEnabled(EType type) { return (enabledTypes() & bitOf(type)) != 0; }

}  // namespace qz
