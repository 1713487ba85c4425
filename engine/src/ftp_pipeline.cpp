#include "ftp_pipeline.hpp"

#include <algorithm>
#include <utility>

#include "ftp_features.hpp"
#include "qz/quoted.hpp"
#include "server_hash.hpp"

namespace qz {

namespace {

constexpr std::size_t kMinBlock = 16 * 1024;
// A folder's listing beyond this is not read: its check is skipped.
constexpr std::size_t kMostListed = 64 * 1024 * 1024;

}  // namespace

FtpPipeline::FtpPipeline(ControlLink& link, PipelineSource& source, PipelineSettings settings)
    : link_(link), source_(source), settings_(settings) {
    queue(EFtpCommand::eType, 0, "TYPE I");
    queue(EFtpCommand::eFeat, 0, "FEAT");
    flush();
}

FtpPipeline::~FtpPipeline() = default;

FtpPipeline::Open* FtpPipeline::find(unsigned long id) {
    for (Open& o : open_) {
        if (o.outcome.id == id) return &o;
    }
    return nullptr;
}

const FtpPipeline::Open* FtpPipeline::find(unsigned long id) const {
    for (const Open& o : open_) {
        if (o.outcome.id == id) return &o;
    }
    return nullptr;
}

bool FtpPipeline::storeWritten(unsigned long id) const {
    const auto& open = sent_.open();
    return std::any_of(open.begin(), open.end(), [id](const QueuedCommand& c) {
        return (c.kind == EFtpCommand::eStor || c.kind == EFtpCommand::eList) && c.file == id;
    });
}

std::optional<unsigned long> FtpPipeline::sending() const { return current_; }

std::uint64_t FtpPipeline::bytesOfSending() const {
    for (const Open& o : open_) {
        if (current_ && o.outcome.id == *current_) return o.outcome.bytes;
    }
    return 0;
}

void FtpPipeline::makeFolders(const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) queue(EFtpCommand::eMkd, 0, "MKD " + folder);
    foldersOpen_ += folders.size();
    flush();
}

void FtpPipeline::removeFile(const std::string& commandPath) {
    queue(EFtpCommand::eDele, 0, "DELE " + commandPath);
    flush();
}

void FtpPipeline::queue(EFtpCommand kind, unsigned long file, std::string line) {
    unsent_.push_back({kind, file, std::move(line)});
}

