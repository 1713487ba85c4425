#include "control_impl.hpp"

#include "ftp_control_link.hpp"
#include "ftp_session.hpp"

namespace qz {

void raise(int line, const std::string& operation, const std::string& message,
           std::map<std::string, std::string> diagnostics) {
    throw Exception("qz::Control", line, operation, message, std::move(diagnostics));
}

void note(Logging::EType type, const std::string& text) {
    if (Logging::isEnabled(type)) SummaryLog::add("qz::Control: " + text);
}

Control::Impl::Impl(const Options& o) : options(o) {}
Control::Impl::~Impl() = default;

void Control::Impl::refuseWhileUploading(int line, const std::string& operation) const {
    if (uploading) raise(line, operation, "cannot " + operation + " while an upload runs");
}

}  // namespace qz
