// The transfer itself. Until the FTP engine lands, the calls that would move
// bytes refuse plainly instead of pretending.
#include "control_impl.hpp"

namespace qz {

namespace {
[[noreturn]] void unavailable(int line, const std::string& operation) {
    raise(line, operation, "the transfer engine cannot " + operation + " yet: FTP transfers are not available in this build");
}
}  // namespace

void Control::connect() { unavailable(__LINE__, "connect"); }

void Control::upload() { unavailable(__LINE__, "upload"); }

void Control::disconnect() { impl_->connected = false; }

std::uint64_t Control::detectApproximateUploadSpeed(bool) {
    unavailable(__LINE__, "detectApproximateUploadSpeed");
}

}  // namespace qz