void FtpPipeline::flush() {
    if (stopped()) return;
    if (outgoing_.empty() && !unsent_.empty() && (settings_.pipelined || sent_.empty())) {
        const std::size_t count = settings_.pipelined ? unsent_.size() : 1;
        for (std::size_t i = 0; i < count; ++i) {
            outgoing_ += unsent_[i].line + "\r\n";
            sent_.push(std::move(unsent_[i]));
        }
        unsent_.erase(unsent_.begin(), unsent_.begin() + static_cast<std::ptrdiff_t>(count));
        ++writes_;
    }
    while (!outgoing_.empty()) {
        const IoResult r = link_.send(outgoing_.data(), outgoing_.size());
        if (r.state == EIo::eWouldBlock) return;
        if (r.state != EIo::eDone) {
            connectionLost_ = true;
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
        if (r.state == EIo::eClosed || r.state == EIo::eFailed) {
            connectionLost_ = true;
            stop(r.state == EIo::eClosed ? "the server closed the control connection"
                                         : "the control connection broke: " + link_.fault());
            return;
        }
        if (!reader_.feed(buffer, r.bytes)) {
            stop(reader_.fault());
            return;
        }
    }
    while (!stopped()) {
        const std::optional<FtpReply> reply = reader_.next();
        if (!reply) break;
        ++replies_;
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
    // Commands from EPSV on serve a file.
    if (Open* o = find(command.file); o && command.kind >= EFtpCommand::eEpsv) {
        o->outcome.answered = true;
        o->outcome.reply = reply.last();
        o->outcome.replyCode = reply.code;
    }
    switch (command.kind) {
        case EFtpCommand::eType:
            if (reply.code != 200) stop("the server refused binary mode: " + quoted(reply.last()));
            break;
        case EFtpCommand::eFeat: onFeat(reply); break;
        case EFtpCommand::eOptsHash:
            // A server that cannot select (its only algorithm is the one it
            // listed) is still asked: a reply of another algorithm fails the check.
            break;
        case EFtpCommand::eMkd: --foldersOpen_; break;
        case EFtpCommand::eDele:
            if (reply.code >= 400) removeRefused_ = reply.last();
            break;
        case EFtpCommand::eOptsUtf8: break;
        case EFtpCommand::eEpsv:
        case EFtpCommand::ePasv: onPassive(reply, command.file); break;
        case EFtpCommand::ePort: onPort(reply, command.file); break;
        case EFtpCommand::eStor:
        case EFtpCommand::eList:
            if (!match->preliminary) {
                if (command.kind == EFtpCommand::eList) onListed(reply, command.file);
                else onStored(reply, command.file);
            } else if (Open* o = find(command.file); o && o->askAgain) {
                stop("the server refused " + std::string(settings_.active ? "EPRT" : "EPSV") +
                     " and then took the STOR without a data connection: " + quoted(reply.last()));
            } else if (o) {
                o->outcome.accepted = true;
                o->dataMayGo = true;
            }
            break;
        case EFtpCommand::eSize: onSize(reply, command.file); break;
        case EFtpCommand::eHash: onHash(reply, command.file); break;
    }
}

void FtpPipeline::onFeat(const FtpReply& reply) {
    features_ = reply.code == 211 ? readFeatures(reply.lines) : FtpFeatures{};
    const FtpFeatures& features = features_;
    hash_ = settings_.askHash && features.sha256;
    if (settings_.active ? features.eprt : features.epsv) {
        passive_ = EPassive::eEpsv;
        passiveKnown_ = true;
    }
    // The selection lasts for the connection: one OPTS serves every file.
    if (hash_) queue(EFtpCommand::eOptsHash, 0, "OPTS HASH SHA-256");
    // Some servers take names in UTF-8 only once asked to.
    if (features.utf8) queue(EFtpCommand::eOptsUtf8, 0, "OPTS UTF8 ON");
    loggedIn_ = true;
    source_.loggedIn(*this);
}

void FtpPipeline::startNextFile() {
    if (!loggedIn_ || current_ || stopped()) return;
    const std::optional<PipelineJob> job = source_.nextFile(*this);
    if (!job) return;
    Open o;
    o.outcome.id = job->id;
    if (job->list) {
        o.listing = true;
        o.dataMayGo = true;  // its bytes are read whenever they come
        o.commandPath = job->commandPath;
        o.outcome.machineListing = features_.mlsd && !job->listOne;
        open_.push_back(std::move(o));
        current_ = job->id;
        askPassive(job->id);
        return;
    }
    if (job->checkOnly) {
        o.stored = o.outcome.stored = true;
        o.commandPath = job->commandPath;
        open_.push_back(std::move(o));
        queueChecks(job->id);
        return;
    }
    // Queued now, written with the next flush: from here the server may hold a part.
    o.outcome.storeSent = true;
    o.commandPath = job->commandPath;
    open_.push_back(std::move(o));
    current_ = job->id;
    sentAll_ = false;
    heldBack_ = false;
    bufferAt_ = bufferEnd_ = 0;
    block_.reset();
    blockRoom_ = std::max(kMinBlock, static_cast<std::size_t>(std::min<std::uint64_t>(job->size, settings_.block)));
    if (job->resume) {
        open_.back().probing = true;
        queue(EFtpCommand::eSize, job->id, "SIZE " + job->commandPath);
        return;
    }
    askPassive(job->id);
}

// What the server holds decides where the resume begins: after it with
// APPE, or from byte 0 with STOR.
void FtpPipeline::onResumeSize(const FtpReply& reply, Open& o) {
    o.probing = false;
    const std::optional<std::uint64_t> held = reply.code == 213 ? sizeInReply(reply) : std::nullopt;
    o.outcome.offset = source_.resumeAt(o.outcome.id, held);
    askPassive(o.outcome.id);
}

void FtpPipeline::sendData() {
    if (!current_ || !data_.active()) return;
    Open* o = find(*current_);
    if (o && o->listing) {
        receiveListing(*o);
        return;
    }
    if (!o || o->failed) return;
    if (!data_.isOpen()) {
        if (data_.progress() == EIo::eFailed) {
            if (!sentAll_) failCurrent(EPipelineEnd::eBroken, "the data connection broke: " + data_.fault());
            return;
        }
        if (!data_.isOpen()) return;
    }
    if (sentAll_ || !o->dataMayGo) return;
    for (;;) {
        if (bufferAt_ == bufferEnd_ && !refill()) return;
        const IoResult r = data_.write(block_.data() + bufferAt_, bufferEnd_ - bufferAt_);
        if (r.state == EIo::eWouldBlock) return;
        if (r.state != EIo::eDone) {
            failCurrent(EPipelineEnd::eBroken, "the data connection broke: " + data_.fault());
            return;
        }
        bufferAt_ += r.bytes;
        written_ += r.bytes;
        o->outcome.bytes += r.bytes;
    }
}

// Asks the source for the next block; false when there is none now (held
// back), or none at all, after which the data connection is closed (or the
// file failed).
bool FtpPipeline::refill() {
    bufferAt_ = bufferEnd_ = 0;
    // Sent: the block goes back to its pool once the hashing worker is done with it too.
    block_.reset();
    const std::int64_t n = source_.read(*current_, block_, blockRoom_);
    heldBack_ = n == PipelineSource::kHeldBack;
    if (n > 0) {
        bufferEnd_ = static_cast<std::size_t>(n);
        return true;
    }
    if (n == PipelineSource::kFailed) {
        failCurrent(EPipelineEnd::eLocal, "");
    } else if (n == 0) {
        sentAll_ = true;
        data_.finish();
    }
    return false;
}

// The current file failed; it settles once the server's reply to its STOR is
// in, so that the connection stays in step.
void FtpPipeline::failCurrent(EPipelineEnd end, std::string why) {
    if (!current_) return;
    Open* o = find(*current_);
    if (!o || o->failed) return;
    o->failed = true;
    o->outcome.end = end;
    o->outcome.fault = std::move(why);
    heldBack_ = false;
    data_.abort();
}

void FtpPipeline::onStored(const FtpReply& reply, unsigned long file) {
    Open* o = find(file);
    if (!o) return;
    if (std::exchange(o->askAgain, false) && reply.code >= 400) {
        askPassive(file);
        return;
    }
    // The file goes again (bytes may have been read for it already), and
    // the STORs after it wait for their passive replies.
    noDataYet(reply, *o);
    if (reply.code < 400 && !o->failed && !sentAll_) {
        o->failed = true;
        o->outcome.end = EPipelineEnd::eBroken;
        o->outcome.fault = "the server confirmed it before all of its bytes were sent";
    } else if (reply.code >= 400 && !o->failed) {
        o->failed = true;
        o->outcome.end = EPipelineEnd::eRefused;
    }
    // Confirmed or refused, the transfer is over: a TLS close still under way ends here.
    data_.abort();
    current_.reset();
    heldBack_ = false;
    if (o->failed) {
        settle(file, o->outcome.end);
        return;
    }
    o->stored = true;
    o->outcome.stored = true;
    // The next file's commands follow in the same write (see flush).
    queueChecks(file);
}

// A listing's bytes, until the server has sent all and closed.
void FtpPipeline::receiveListing(Open& o) {
    data_.receive();
    if (!o.failed && !o.listed && !data_.isOpen() && data_.progress() == EIo::eFailed) {
        failCurrent(EPipelineEnd::eBroken, "the data connection broke: " + data_.fault());
    }
    char chunk[16 * 1024];
    while (!o.failed && !o.listed && data_.isOpen()) {
        const IoResult r = data_.read(chunk, sizeof chunk);
        if (r.state == EIo::eWouldBlock) break;
        if (r.state == EIo::eClosed) {
            o.listed = true;
            break;
        }
        if (r.state != EIo::eDone) {
            failCurrent(EPipelineEnd::eBroken, "the data connection broke: " + data_.fault());
            break;
        }
        written_ += r.bytes;
        if (o.outcome.listing.size() + r.bytes > kMostListed) {
            failCurrent(EPipelineEnd::eBroken,
                        "the listing is larger than " + std::to_string(kMostListed >> 20) + " MiB");
            break;
        }
        o.outcome.listing.append(chunk, r.bytes);
    }
    endListing(o);
}

void FtpPipeline::onListed(const FtpReply& reply, unsigned long file) {
    Open* o = find(file);
    if (!o) return;
    if (std::exchange(o->askAgain, false) && reply.code >= 400) {
        askPassive(file);
        return;
    }
    // A listing reads nothing from the source: it simply asks again.
    if (noDataYet(reply, *o)) {
        data_.abort();
        askPassive(file);
        return;
    }
    if (reply.code >= 400 && !o->failed) {
        o->failed = true;
        o->outcome.end = EPipelineEnd::eRefused;
        data_.abort();
        // Offered but not known after all: LIST from now on.
        if (o->outcome.machineListing && (reply.code == 500 || reply.code == 502)) features_.mlsd = false;
    }
    o->stored = true;
    // The data connection may still bring the listing's last bytes.
    receiveListing(*o);
}

// Once the server's final reply and the listing's last byte are both in
// (or it failed), the listing settles.
void FtpPipeline::endListing(Open& o) {
    if (!o.stored || !(o.failed || o.listed)) return;
    data_.abort();
    current_.reset();
    settle(o.outcome.id, o.failed ? o.outcome.end : EPipelineEnd::eChecked);
}

void FtpPipeline::queueChecks(unsigned long file) {
    const Open* o = find(file);
    if (!o) return;
    queue(EFtpCommand::eSize, file, "SIZE " + o->commandPath);
    if (hash_) queue(EFtpCommand::eHash, file, "HASH " + o->commandPath);
}

void FtpPipeline::onSize(const FtpReply& reply, unsigned long file) {
    Open* o = find(file);
    if (!o) return;
    if (o->probing) {
        onResumeSize(reply, *o);
        return;
    }
    if (reply.code == 213) {
        o->outcome.serverSize = sizeInReply(reply);
        if (!o->outcome.serverSize) {
            o->outcome.fault = "the server's reply to SIZE cannot be read: " + quoted(reply.last());
            // Its HASH reply, if asked, is still to come: the file settles then.
            if (!hash_) settle(file, EPipelineEnd::eBroken);
            else o->failed = true;
            return;
        }
    }
    // A server without SIZE leaves the transfer's own confirmation.
    if (!hash_) settle(file, EPipelineEnd::eChecked);
}

void FtpPipeline::onHash(const FtpReply& reply, unsigned long file) {
    Open* o = find(file);
    if (!o) return;
    o->outcome.hashReply = reply.last();
    settle(file, o->failed ? EPipelineEnd::eBroken : EPipelineEnd::eChecked);
}

void FtpPipeline::settle(unsigned long id, EPipelineEnd end) {
    for (auto it = open_.begin(); it != open_.end(); ++it) {
        if (it->outcome.id != id) continue;
        PipelineOutcome outcome = std::move(it->outcome);
        outcome.end = end;
        open_.erase(it);
        source_.settled(*this, outcome);
        return;
    }
}

void FtpPipeline::stop(std::string why) {
    if (stopped()) return;
    fault_ = std::move(why);
    data_.abort();
    current_.reset();
    heldBack_ = false;
    while (!open_.empty()) {
        Open& o = open_.front();
        // A file that failed on our side stays failed; any other goes again elsewhere.
        const EPipelineEnd end = o.failed && o.outcome.end == EPipelineEnd::eLocal ? EPipelineEnd::eLocal
                                                                                   : EPipelineEnd::eLeft;
        if (o.outcome.fault.empty()) o.outcome.fault = fault_;
        o.outcome.stalled = stalled_;
        settle(o.outcome.id, end);
    }
}

std::vector<pollfd> FtpPipeline::pollSet() const {
    std::vector<pollfd> set;
    if (stopped()) return set;
    set.push_back({link_.socket(), static_cast<short>(POLLIN | (outgoing_.empty() ? 0 : POLLOUT)), 0});
    // Bytes held back by the source wake nobody: the owner comes back when
    // they may go. Nor does an open data connection before the STOR's 1xx,
    // which comes on the control connection.
    const Open* o = current_ ? find(*current_) : nullptr;
    const bool waitingForBytes = (heldBack_ || (o && !o->dataMayGo)) && data_.isOpen();
    if (data_.active() && !waitingForBytes) set.push_back({data_.fd(), data_.events(), 0});
    return set;
}

void FtpPipeline::advance() {
    if (stopped()) return;
    receive();
    startNextFile();
    sendData();
    flush();
}

}  // namespace qz
