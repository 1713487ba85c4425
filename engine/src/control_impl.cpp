#include "control_impl.hpp"

namespace qz {

void Control::Impl::refuseWhileUploading(int line, const std::string& operation) const {
    if (uploading) raise(line, operation, "cannot " + operation + " while an upload runs");
}

}  // namespace qz
