#include "control_impl.hpp"

#include "ftp_control_link.hpp"

namespace qz {

Control::Impl::Impl(const Options& o) : options(o.normalized()) {}
Control::Impl::~Impl() { dropLoginsUnderWay(); }

void Control::Impl::dropLoginsUnderWay() {
    for (const PendingLogin& login : linksLoggingIn) login.cancel();
    linksLoggingIn.clear();
}

void Control::Impl::refuseWhileUploading(int line, const std::string& operation) const {
    if (uploading) raise(line, operation, "cannot " + operation + " while an upload runs");
}

}  // namespace qz
