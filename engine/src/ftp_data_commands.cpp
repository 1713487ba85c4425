// How a pipeline asks for its data connections: EPSV or PASV, EPRT or PORT
// in active mode, and the STOR (or APPE) that follows once the server is
// known to take the command.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "ftp_pipeline.hpp"
#include "qz/quoted.hpp"

namespace qz {

// The passive command, and the STOR behind it once the server is known to take it.
void FtpPipeline::askPassive(unsigned long file) {
    if (settings_.active) {
        if (!listenForData(file)) return;
    } else if (passive_ == EPassive::ePasv) {
        queue(EFtpCommand::ePasv, file, "PASV");
    } else {
        queue(EFtpCommand::eEpsv, file, "EPSV");
    }
    // Servers answer EPRT once they have connected to us, which may be after
    // they took a STOR written behind it: in active mode the STOR waits.
    if (passiveKnown_ && !settings_.active && !settings_.storeAfterPassiveReply) {
        queueStore(file);
        if (Open* o = find(file)) o->storeAhead = true;
    }
}

// The server failed a STOR (LIST) written behind its passive command
// before a byte could reach it (425 or 426 without a 1xx): it read the
// command before our data connection had reached it. From now on such
// commands wait for the passive reply. True when the reply was of that kind.
bool FtpPipeline::noDataYet(const FtpReply& reply, Open& o) {
    if (!o.storeAhead || o.outcome.accepted || (reply.code != 425 && reply.code != 426)) return false;
    o.storeAhead = false;
    settings_.storeAfterPassiveReply = true;
    return true;
}

// Active mode: a port of ours, on the address the control connection
// leaves from, is named to the server.
bool FtpPipeline::listenForData(unsigned long file) {
    sockaddr_storage local{};
    sockaddr_storage server{};
    socklen_t length = sizeof local;
    socklen_t serverLength = sizeof server;
    if (::getsockname(link_.socket(), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        ::getpeername(link_.socket(), reinterpret_cast<sockaddr*>(&server), &serverLength) != 0) {
        stop(std::string("the control connection has no address: ") + std::strerror(errno));
        return false;
    }
    sentAll_ = false;
    if (!data_.listen(local, server, link_.dataTls())) {
        // No STOR goes out for it: it settles now.
        if (Open* o = find(file)) o->outcome.fault = data_.fault();
        current_.reset();
        settle(file, EPipelineEnd::eBroken);
        return false;
    }
    char host[INET6_ADDRSTRLEN] = {};
    const bool v6 = local.ss_family == AF_INET6;
    const void* address = v6 ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&local)->sin6_addr)
                             : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&local)->sin_addr);
    ::inet_ntop(local.ss_family, address, host, sizeof host);
    const unsigned port = data_.listeningPort();
    if (passive_ == EPassive::ePasv && !v6) {
        std::string dotted = host;
        std::replace(dotted.begin(), dotted.end(), '.', ',');
        queue(EFtpCommand::ePort, file,
              "PORT " + dotted + "," + std::to_string(port / 256) + "," + std::to_string(port % 256));
    } else {
        queue(EFtpCommand::ePort, file,
              std::string("EPRT |") + (v6 ? "2" : "1") + "|" + host + "|" + std::to_string(port) + "|");
    }
    return true;
}

// The server takes the port. Some connect at once, before the STOR: the
// bytes wait for its 1xx, as a connection that ended before the STOR
// leaves such servers waiting for another.
void FtpPipeline::onPort(const FtpReply& reply, unsigned long file) {
    if (reply.code >= 400) {
        dataCommandRefused(reply, file);
        return;
    }
    if (dataCommandTaken()) return;
    queueStore(file);
}

// A refused EPSV (EPRT), listed in FEAT or not, costs nothing: PASV
// (PORT) it is, on this connection. With a STOR written behind it, the
// server's reply to that STOR decides: refused, the file asks again with
// PASV; taken without a data connection, the connection stops.
void FtpPipeline::dataCommandRefused(const FtpReply& reply, unsigned long file) {
    if (passive_ != EPassive::ePasv && reply.code >= 500) {
        passive_ = EPassive::ePasv;
        passiveKnown_ = false;
        if (storeWritten(file)) {
            if (Open* o = find(file)) o->askAgain = true;
            return;
        }
        // A STOR queued behind it and not written yet (one command at a
        // time) follows the new one; an active mode listener waits for a
        // PORT instead.
        unsent_.erase(std::remove_if(unsent_.begin(), unsent_.end(),
                                     [file](const QueuedCommand& c) {
                                         return (c.kind == EFtpCommand::eStor || c.kind == EFtpCommand::eList) &&
                                                c.file == file;
                                     }),
                      unsent_.end());
        data_.abort();
        askPassive(file);
        return;
    }
    const bool classic = passive_ == EPassive::ePasv;
    const char* command = settings_.active ? (classic ? "PORT" : "EPRT") : (classic ? "PASV" : "EPSV");
    dataRefused_ = classic && reply.code >= 500;
    stop(std::string("the server refused ") + command + ": " + quoted(reply.last()));
}

// The server took the data command: from now on it goes ahead of the STOR
// in one write (active mode excepted, see askPassive). True when it did so
// already, so that the STOR is written.
bool FtpPipeline::dataCommandTaken() {
    const bool known = std::exchange(passiveKnown_, true);
    if (passive_ == EPassive::eEpsvUntried) passive_ = EPassive::eEpsv;
    return known && !settings_.active;
}

void FtpPipeline::queueStore(unsigned long file) {
    Open* o = find(file);
    if (!o) return;
    if (o->listing) {
        std::string line = o->outcome.machineListing ? "MLSD" : "LIST";
        // LIST takes a word beginning with "-" for options.
        if (!o->commandPath.empty())
            line += (o->commandPath.front() == '-' && line == "LIST" ? " ./" : " ") + o->commandPath;
        queue(EFtpCommand::eList, file, line);
        return;
    }
    queue(EFtpCommand::eStor, file, (o->outcome.offset > 0 ? "APPE " : "STOR ") + o->commandPath);
}

void FtpPipeline::onPassive(const FtpReply& reply, unsigned long file) {
    if (reply.code >= 400) {
        dataCommandRefused(reply, file);
        return;
    }
    const std::optional<std::uint16_t> port = passivePort(reply);
    if (!port) {
        stop("the server's passive reply " + quoted(reply.last()) + " holds no port");
        return;
    }
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(link_.socket(), reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        stop(std::string("the control connection has no peer address: ") + std::strerror(errno));
        return;
    }
    if (peer.ss_family == AF_INET) {
        reinterpret_cast<sockaddr_in*>(&peer)->sin_port = htons(*port);
    } else if (peer.ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port = htons(*port);
    } else {
        stop("the control connection is neither IPv4 nor IPv6");
        return;
    }
    sentAll_ = false;
    if (Open* o = find(file)) o->dataMayGo = storeWritten(file);
    if (!dataCommandTaken() || settings_.storeAfterPassiveReply) queueStore(file);
    if (!data_.open(peer, length, link_.dataTls())) {
        // The server waits for it in vain and refuses the STOR; that reply settles the file.
        failCurrent(EPipelineEnd::eBroken, "cannot open the data connection: " + data_.fault());
    }
}

}  // namespace qz
