#include "ftp_command_queue.hpp"

namespace qz {

bool replyFits(EFtpCommand kind, int code, bool preliminaryHeard) {
    if (code >= 400 && code <= 599) return true;
    switch (kind) {
        case EFtpCommand::eType:
        case EFtpCommand::eOptsHash: return code == 200;
        case EFtpCommand::eFeat: return code == 211;
        case EFtpCommand::eMkd: return code == 257 || code == 250;
        case EFtpCommand::eEpsv: return code == 229;
        case EFtpCommand::ePasv: return code == 227;
        case EFtpCommand::ePort: return code == 200;
        case EFtpCommand::eOptsUtf8: return code == 200 || code == 202;
        case EFtpCommand::eStor:
        case EFtpCommand::eList:
            if (code == 125 || code == 150) return !preliminaryHeard;
            return preliminaryHeard && (code == 226 || code == 250);
        case EFtpCommand::eSize:
        case EFtpCommand::eHash: return code == 213;
        case EFtpCommand::eDele: return code == 250 || code == 200;
    }
    return false;
}

std::optional<CommandReply> FtpCommandQueue::match(const FtpReply& reply) {
    if (open_.empty() || !replyFits(open_.front().kind, reply.code, preliminaryHeard_)) return std::nullopt;
    CommandReply out{open_.front(), reply.code < 200};
    if (out.preliminary) {
        preliminaryHeard_ = true;
        return out;
    }
    open_.pop_front();
    preliminaryHeard_ = false;
    return out;
}

}  // namespace qz
