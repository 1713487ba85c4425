#include "qz/log.hpp"

#include <atomic>
#include <mutex>

#include "log_file.hpp"
#include "qz/exception.hpp"
#include "qz/options.hpp"

namespace qz {

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
    try {
        detail::writeLog("summary", detail::EWrite::eAppend, line + "\n");
    } catch (const Exception&) {
        // The line is lost; logWriteFailures tells which log and why.
    }
}

void SummaryLog::truncateLogFile() {
    std::lock_guard<std::mutex> lock(summaryMutex());
    detail::writeLog("summary", detail::EWrite::eTruncate, "");
}

std::vector<std::string> logPathsRemovedAtExit() { return detail::pathsRemovedAtExit(); }

std::map<std::string, std::string> logWriteFailures() { return detail::lostLines(); }

std::string SummaryLog::getLogFilename() { return detail::logFilePath("summary"); }

std::string SummaryLog::whyIncomplete() {
    const std::string path = getLogFilename();
    const auto lost = detail::lostLines();
    auto why = lost.find(path);
    if (why == lost.end()) why = lost.find(path.substr(0, path.rfind('/')));
    return why == lost.end() ? "" : why->second;
}

void Logging::enable(EType type, const Options&, const std::string& text) {
    enabledTypes() |= bitOf(type);
    if (!text.empty()) SummaryLog::add(text);
}

void Logging::disable(EType type) { enabledTypes() &= ~bitOf(type); }

bool Logging::isEnabled(EType type) { return (enabledTypes() & bitOf(type)) != 0; }

}  // namespace qz
