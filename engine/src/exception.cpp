#include "qz/exception.hpp"

#include <unistd.h>

#include <atomic>

#include "log_file.hpp"

namespace qz {

namespace {
std::atomic<bool>& exceptionLogOn() {
    static std::atomic<bool> on{false};
    return on;
}
}  // namespace

Exception::Exception(std::string file, int line, std::string operation, std::string message,
                     std::map<std::string, std::string> diagnosticMap)
    : diagnostics(std::move(diagnosticMap)),
      file_(std::move(file)),
      line_(line),
      operation_(std::move(operation)),
      message_(std::move(message)) {
    if (!exceptionLogOn()) return;
    try {
        detail::appendOwnerOnly(getLogFilename(), file_ + ":" + std::to_string(line_) + " " +
                                                      operation_ + ": " + message_ + "\n");
    } catch (...) {
        // A log line is not worth losing the error it describes.
    }
}

void Exception::createLogFile(bool enabled) {
    exceptionLogOn() = enabled;
    if (enabled) detail::appendOwnerOnly(getLogFilename(), "");
}

std::string Exception::getLogFilename() {
    return detail::logDirectory() + "/qz-exceptions-" + std::to_string(::getpid()) + ".log";
}

}  // namespace qz
