#include "control_report.hpp"

#include <utility>

#include "qz/exception.hpp"

namespace qz {

void raise(int line, const std::string& operation, const std::string& message,
           std::map<std::string, std::string> diagnostics) {
    throw Exception("qz::Control", line, operation, message, std::move(diagnostics));
}

void note(Logging::EType type, const std::string& text) {
    if (Logging::isEnabled(type)) SummaryLog::add("qz::Control: " + text);
}

std::string secondsText(std::chrono::steady_clock::duration d) {
    const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(d).count() / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

}  // namespace qz
