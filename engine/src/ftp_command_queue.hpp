#pragma once
// The commands sent on one control connection and not yet answered, oldest
// first. A server answers commands in the order it read them, so each reply
// belongs to the oldest open command, if the reply is one that command can
// get: a 213 where a 226 is due means the server answered out of order (some
// servers handle a command that arrives while a transfer still runs), and
// such a reply is never credited to anything.
//
//   FtpCommandQueue queue;
//   queue.push({EFtpCommand::eEpsv, 0, "EPSV"});
//   queue.push({EFtpCommand::eStor, 0, "STOR a"});
//   queue.match(reply229)->command.kind == EFtpCommand::eEpsv;
//   queue.match(reply150)->preliminary == true;   // STOR stays open
//   queue.match(reply213) == std::nullopt;        // no STOR ends with 213

#include <cstddef>
#include <deque>
#include <optional>
#include <string>

#include "ftp_reply.hpp"

namespace qz {

enum class EFtpCommand : int {
    eType,      // "TYPE I": 200
    eFeat,      // "FEAT": 211
    eOptsHash,  // "OPTS HASH SHA-256": 200
    eMkd,       // 257 (some servers: 250)
    eEpsv,      // 229
    ePasv,      // 227
    ePort,      // "EPRT" or "PORT": 200
    eStor,      // 1xx first, then 226 or 250
    eSize,      // 213
    eHash,      // 213
    eDele,      // 250 (some servers: 200)
    eOptsUtf8,  // "OPTS UTF8 ON": 200 (some servers: 202)
    eList,      // "MLSD" or "LIST": 1xx first, then 226 or 250
};

struct QueuedCommand {
    EFtpCommand kind = EFtpCommand::eType;
    std::size_t file = 0;  // the file the command serves, where it serves one
    std::string line;      // as sent, without its line end
};

struct CommandReply {
    QueuedCommand command;
    bool preliminary = false;  // a 1xx: the command waits for its final reply
};

class FtpCommandQueue {
public:
    void push(QueuedCommand command) { open_.push_back(std::move(command)); }
    bool empty() const { return open_.empty(); }
    std::size_t size() const { return open_.size(); }
    const std::deque<QueuedCommand>& open() const { return open_; }

    // The command `reply` answers; a final reply closes it. nullopt when no
    // command is open or the reply is not one the oldest command can get:
    // the conversation is then out of step and no later reply can be trusted.
    std::optional<CommandReply> match(const FtpReply& reply);

private:
    std::deque<QueuedCommand> open_;
    bool preliminaryHeard_ = false;  // the oldest command had its 1xx
};

// Whether `code` can answer `kind` (4xx and 5xx answer every command).
bool replyFits(EFtpCommand kind, int code, bool preliminaryHeard);

}  // namespace qz
