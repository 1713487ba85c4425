#include "qz/name.hpp"
#include "qz/stats.hpp"

namespace qz {

std::string Name::base() const {
    auto slash = path_.find_last_of('/');
    return slash == std::string::npos ? path_ : path_.substr(slash + 1);
}

std::string to_string(EFileResult result) {
    switch (result) {
        case EFileResult::ePending: return "pending";
        case EFileResult::eSending: return "sending";
        case EFileResult::eDone: return "done";
        case EFileResult::eFailed: return "failed";
    }
    return "?";
}

std::string to_string(EVerifiedBy how) {
    switch (how) {
        case EVerifiedBy::eNone: return "";
        case EVerifiedBy::eHash: return "hash";
        case EVerifiedBy::eSize: return "size";
        case EVerifiedBy::eListing: return "listing";
        case EVerifiedBy::eTransferReply: return "transfer reply";
    }
    return "?";
}

}  // namespace qz
