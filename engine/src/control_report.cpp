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

}  // namespace qz
