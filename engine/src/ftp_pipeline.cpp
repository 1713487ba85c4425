#include "ftp_pipeline.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "local_file.hpp"
#include "qz/quoted.hpp"
#include "remote_path.hpp"
#include "server_hash.hpp"

namespace qz {

namespace {

constexpr std::size_t kBlock = 64 * 1024;

bool unchanged(const struct stat& before, const struct stat& now) {
    return before.st_size == now.st_size && before.st_mtim.tv_sec == now.st_mtim.tv_sec &&
           before.st_mtim.tv_nsec == now.st_mtim.tv_nsec;
}

}  // namespace

FtpPipeline::FtpPipeline(ControlLink& link, std::vector<PipelineFile> files)
    : link_(link), files_(std::move(files)), results_(files_.size()) {
    queue(EFtpCommand::eType, 0, "TYPE I");
    queue(EFtpCommand::eFeat, 0, "FEAT");
    flush();
}

FtpPipeline::~FtpPipeline() { closeLocal(); }

void FtpPipeline::queue(EFtpCommand kind, std::size_t file, std::string line) {
    unsent_.push_back({kind, file, std::move(line)});
}

void FtpPipeline::flush() {
    if (!fault_.empty()) return;
    if (outgoing_.empty()) {
        std::size_t take = unsent_.size();
        if (oneAtATime_) take = sent_.empty() ? std::min<std::size_t>(1, take) : 0;
        for (std::size_t i = 0; i < take; ++i) {
            outgoing_ += unsent_[i].line + "\r\n";
            sent_.push(std::move(unsent_[i]));
        }
        unsent_.erase(unsent_.begin(), unsent_.begin() + static_cast<std::ptrdiff_t>(take));
        if (take > 0) ++writes_;
    }
    while (!outgoing_.empty()) {
        const IoResult r = link_.send(outgoing_.data(), outgoing_.size());
        if (r.state == EIo::eWouldBlock) return;
        if (r.state != EIo::eDone) {
            stop("the control connection broke: " + link_.fault());
            return;
        }
        outgoing_.erase(0, r.bytes);
    }
}

void FtpPipeline::receive() {
    char buffer[16 * 1024];
    for (;;) {
        const IoResult r = link_.receive(buffer, sizeof buffer);
        if (r.state == EIo::eWouldBlock) break;
        if (r.state == EIo::eClosed) {
            stop("the server closed the control connection");
            return;
        }
        if (r.state == EIo::eFailed) {
            stop("the control connection broke: " + link_.fault());
            return;
        }
        if (!reader_.feed(buffer, r.bytes)) {
            stop(reader_.fault());
            return;
        }
    }
    while (fault_.empty()) {
        const std::optional<FtpReply> reply = reader_.next();
        if (!reply) break;
        onReply(*reply);
    }
}

void FtpPipeline::onReply(const FtpReply& reply) {
    const std::optional<CommandReply> match = sent_.match(reply);
    if (!match) {
        stop("the server's reply " + quoted(reply.last()) + " answers no command that was sent" +
             (sent_.empty() ? std::string() : " (the oldest open one is " + quoted(sent_.open().front().line) + ")"));
        return;
    }
    const QueuedCommand& command = match->command;
    switch (command.kind) {
    case EFtpCommand::eType:
        if (reply.code != 200) stop("the server refused binary mode: " + quoted(reply.last()));
        break;
    case EFtpCommand::eFeat:
        onFeat(reply);
        break;
    case EFtpCommand::eOptsHash:
        if (reply.code != 200) hash_ = false;
        break;
    case EFtpCommand::eEpsv:
    case EFtpCommand::ePasv:
        onPassive(reply, command.file);
        break;
    case EFtpCommand::eStor:
        if (!match->preliminary) onStored(reply, command.file);
        break;
    case EFtpCommand::eSize:
        onSize(reply, command.file);
        break;
    case EFtpCommand::eHash:
        onHash(reply, command.file);
        break;
    }
}

void FtpPipeline::onFeat(const FtpReply& reply) {
    hash_ = reply.code == 211 && offersSha256(reply.lines);
    // The selection lasts for the connection: one OPTS serves every file.
    if (hash_) queue(EFtpCommand::eOptsHash, 0, "OPTS HASH SHA-256");
    loggedIn_ = true;
    startNextFile();
}

void FtpPipeline::startNextFile() {
    while (next_ < files_.size()) {
        const std::size_t i = next_++;
        const PipelineFile& file = files_[i];
        const std::string problem = remoteNameProblem(file.remoteName);
        if (!problem.empty()) {
            fail(i, "the remote name " + quoted(file.remoteName) + " " + problem);
            continue;
        }
        OpenedFile opened = openQueuedFile(file.localPath);
        if (opened.fd < 0) {
            fail(i, quoted(file.localPath) + " " + opened.fault);
            continue;
        }
        closeLocal();
        local_.fd = opened.fd;
        local_.opened = opened.info;
        local_.offset = 0;
        local_.digest.emplace();
        local_.buffer.clear();
        local_.bufferAt = 0;
        current_ = i;
        results_[i] = PipelineFileResult{};
        results_[i].state = EPipelineFile::eSending;
        queue(passiveOnly_ ? EFtpCommand::ePasv : EFtpCommand::eEpsv, i, passiveOnly_ ? "PASV" : "EPSV");
        queue(EFtpCommand::eStor, i, "STOR " + remoteCommandPath(file.remoteName));
        return;
    }
}

void FtpPipeline::onPassive(const FtpReply& reply, std::size_t file) {
    if (reply.code >= 400) {
        if (reply.code >= 500 && !passiveOnly_) {
            // The STOR written behind it is refused too (no data port); the
            // file goes again with the plain sequence once that reply is in.
            passiveOnly_ = true;
            oneAtATime_ = true;
            redo_ = file;
            return;
        }
        fail(file, "the server refused a data connection for " + quoted(files_[file].remoteName) + ": " +
                       quoted(reply.last()));
        // One at a time, the STOR behind it was not sent yet and never will be.
        if (!unsent_.empty() && unsent_.front().kind == EFtpCommand::eStor && unsent_.front().file == file) {
            unsent_.erase(unsent_.begin());
            closeLocal();
            startNextFile();
        }
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
    if (!data_.open(peer, length, link_.dataTls())) {
        fail(file, "cannot open the data connection for " + quoted(files_[file].remoteName) + ": " + data_.fault());
        // The server waits for it in vain and refuses the STOR; that reply moves on.
    }
}

void FtpPipeline::sendData() {
    if (!data_.active()) return;
    if (!data_.isOpen()) {
        if (data_.progress() == EIo::eFailed) {
            if (!sentAll_) {
                fail(current_, "the data connection of " + quoted(files_[current_].remoteName) + " broke: " +
                                   data_.fault());
            }
            return;
        }
        if (!data_.isOpen()) return;
    }
    if (sentAll_) return;
    for (;;) {
        if (local_.bufferAt == local_.buffer.size() && !refill()) return;
        const IoResult r = data_.write(local_.buffer.data() + local_.bufferAt, local_.buffer.size() - local_.bufferAt);
        if (r.state == EIo::eWouldBlock) return;
        if (r.state != EIo::eDone) {
            fail(current_, "the data connection of " + quoted(files_[current_].remoteName) + " broke: " +
                               data_.fault());
            return;
        }
        local_.bufferAt += r.bytes;
        results_[current_].bytes += r.bytes;
    }
}

// Reads the next block; false when there is none, after which the data
// connection is closed and the file's bytes are all counted (or it failed).
bool FtpPipeline::refill() {
    const std::string& path = files_[current_].localPath;
    local_.buffer.resize(kBlock);
    local_.bufferAt = 0;
    const ssize_t n = ::pread(local_.fd, local_.buffer.data(), kBlock, static_cast<off_t>(local_.offset));
    if (n < 0) {
        fail(current_, "cannot read " + quoted(path) + ": " + std::strerror(errno));
        data_.abort();
        return false;
    }
    local_.buffer.resize(static_cast<std::size_t>(n));
    if (n > 0) {
        local_.digest->add(local_.buffer.data(), local_.buffer.size());
        local_.offset += static_cast<std::uint64_t>(n);
        return true;
    }
    struct stat now {};
    if (::fstat(local_.fd, &now) != 0 || !unchanged(local_.opened, now) ||
        local_.offset != static_cast<std::uint64_t>(local_.opened.st_size)) {
        fail(current_, quoted(path) + " changed during the upload");
        data_.abort();
        return false;
    }
    results_[current_].sha256 = local_.digest->finish();
    results_[current_].resumedTls = data_.resumedTls();
    sentAll_ = true;
    data_.finish();
    return false;
}

void FtpPipeline::closeLocal() {
    if (local_.fd >= 0) ::close(local_.fd);
    local_.fd = -1;
}

void FtpPipeline::onStored(const FtpReply& reply, std::size_t file) {
    PipelineFileResult& result = results_[file];
    const PipelineFile& name = files_[file];
    if (reply.code < 400) {
        if (result.state != EPipelineFile::eFailed && !sentAll_) {
            fail(file, "the server confirmed " + quoted(name.remoteName) + " before all of its bytes were sent");
        }
        if (result.state == EPipelineFile::eSending) {
            result.state = EPipelineFile::eStored;
            // The next file's commands follow in the same write (see flush).
            queue(EFtpCommand::eSize, file, "SIZE " + remoteCommandPath(name.remoteName));
            if (hash_) queue(EFtpCommand::eHash, file, "HASH " + remoteCommandPath(name.remoteName));
        }
    } else if (redo_ == file) {
        redo_.reset();
        data_.abort();
        results_[file] = PipelineFileResult{};
        results_[file].state = EPipelineFile::eSending;
        local_.offset = 0;
        local_.digest.emplace();
        local_.buffer.clear();
        local_.bufferAt = 0;
        queue(EFtpCommand::ePasv, file, "PASV");
        queue(EFtpCommand::eStor, file, "STOR " + remoteCommandPath(name.remoteName));
        return;
    } else {
        // A server that drops the data connection says why here (a full disk,
        // say): its words come first, what broke on our side after them.
        const std::string before = result.state == EPipelineFile::eFailed ? "; " + result.fault : "";
        fail(file, "the server refused " + quoted(name.remoteName) + ": " + quoted(reply.last()) + before);
    }
    // Confirmed or refused, the transfer is over: a TLS close still under way ends here.
    data_.abort();
    closeLocal();
    startNextFile();
}

void FtpPipeline::onSize(const FtpReply& reply, std::size_t file) {
    PipelineFileResult& result = results_[file];
    if (result.state != EPipelineFile::eStored) return;
    if (reply.code == 213) {
        const std::optional<std::uint64_t> size = sizeInReply(reply);
        if (!size) {
            fail(file, "the server's reply to SIZE cannot be read: " + quoted(reply.last()));
            return;
        }
        if (*size != result.bytes) {
            fail(file, "the server holds " + std::to_string(*size) + " bytes of " +
                           quoted(files_[file].remoteName) + ", which has " + std::to_string(result.bytes));
            return;
        }
    }
    // A server without SIZE leaves the transfer's own confirmation.
    if (!hash_) result.state = EPipelineFile::eConfirmed;
}

void FtpPipeline::onHash(const FtpReply& reply, std::size_t file) {
    PipelineFileResult& result = results_[file];
    if (result.state != EPipelineFile::eStored) return;
    const HashReply hash = readHashReply(reply.last(), result.bytes);
    if (hash.kind == EHashReply::eRefused) {
        result.state = EPipelineFile::eConfirmed;
    } else if (hash.kind == EHashReply::eHash && hash.digest == result.sha256) {
        result.state = EPipelineFile::eConfirmed;
        result.checkedByHash = true;
    } else if (hash.kind == EHashReply::eHash) {
        fail(file, "the server's SHA-256 of " + quoted(files_[file].remoteName) + " is " + hash.digest +
                       ", the file's is " + result.sha256);
    } else {
        fail(file, "the server's reply to HASH cannot be read: " + quoted(reply.last()));
    }
}

void FtpPipeline::fail(std::size_t file, std::string why) {
    results_[file].state = EPipelineFile::eFailed;
    results_[file].fault = std::move(why);
}

void FtpPipeline::stop(std::string why) {
    if (!fault_.empty()) return;
    fault_ = std::move(why);
    data_.abort();
    closeLocal();
    for (PipelineFileResult& result : results_) {
        if (result.state == EPipelineFile::eSending || result.state == EPipelineFile::eStored) {
            result = PipelineFileResult{};
        }
    }
}

std::vector<pollfd> FtpPipeline::pollSet() const {
    std::vector<pollfd> set;
    if (!fault_.empty()) return set;
    set.push_back({link_.socket(), static_cast<short>(POLLIN | (outgoing_.empty() ? 0 : POLLOUT)), 0});
    if (data_.active()) set.push_back({data_.fd(), data_.events(), 0});
    return set;
}

void FtpPipeline::advance() {
    if (!fault_.empty()) return;
    receive();
    sendData();
    flush();
}

bool FtpPipeline::finished() const {
    if (!fault_.empty()) return true;
    return loggedIn_ && next_ >= files_.size() && sent_.empty() && unsent_.empty() && outgoing_.empty();
}

void runPipelines(const std::vector<FtpPipeline*>& pipelines, std::chrono::milliseconds stallLimit) {
    using Clock = std::chrono::steady_clock;
    std::vector<Clock::time_point> moved(pipelines.size(), Clock::now());
    for (;;) {
        std::vector<pollfd> set;
        std::vector<std::size_t> owner;
        for (std::size_t i = 0; i < pipelines.size(); ++i) {
            if (pipelines[i]->finished()) continue;
            for (const pollfd& p : pipelines[i]->pollSet()) {
                set.push_back(p);
                owner.push_back(i);
            }
        }
        if (set.empty()) return;
        const int ready = ::poll(set.data(), set.size(), 200);
        if (ready < 0 && errno != EINTR) {
            for (FtpPipeline* p : pipelines) p->abandon(std::string("cannot wait for the server: ") + std::strerror(errno));
            return;
        }
        const Clock::time_point now = Clock::now();
        for (std::size_t k = 0; k < set.size(); ++k) {
            if (set[k].revents != 0) moved[owner[k]] = now;
        }
        for (std::size_t i = 0; i < pipelines.size(); ++i) {
            if (pipelines[i]->finished()) continue;
            pipelines[i]->advance();
            if (!pipelines[i]->finished() && now - moved[i] > stallLimit) {
                pipelines[i]->abandon("nothing moved on the connection for " +
                                      std::to_string(stallLimit.count() / 1000) + " s");
            }
        }
    }
}

}  // namespace qz
