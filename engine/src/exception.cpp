#include "qz/exception.hpp"

#include <atomic>

#include "log_file.hpp"

namespace qz {

namespace {
std::atomic<bool>& exceptionLogOn() {
    static std::atomic<bool> on{false};
    return on;
}

// Set while this thread writes a line of the exception log: a refused log
// file raises an Exception of its own, which must not try to log again.
thread_local bool writingExceptionLog = false;
}  // namespace

Exception::Exception(std::string file, int line, std::string operation, std::string message,
                     std::map<std::string, std::string> diagnosticMap)
    : diagnostics(std::move(diagnosticMap)),
      file_(std::move(file)),
      line_(line),
      operation_(std::move(operation)),
      message_(std::move(message)) {
    if (!exceptionLogOn() || writingExceptionLog) return;
    writingExceptionLog = true;
    try {
        detail::writeLog("exceptions", detail::EWrite::eAppend,
                         file_ + ":" + std::to_string(line_) + " " + operation_ + ": " + message_ + "\n");
    } catch (...) {
        // A log line is not worth losing the error it describes.
    }
    writingExceptionLog = false;
}

void Exception::createLogFile(bool enabled) {
    if (enabled) detail::writeLog("exceptions", detail::EWrite::eAppend, "");
    exceptionLogOn() = enabled;
}

std::string Exception::getLogFilename() { return detail::logFilePath("exceptions"); }

}  // namespace qz
