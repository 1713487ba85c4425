#include "failure_kind.hpp"

namespace qz {

bool worthRetrying(CURLcode code, const std::string& lastReply) {
    switch (code) {
        case CURLE_LOGIN_DENIED:
        case CURLE_REMOTE_ACCESS_DENIED:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_USE_SSL_FAILED:
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_OUT_OF_MEMORY: return false;
        case CURLE_UPLOAD_FAILED:
        case CURLE_QUOTE_ERROR: return lastReply.empty() || lastReply[0] != '5';
        default: return true;
    }
}

bool storageRefused(CURLcode code, const std::string& lastReply) {
    return code == CURLE_REMOTE_DISK_FULL || lastReply.rfind("452", 0) == 0 || lastReply.rfind("552", 0) == 0;
}

bool serviceUnavailable(const std::string& lastReply) { return lastReply.rfind("421", 0) == 0; }

bool droppedUnheard(CURLcode code) {
    return code == CURLE_RECV_ERROR || code == CURLE_GOT_NOTHING || code == CURLE_WEIRD_SERVER_REPLY ||
           code == CURLE_SEND_ERROR;
}

}  // namespace qz
