// The transfer itself: login, folders, files over parallel connections with
// retries and resumption, progress, and the probe upload that measures the line.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <set>

#include "connection_values.hpp"
#include "control_impl.hpp"
#include "file_digest.hpp"
#include "ftp_session.hpp"
#include "local_file.hpp"
#include "qz/log.hpp"
#include "qz/rates.hpp"
#include "rate_limiter.hpp"
#include "retry_policy.hpp"
#include "server_hash.hpp"
#include "qz/quoted.hpp"

namespace qz {

Control::Impl::Impl(const Options& o) : options(o) {}
Control::Impl::~Impl() = default;

void Control::Impl::refuseWhileUploading(int line, const std::string& operation) const {
    if (uploading) raise(line, operation, "cannot " + operation + " while an upload runs");
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kProgressPeriod{200};
constexpr std::chrono::milliseconds kBlindSpell{1000};
constexpr std::chrono::seconds kRateWindow{1};
constexpr std::size_t kNamedFailures = 20;
constexpr std::chrono::milliseconds kProbeDuration{1000};
constexpr std::uint64_t kProbeMaxBytes = 512ull * 1024 * 1024;
constexpr std::chrono::duration<long, std::milli> kProbeTimeout{10000};

void note(Logging::EType type, const std::string& text) {
    if (Logging::isEnabled(type)) SummaryLog::add("qz::Control: " + text);
}

double secondsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// Seconds with one decimal, as in "1.5".
std::string secondsText(Clock::duration d) {
    const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(d).count() / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

int millisecondsUntil(Clock::time_point now, Clock::time_point then) {
    if (then <= now) return 0;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(then - now).count() + 1;
    return static_cast<int>(std::min<long long>(ms, 1000));
}

// Errors that another attempt cannot mend: the server refused us or the file
// for good (a 5xx reply), or the request itself is wrong.
bool worthRetrying(CURLcode code, const std::string& lastReply) {
    switch (code) {
        case CURLE_LOGIN_DENIED:
        case CURLE_REMOTE_ACCESS_DENIED:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_USE_SSL_FAILED:
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_OUT_OF_MEMORY:
            return false;
        case CURLE_UPLOAD_FAILED:
        case CURLE_QUOTE_ERROR:
            return lastReply.empty() || lastReply[0] != '5';
        default:
            return true;
    }
}

// The server is out of room for the file: 452 (insufficient storage) or 552
// (storage allocation exceeded). Not a broken connection: sending the same
// bytes again will not make room.
bool storageRefused(CURLcode code, const std::string& lastReply) {
    return code == CURLE_REMOTE_DISK_FULL || lastReply.rfind("452", 0) == 0 || lastReply.rfind("552", 0) == 0;
}

// 421 ("Service not available, closing control connection"): the server is
// going down or restarting, which is no fault of the file at hand; it is
// away as much as one that does not answer at all. libcurl reports it as a
// timeout, which it is not.
bool serviceUnavailable(const Channel& c) { return c.lastReply.rfind("421", 0) == 0; }

// Results of a connection that the server dropped before saying anything.
bool droppedUnheard(CURLcode code) {
    return code == CURLE_RECV_ERROR || code == CURLE_GOT_NOTHING || code == CURLE_WEIRD_SERVER_REPLY ||
           code == CURLE_SEND_ERROR;
}

bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Every folder that the queue needs, parents before children.
std::vector<std::string> foldersToCreate(const Control::Impl& impl) {
    std::set<std::string> folders;
    auto addWithParents = [&folders](const std::string& remote, bool includeLast) {
        bool absolute = false;
        auto parts = remoteComponents(remote, absolute);
        if (!includeLast && !parts.empty()) parts.pop_back();
        std::string path = absolute ? "/" : "";
        for (std::size_t i = 0; i < parts.size(); ++i) {
            path += (i ? "/" : "") + parts[i];
            folders.insert(path);
        }
    };
    for (const auto& [number, entry] : impl.stats.fileMap) {
        if (entry.result != EFileResult::eDone) addWithParents(entry.remote.full(), false);
    }
    for (const auto& folder : impl.remoteFolders) addWithParents(folder, true);
    // A prefix sorts before what it prefixes, so the set's order is parents first.
    return {folders.begin(), folders.end()};
}

// One file on its way over one channel.
struct Sending {
    unsigned long number = 0;
    int fd = -1;
    std::uint64_t size = 0;
    std::uint64_t offset = 0;     // where this attempt began (server's size on resume)
    std::uint64_t position = 0;   // next byte to read
    bool started = false;         // the server was asked to store it
    bool resumed = false;         // this attempt continues an earlier one
    bool paused = false;
    bool endEarly = false;        // the data connection may be ended by us (see endDataConnection)
    bool ended = false;           // it was: all bytes are out
    bool awaitingReply = false;   // paused until the server's reply to the upload is in
    curl_socket_t control = CURL_SOCKET_BAD;
    Clock::time_point endedAt;
    bool checking = false;        // stored; the server is asked for its size
    std::uint64_t uploaded = 0;   // bytes this attempt sent, once stored
    struct timespec modified {};  // as the file was opened
    Clock::time_point movedAt;    // when a byte or a reply last moved
    curl_off_t uploadedAt = 0;    // bytes handed to the connection then
    unsigned repliesAt = 0;       // reply lines heard then
    unsigned answersAtStart = 0;  // the server's replies heard before this attempt
    std::string remotePath;       // as sent in commands
    std::string localFault;       // the local file changed under us: no retry
    std::shared_ptr<FileDigest> digest;  // of the bytes read, from byte 0
    std::string sha256;           // the digest, once every byte is out
};

struct Pending {
    unsigned long number;
    Clock::time_point notBefore;
    bool resume;
};

class UploadRun;

struct Slot {
    Channel* channel = nullptr;
    UploadRun* run = nullptr;
    Sending file;
};

class UploadRun {
public:
    UploadRun(Control::Impl& impl, FtpSession& session)
        : impl_(impl), session_(session), stats_(impl.stats), limiter_(impl.options, Clock::now()),
          policy_(std::chrono::seconds(impl.options.unreachableTimeout)) {
        for (std::size_t i = 0; i < session.channels(); ++i) {
            auto s = std::make_unique<Slot>();
            s->channel = &session.channel(i);
            s->run = this;
            slots_.push_back(std::move(s));
        }
        impl_.uploading = true;
    }

    ~UploadRun() {
        impl_.uploading = false;
        for (auto& s : slots_) {
            if (s->channel->busy) {
                session_.remove(*s->channel);
                auto it = stats_.fileMap.find(s->file.number);
                if (it != stats_.fileMap.end() && it->second.result == EFileResult::eSending) {
                    it->second.result = EFileResult::ePending;
                    it->second.bytesSent = 0;
                }
            }
            closeFile(*s);
        }
    }

    void run() {
        begin_ = lastStallCheck_ = Clock::now();
        stats_.finished = false;
        stats_.filesDone = stats_.filesFailed = 0;
        stats_.currentRate = 0;
        stats_.elapsedSeconds = 0;
        for (auto& [number, entry] : stats_.fileMap) {
            if (entry.result == EFileResult::eDone) {
                ++stats_.filesDone;
                continue;
            }
            entry.result = EFileResult::ePending;
            entry.errorText.clear();
            // What an earlier upload left on the server is resumed.
            const bool resume = impl_.heldByServer.count(number) > 0;
            if (!resume) entry.bytesSent = 0;
            confirmed_[number] = entry.bytesSent;
            pending_.push_back({number, begin_, resume});
        }
        impl_.rateLimit = limiter_.rate();
        note(Logging::EType::eSummary,
             "uploading " + std::to_string(pending_.size()) + " of " + std::to_string(stats_.filesTotal) +
                 " files over " + std::to_string(slots_.size()) + " connection(s), rate " + rateText() +
                 ", waiting up to " + std::to_string(policy_.timeout().count()) + " s for an unreachable server");

        Clock::time_point nextProgress = begin_ + kProgressPeriod;
        while (true) {
            Clock::time_point now = Clock::now();
            startWaiting(now);
            if (pending_.empty() && !anyBusy() && foldersMade_) break;
            perform();
            bool finished = collectFinished();
            now = Clock::now();
            if (abortStalled(now)) finished = true;
            if (limiter_.tick(now)) rateChanged(false);
            resumePaused();
            resumeAnswered(now);
            if (now >= nextProgress) {
                publish(now);
                nextProgress = now + kProgressPeriod;
            }
            if (!finished) {
                session_.wait(waitMilliseconds(now, nextProgress), awaitedReplies());
            }
        }
        stats_.finished = true;
        publish(Clock::now());
        summarize();
    }

    static std::size_t onRead(char* buffer, std::size_t size, std::size_t count, void* user) {
        auto* slot = static_cast<Slot*>(user);
        return slot->run->read(*slot, buffer, size * count);
    }

    static int onSeek(void* user, curl_off_t offset, int origin) {
        auto* slot = static_cast<Slot*>(user);
        Sending& f = slot->file;
        if (origin != SEEK_SET || offset < 0 || static_cast<std::uint64_t>(offset) > f.size) {
            return CURL_SEEKFUNC_FAIL;
        }
        f.offset = f.position = static_cast<std::uint64_t>(offset);
        // The SIZE reply that led here is not the one that checks the result.
        slot->channel->lastSize = -1;
        slot->run->resumedAt(*slot);
        return CURL_SEEKFUNC_OK;
    }

private:
    std::size_t read(Slot& slot, char* buffer, std::size_t room) {
        Sending& f = slot.file;
        if (!f.started) {
            f.started = true;
            slot.channel->lastSize = -1;
        }
        // A resumed file's hash covers the part the server holds already.
        if (!hashUpTo(f, f.position)) return CURL_READFUNC_ABORT;
        const std::uint64_t left = f.size - f.position;
        if (left == 0) {
            char extra = 0;
            if (::pread(f.fd, &extra, 1, static_cast<off_t>(f.size)) > 0) {
                f.localFault = quoted(entry(f).local.full()) + " grew during the upload";
                return CURL_READFUNC_ABORT;
            }
            if (f.endEarly && !f.ended && endDataConnection(slot)) return CURL_READFUNC_PAUSE;
            return 0;
        }
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(room, left));
        const std::size_t granted = limiter_.grant(wanted, Clock::now());
        if (granted == 0) {
            f.paused = true;
            return CURL_READFUNC_PAUSE;
        }
        ssize_t n = ::pread(f.fd, buffer, granted, static_cast<off_t>(f.position));
        if (n < 0) {
            f.localFault = quoted(entry(f).local.full()) + " could not be read: " + std::strerror(errno);
            return CURL_READFUNC_ABORT;
        }
        if (n == 0) {
            f.localFault = quoted(entry(f).local.full()) + " shrank during the upload to " +
                           std::to_string(f.position) + " of " + std::to_string(f.size) + " bytes";
            return CURL_READFUNC_ABORT;
        }
        limiter_.giveBack(granted - static_cast<std::size_t>(n));
        // Bytes read again after libcurl went back are hashed already.
        const std::uint64_t fresh = f.digest->covered() - f.position;
        if (fresh < static_cast<std::uint64_t>(n)) {
            f.digest->add(buffer + fresh, static_cast<std::size_t>(n) - static_cast<std::size_t>(fresh));
        }
        f.position += static_cast<std::uint64_t>(n);
        return static_cast<std::size_t>(n);
    }

    TransferStats& entry(const Sending& f) { return stats_.fileMap.at(f.number); }

    // Reads the bytes before `end` that no read of this attempt hashed.
    bool hashUpTo(Sending& f, std::uint64_t end) {
        if (f.digest->covered() >= end) return true;
        if (f.digest->catchUp(f.fd, end)) return true;
        f.localFault = quoted(entry(f).local.full()) + " could not be read for its SHA-256" +
                       (errno ? std::string(": ") + std::strerror(errno) : std::string(": it shrank"));
        return false;
    }

    // Once an upload's last byte is out, libcurl closes the data connection
    // and waits for the server's reply without serving the other connections
    // meanwhile. Ending the data connection here instead (libcurl asks for
    // more only when everything it was given is sent) and pausing until the
    // reply is in lets libcurl find it waiting, so the connections keep
    // sending side by side.
    bool endDataConnection(Slot& slot) {
        Sending& f = slot.file;
        const Channel& c = *slot.channel;
        if (c.opened.empty()) return false;
        // The data connection is the socket this request opened last.
        const curl_socket_t data = c.opened.back();
        const curl_socket_t control = session_.controlSocket(c);
        if (control == CURL_SOCKET_BAD || data == control) return false;
        if (::shutdown(data, SHUT_WR) != 0) return false;
        f.ended = true;
        f.awaitingReply = true;
        f.control = control;
        f.endedAt = Clock::now();
        return true;
    }

    // A server that has not replied within the stall timeout is left to
    // libcurl, whose own reply timeout then names the stall.
    void resumeAnswered(Clock::time_point now) {
        const auto patience = std::chrono::seconds(std::max(impl_.options.stallTimeout, 1));
        for (auto& s : slots_) {
            Sending& f = s->file;
            if (!f.awaitingReply || !s->channel->busy) continue;
            pollfd p{f.control, POLLIN, 0};
            if (::poll(&p, 1, 0) == 0 && now - f.endedAt < patience) continue;
            f.awaitingReply = false;
            f.movedAt = now;
            curl_easy_pause(s->channel->easy, CURLPAUSE_CONT);
        }
    }

    std::vector<curl_socket_t> awaitedReplies() const {
        std::vector<curl_socket_t> sockets;
        for (const auto& s : slots_) {
            if (s->file.awaitingReply && s->channel->busy) sockets.push_back(s->file.control);
        }
        return sockets;
    }

    // Bytes of this attempt handed to the connection.
    std::uint64_t uploadedBy(const Slot& slot) const {
        if (slot.file.checking) return slot.file.uploaded;
        curl_off_t uploaded = 0;
        curl_easy_getinfo(slot.channel->easy, CURLINFO_SIZE_UPLOAD_T, &uploaded);
        return static_cast<std::uint64_t>(uploaded);
    }

    // A transfer whose data connection is not up yet.
    bool settingUp() const {
        return std::any_of(slots_.begin(), slots_.end(),
                           [](const auto& s) { return s->channel->busy && !s->file.started; });
    }

    // libcurl (7.88) may take the passive reply and leave the data
    // connection's connect to the next call without asking for one soon;
    // a second call at once, and short waits while connections are being
    // set up, keep that from stalling every file until the next timeout.
    void perform() {
        session_.perform();
        if (settingUp()) session_.perform();
    }

    bool anyBusy() const {
        return std::any_of(slots_.begin(), slots_.end(), [](const auto& s) { return s->channel->busy; });
    }

    std::string rateText() const {
        return limiter_.limited() ? formatTransferRate(limiter_.rate()) : "unlimited";
    }

    void rateChanged(bool backedOff) {
        impl_.rateLimit = limiter_.rate();
        // During a climb one line per doubling keeps the log short.
        const std::uint64_t now = limiter_.rate();
        if (backedOff || loggedRate_ == 0 || now == 0 || now >= loggedRate_ * 2) {
            note(Logging::EType::eSummary, "rate now " + rateText());
            loggedRate_ = now;
        }
    }

    // Folders come before the files that go into them. A server that cannot
    // be reached for them is waited for as for a file; one that answers but
    // fails them leaves the files meant for them to fail by name.
    void createFolders() {
        std::vector<std::string> commands;
        for (const auto& f : foldersToCreate(impl_)) {
            // "*": a folder that exists already is no error.
            if (fitsInCommand(f)) commands.push_back("*MKD " + f);
        }
        if (commands.empty()) {
            foldersMade_ = true;
            return;
        }
        Channel& c = *slots_.front()->channel;
        c.prepare(session_.url(""));
        curl_easy_setopt(c.easy, CURLOPT_UPLOAD, 0L);
        curl_easy_setopt(c.easy, CURLOPT_NOBODY, 1L);
        c.setCommands(CURLOPT_QUOTE, commands);
        const unsigned answersBefore = c.answers;
        const CURLcode result = session_.runAlone({&c})[0];
        const std::string why = c.describe(result);
        const Clock::time_point now = Clock::now();
        c.prepare(session_.url(""));
        if (result == CURLE_OK) {
            foldersMade_ = true;
            policy_.reached();
            note(Logging::EType::eSummary, "created " + std::to_string(commands.size()) + " folder(s)");
            return;
        }
        const EFailure failure = c.answers != answersBefore && !serviceUnavailable(c) ? EFailure::eTransient
                                                                                      : EFailure::eUnreachable;
        if (failure == EFailure::eTransient) ++folderAttempts_;
        const RetryDecision decision = policy_.afterFailure(failure, folderAttempts_, now);
        if (decision.action == ERetry::eRetry) {
            foldersNotBefore_ = now + decision.pause;
            note(Logging::EType::eWarnings, "could not create folders, trying again in " +
                                                secondsText(decision.pause) + " s: " + why);
            return;
        }
        foldersMade_ = true;
        if (decision.action == ERetry::eGiveUp) {
            giveUp(why, now);
            return;
        }
        note(Logging::EType::eWarnings, "could not create folders: " + why);
    }

    void startWaiting(Clock::time_point now) {
        // A server that cannot be reached is tried again in rounds, not file by file.
        if (now < policy_.nextAttemptAt()) return;
        if (!foldersMade_) {
            if (anyBusy() || now < foldersNotBefore_) return;
            createFolders();
            if (!foldersMade_) return;
        }
        for (auto& s : slots_) {
            while (!s->channel->busy) {
                // Two transfers to one remote name at once would mix their bytes.
                auto ready = std::find_if(pending_.begin(), pending_.end(), [this, now](const Pending& p) {
                    return p.notBefore <= now &&
                           (sendingTo_.empty() ||
                            !sendingTo_.count(remoteCommandPath(stats_.fileMap.at(p.number).remote.full())));
                });
                if (ready == pending_.end()) break;
                Pending p = *ready;
                pending_.erase(ready);
                start(*s, p);
            }
        }
        hintReadAhead();
    }

    // Tells the kernel which files come next, so their first blocks are read
    // while the current ones are still on the wire.
    void hintReadAhead() {
        const std::size_t ahead =
            static_cast<std::size_t>(std::clamp(impl_.options.encoders, 0, 64)) * slots_.size();
        std::size_t hinted = 0;
        for (const auto& p : pending_) {
            if (hinted++ >= ahead) break;
            if (!hinted_.insert(p.number).second) continue;
            // A file that is no longer one is named when its turn comes.
            const OpenedFile f = openQueuedFile(stats_.fileMap.at(p.number).local.full());
            if (f.fd < 0) continue;
            ::posix_fadvise(f.fd, 0, 0, POSIX_FADV_WILLNEED);
            ::close(f.fd);
        }
    }

    void start(Slot& slot, const Pending& p) {
        TransferStats& st = stats_.fileMap.at(p.number);
        const std::string commandPath = remoteCommandPath(st.remote.full());
        if (commandPath.empty() || commandPath == "/") {
            fail(p.number, quoted(st.local.full()) + " has no remote name");
            return;
        }
        if (!fitsInCommand(commandPath)) {
            fail(p.number, quoted(st.local.full()) + ": the remote name " + quoted(st.remote.full()) +
                         " holds a line break, which FTP cannot carry");
            return;
        }
        const OpenedFile opened = openQueuedFile(st.local.full());
        if (opened.fd < 0) {
            fail(p.number, quoted(st.local.full()) + " " + opened.fault);
            return;
        }
        const int fd = opened.fd;
        const struct stat& info = opened.info;
        if (static_cast<std::uint64_t>(info.st_size) != st.fileSize) {
            ::close(fd);
            fail(p.number, quoted(st.local.full()) + " changed size after it was queued: " +
                         std::to_string(st.fileSize) + " bytes then, " + std::to_string(info.st_size) +
                         " now");
            return;
        }
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        bool resume = p.resume;
        if (resume) {
            auto held = impl_.heldByServer.find(p.number);
            if (held == impl_.heldByServer.end() || !sameTime(held->second, info.st_mtim)) {
                // Resuming would join the server's old bytes to the new ones.
                note(Logging::EType::eWarnings, "sending " + quoted(st.remote.full()) +
                                                    " from its first byte: the local file changed since the "
                                                    "server got a part of it");
                resume = false;
                confirmed_[p.number] = 0;
            }
        }

        slot.file = Sending{};
        slot.file.number = p.number;
        slot.file.fd = fd;
        slot.file.size = st.fileSize;
        slot.file.resumed = resume;
        slot.file.modified = info.st_mtim;
        slot.file.movedAt = Clock::now();
        slot.file.remotePath = commandPath;
        slot.file.digest = std::make_shared<FileDigest>();
        sendingTo_.insert(commandPath);
        Channel& c = *slot.channel;
        slot.file.answersAtStart = c.answers;
        c.prepare(session_.url(st.remote.full()));
        curl_easy_setopt(c.easy, CURLOPT_NOBODY, 0L);
        curl_easy_setopt(c.easy, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(c.easy, CURLOPT_READFUNCTION, onRead);
        curl_easy_setopt(c.easy, CURLOPT_READDATA, &slot);
        curl_easy_setopt(c.easy, CURLOPT_SEEKFUNCTION, onSeek);
        curl_easy_setopt(c.easy, CURLOPT_SEEKDATA, &slot);
        // Plain passive data connections are ended by us (see endDataConnection);
        // libcurl then must not know the size, or it ends them itself.
        slot.file.endEarly = !resume && !impl_.options.encryptData &&
                             impl_.options.connectionMode == EConnectionMode::ePassive;
        curl_easy_setopt(c.easy, CURLOPT_INFILESIZE_LARGE,
                         slot.file.endEarly ? static_cast<curl_off_t>(-1) : static_cast<curl_off_t>(st.fileSize));
        // -1: libcurl asks the server (SIZE) how much it holds and appends the rest.
        curl_easy_setopt(c.easy, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(resume ? -1 : 0));
        st.attempts += 1;
        st.result = EFileResult::eSending;
        attempts_[p.number] += 1;
        session_.add(c);
    }

    void resumedAt(Slot& slot) {
        TransferStats& st = entry(slot.file);
        confirmed_[slot.file.number] = slot.file.offset;
        note(Logging::EType::eWarnings, "resuming " + quoted(st.remote.full()) + " at byte " +
                                            std::to_string(slot.file.offset) + " of " +
                                            std::to_string(slot.file.size));
    }

    void closeFile(Slot& slot) {
        if (slot.file.fd >= 0) ::close(slot.file.fd);
        slot.file.fd = -1;
    }

    bool collectFinished() {
        auto done = session_.finished();
        for (auto& [channel, result] : done) {
            for (auto& s : slots_) {
                if (s->channel == channel) finish(*s, result);
            }
        }
        return !done.empty();
    }

    // Transfers on which nothing moved for the stall timeout are taken off
    // their connection, which libcurl then closes, and tried again.
    bool abortStalled(Clock::time_point now) {
        const int seconds = std::max(impl_.options.stallTimeout, 1);
        // libcurl waits for the reply to a finished FTP upload inside perform,
        // holding up the other transfers: what could not be watched counts
        // as moving.
        const bool blind = now - lastStallCheck_ > kBlindSpell;
        lastStallCheck_ = now;
        bool aborted = false;
        for (auto& s : slots_) {
            Channel& c = *s->channel;
            if (!c.busy) continue;
            Sending& f = s->file;
            // Waiting for the reply after the last byte is neither a move nor
            // a stall: resumeAnswered hands it to libcurl in time.
            if (f.awaitingReply) continue;
            const auto uploaded = static_cast<curl_off_t>(uploadedBy(*s));
            // A transfer that the rate holds back is waiting for us, not stalled.
            if (blind || uploaded != f.uploadedAt || c.replies != f.repliesAt || f.paused) {
                f.uploadedAt = uploaded;
                f.repliesAt = c.replies;
                f.movedAt = now;
                continue;
            }
            if (now - f.movedAt < std::chrono::seconds(seconds)) continue;
            session_.remove(c);
            finish(*s, CURLE_OPERATION_TIMEDOUT,
                   "the transfer stalled at byte " + std::to_string(f.offset + static_cast<std::uint64_t>(uploaded)) +
                       " on " + session_.server() + ": nothing moved for " + std::to_string(seconds) + " s");
            aborted = true;
        }
        return aborted;
    }

    // The server's own count of the stored bytes checks every file. It is
    // asked in a request of its own: libcurl waits for the replies to commands
    // that follow a transfer without serving the other connections, while
    // commands that precede one run alongside them.
    void startCheck(Slot& slot, std::uint64_t uploaded) {
        Sending& f = slot.file;
        f.checking = true;
        f.uploaded = uploaded;
        f.movedAt = Clock::now();
        f.uploadedAt = static_cast<curl_off_t>(uploaded);
        Channel& c = *slot.channel;
        f.repliesAt = c.replies;
        c.prepare(session_.url(""));
        curl_easy_setopt(c.easy, CURLOPT_UPLOAD, 0L);
        curl_easy_setopt(c.easy, CURLOPT_NOBODY, 1L);
        // "*" keeps servers without SIZE usable: the byte count checks then.
        std::vector<std::string> commands = {"*SIZE " + f.remotePath};
        if (hashCheck()) {
            // The selection lasts for the connection only; HASH comes last,
            // so that its reply is the request's last one.
            commands.insert(commands.end(), {"*OPTS HASH SHA-256", "*HASH " + f.remotePath});
        }
        c.setCommands(CURLOPT_QUOTE, commands);
        session_.add(c);
    }

    // The options may change between uploads on one connection.
    bool hashCheck() const { return impl_.options.serverHashCheck && session_.offersSha256(); }

    enum class EVerified { eFailed, eBySize, eByHash };
    struct Verification {
        EVerified how;
        std::string text;  // for the file's log line
    };

    // How a stored file of the right size is verified. When the server's
    // SHA-256 is not the one taken while sending (or its reply cannot be
    // read), the attempt failed: the file goes again from byte 0.
    Verification verify(const Slot& slot) {
        const Sending& f = slot.file;
        if (!hashCheck()) return {EVerified::eBySize, "verified by size"};
        const std::string& line = slot.channel->lastReply;
        const HashReply hash = readHashReply(line, f.size);
        if (hash.kind == EHashReply::eRefused) {
            return {EVerified::eBySize, "verified by size, the server did not hash it: " + line};
        }
        if (hash.kind == EHashReply::eHash && hash.digest == f.sha256) return {EVerified::eByHash, "verified by hash"};
        const std::string why = hash.kind == EHashReply::eHash
                                    ? "the server's SHA-256 of the stored file is " + hash.digest +
                                          ", the file's is " + f.sha256
                                    : "the server's reply to HASH cannot be read: " + line;
        confirmed_[f.number] = 0;
        retryOrFail(f.number, why, EFailure::eTransient, false);
        return {EVerified::eFailed, why};
    }

    void finish(Slot& slot, CURLcode result, const std::string& stall = "") {
        Sending f = slot.file;
        struct stat info {};
        if (!f.checking && f.localFault.empty() && ::fstat(f.fd, &info) == 0 &&
            (static_cast<std::uint64_t>(info.st_size) != f.size || info.st_mtim.tv_sec != f.modified.tv_sec ||
             info.st_mtim.tv_nsec != f.modified.tv_nsec)) {
            f.localFault = quoted(entry(f).local.full()) + " changed during the upload";
        }
        // A resume that found every byte on the server read none of them.
        if (result == CURLE_OK && stall.empty() && !f.checking && f.localFault.empty() && hashUpTo(f, f.size)) {
            slot.file.sha256 = f.digest->finish();
        }
        closeFile(slot);
        TransferStats& st = entry(f);
        Channel& c = *slot.channel;
        const std::uint64_t uploaded = uploadedBy(slot);
        if (result == CURLE_OK && stall.empty() && !f.checking && f.localFault.empty()) {
            startCheck(slot, uploaded);
            return;
        }
        sendingTo_.erase(f.remotePath);
        if (!f.localFault.empty()) {
            // Whatever the server holds is not the file as it is now.
            impl_.heldByServer.erase(f.number);
            fail(f.number, f.localFault);
            return;
        }
        if (result == CURLE_OK && stall.empty()) {
            policy_.reached();
            const std::uint64_t held = c.lastSize >= 0 ? static_cast<std::uint64_t>(c.lastSize)
                                                       : f.offset + uploaded;
            if (held == f.size) {
                impl_.heldByServer.erase(f.number);
                const Verification verified = verify(slot);
                if (verified.how == EVerified::eFailed) return;
                st.result = EFileResult::eDone;
                st.bytesSent = f.size;
                st.errorText.clear();
                st.sha256 = f.sha256;
                st.verifiedByHash = verified.how == EVerified::eByHash;
                ++stats_.filesDone;
                note(Logging::EType::eTransfers, "sent " + quoted(st.remote.full()) + " (" +
                                                     std::to_string(f.size) + " bytes, SHA-256 " + f.sha256 +
                                                     ", " + verified.text + ")");
                return;
            }
            // The server's copy is not ours to resume: it is sent anew.
            impl_.heldByServer.erase(f.number);
            retryOrFail(f.number, "the server holds " + std::to_string(held) + " of its " +
                                      std::to_string(f.size) + " bytes", EFailure::eTransient, false);
            return;
        }
        const bool stored = f.checking || f.started || f.resumed;
        if (stored) impl_.heldByServer[f.number] = f.modified;
        if (stall.empty() && storageRefused(result, c.lastReply)) {
            refused(slot, result);
            return;
        }
        if (stall.empty() && serviceUnavailable(c)) {
            const std::string why = "the server " + session_.server() + " is not available (it said: " +
                                    c.lastReply + ")";
            impl_.lastError = why;
            retryOrFail(f.number, why, EFailure::eUnreachable, stored);
            return;
        }
        // libcurl's own timeouts (no reply, no connection) are stalls as well.
        const std::string stalled = !stall.empty() || result != CURLE_OPERATION_TIMEDOUT
                                        ? stall
                                        : "the transfer stalled at byte " +
                                              std::to_string(f.offset + uploaded) + " on " + session_.server() +
                                              ": " + c.describe(result);
        // Not a word from the server during the whole attempt: it is away,
        // which is no fault of this file.
        const bool answered = c.answers != f.answersAtStart;
        const std::string why = !stalled.empty() ? stalled
                                : !answered && droppedUnheard(result)
                                    ? "the server " + session_.server() +
                                          " closed the connection before it said a word (" + c.describe(result) + ")"
                                    : c.describe(result);
        impl_.lastError = why;
        // 522: the server refused the data connection's TLS session (it wants
        // the control connection's resumed, which TLS 1.3 tickets defeat).
        // The server drops that control connection; a fresh one works at once.
        if (stalled.empty() && c.lastReply.rfind("522 ", 0) == 0) {
            retryOrFail(f.number, why, EFailure::eTransient, false, true);
            return;
        }
        if (stalled.empty() && !worthRetrying(result, c.lastReply)) {
            if (answered) policy_.reached();
            fail(f.number, quoted(st.local.full()) + " as " + quoted(st.remote.full()) + ": " + why);
            return;
        }
        if (limiter_.backOff()) rateChanged(true);
        const EFailure failure = answered ? EFailure::eTransient : EFailure::eUnreachable;
        // A stalled transfer has waited its time already.
        retryOrFail(f.number, why, failure, stored, !stalled.empty());
    }

    // The server said it has no room for the file. Refused before a byte of
    // this attempt went, the file fails. Refused on the way, the file is
    // resumed once at once: the resume learns (SIZE) what the server kept,
    // and goes on should room have come back.
    void refused(Slot& slot, CURLcode result) {
        const Sending& f = slot.file;
        const Channel& c = *slot.channel;
        TransferStats& st = entry(f);
        policy_.reached();
        const std::string reply = c.lastReply.empty() ? c.describe(result) : c.lastReply;
        const std::string why = "cannot store " + quoted(st.remote.full()) + " on " + session_.server() + ": " + reply;
        impl_.lastError = why;
        if (f.started && refusedOnce_.insert(f.number).second) {
            retryOrFail(f.number, why, EFailure::eTransient, true, true);
            return;
        }
        fail(f.number, quoted(st.local.full()) + ": " + why);
    }

    void retryOrFail(unsigned long number, const std::string& why, EFailure failure, bool resume,
                     bool atOnce = false) {
        TransferStats& st = stats_.fileMap.at(number);
        const Clock::time_point now = Clock::now();
        if (failure == EFailure::eTransient) ++answeredAttempts_[number];
        const RetryDecision decision = givenUp_ ? RetryDecision{ERetry::eGiveUp, {}}
                                                : policy_.afterFailure(failure, answeredAttempts_[number], now);
        if (decision.action == ERetry::eGiveUp) {
            giveUp(why, now);
            fail(number, quoted(st.local.full()) + " as " + quoted(st.remote.full()) + " was not sent: " +
                             unreachableText_);
            return;
        }
        if (decision.action == ERetry::eFailFile) {
            fail(number, quoted(st.local.full()) + " as " + quoted(st.remote.full()) + ": " + why +
                             " (gave up after " + std::to_string(attempts_[number]) + " attempts)");
            return;
        }
        st.result = EFileResult::ePending;
        st.bytesSent = confirmed_[number];
        st.errorText = why;
        if (failure == EFailure::eUnreachable) {
            // One line per round of attempts, not one per file.
            if (policy_.nextAttemptAt() != loggedRound_) {
                loggedRound_ = policy_.nextAttemptAt();
                note(Logging::EType::eWarnings,
                     "cannot reach " + session_.server() + " (for " +
                         secondsText(policy_.unreachableFor(now)) + " s now, waiting up to " +
                         std::to_string(policy_.timeout().count()) + " s); trying again in " +
                         secondsText(decision.pause) + " s after: " + why);
            }
        } else {
            note(Logging::EType::eWarnings, "retrying " + quoted(st.remote.full()) + " (attempt " +
                                                std::to_string(attempts_[number] + 1) + ") after: " + why);
        }
        const auto pause = atOnce && failure != EFailure::eUnreachable ? std::chrono::milliseconds(0) : decision.pause;
        pending_.push_back({number, now + pause, resume});
    }

    // The server stayed unreachable for the whole timeout: every file not
    // yet sent fails, named, and the upload ends.
    void giveUp(const std::string& why, Clock::time_point now) {
        if (givenUp_) return;
        givenUp_ = true;
        unreachableText_ = "the server " + session_.server() + " could not be reached for " +
                           secondsText(policy_.unreachableFor(now)) + " s (the last attempt: " + why + ")";
        note(Logging::EType::eWarnings, "giving up: " + unreachableText_);
        for (const auto& p : pending_) {
            const TransferStats& st = stats_.fileMap.at(p.number);
            fail(p.number, quoted(st.local.full()) + " as " + quoted(st.remote.full()) + " was not sent: " +
                               unreachableText_);
        }
        pending_.clear();
    }

    void fail(unsigned long number, const std::string& why) {
        TransferStats& st = stats_.fileMap.at(number);
        st.result = EFileResult::eFailed;
        st.errorText = why;
        st.bytesSent = confirmed_[number];
        impl_.lastError = why;
        ++stats_.filesFailed;
        note(Logging::EType::eTransfers, "failed " + quoted(st.remote.full()) + ": " + why);
    }

    void resumePaused() {
        for (auto& s : slots_) {
            if (!s->file.paused || !s->channel->busy) continue;
            if (!limiter_.hasBudget()) return;
            s->file.paused = false;
            curl_easy_pause(s->channel->easy, CURLPAUSE_CONT);
        }
    }

    int waitMilliseconds(Clock::time_point now, Clock::time_point nextProgress) const {
        int wait = millisecondsUntil(now, nextProgress);
        if (settingUp()) wait = std::min(wait, 1);
        const bool paused =
            std::any_of(slots_.begin(), slots_.end(), [](const auto& s) { return s->file.paused; });
        if (paused) {
            auto budget = std::chrono::duration_cast<std::chrono::milliseconds>(limiter_.untilBudget()).count();
            wait = std::min(wait, static_cast<int>(std::max<long long>(1, budget)));
        }
        const bool idle = std::any_of(slots_.begin(), slots_.end(), [](const auto& s) { return !s->channel->busy; });
        if (idle && !foldersMade_) {
            wait = std::min(wait, millisecondsUntil(now, std::max(foldersNotBefore_, policy_.nextAttemptAt())));
        }
        if (idle) {
            for (const auto& p : pending_) {
                wait = std::min(wait, millisecondsUntil(now, std::max(p.notBefore, policy_.nextAttemptAt())));
            }
        }
        return wait;
    }

    void publish(Clock::time_point now) {
        for (auto& s : slots_) {
            if (!s->channel->busy) continue;
            entry(s->file).bytesSent = s->file.offset + uploadedBy(*s);
        }
        std::uint64_t total = 0;
        for (const auto& [number, e] : stats_.fileMap) total += e.bytesSent;
        stats_.totalBytesTransferred = total;
        stats_.elapsedSeconds = secondsBetween(begin_, now);
        samples_.push_back({now, total});
        while (samples_.size() > 2 && now - samples_[1].first >= kRateWindow) samples_.pop_front();
        const auto& [then, bytes] = samples_.front();
        const double span = secondsBetween(then, now);
        stats_.currentRate = span > 0 && total > bytes
                                 ? static_cast<std::uint64_t>(static_cast<double>(total - bytes) * 8 / span)
                                 : 0;
        if (stats_.finished) {
            stats_.currentRate = stats_.elapsedSeconds > 0
                                     ? static_cast<std::uint64_t>(static_cast<double>(total) * 8 /
                                                                  stats_.elapsedSeconds)
                                     : 0;
        }
        if (impl_.callback) impl_.callback(stats_, impl_.callbackUser);
    }

    void summarize() {
        note(Logging::EType::eSummary,
             "sent " + std::to_string(stats_.filesDone) + " of " + std::to_string(stats_.filesTotal) + " files, " +
                 std::to_string(stats_.totalBytesTransferred) + " of " + std::to_string(stats_.totalBytes) +
                 " bytes in " + std::to_string(stats_.elapsedSeconds) + " s (" +
                 formatTransferRate(stats_.currentRate) + ")");
        if (stats_.filesFailed == 0) return;
        std::string names;
        std::size_t named = 0;
        for (const auto& [number, e] : stats_.fileMap) {
            if (e.result != EFileResult::eFailed) continue;
            if (named++ == kNamedFailures) {
                names += "; and " + std::to_string(stats_.filesFailed - kNamedFailures) + " more";
                break;
            }
            names += (named > 1 ? "; " : "") + e.errorText;
        }
        const std::string message = "could not send " + std::to_string(stats_.filesFailed) + " of " +
                                    std::to_string(stats_.filesTotal) + " files: " + names;
        note(Logging::EType::eSummary, message);
        raise(__LINE__, "upload", message,
              {{"files failed", std::to_string(stats_.filesFailed)},
               {"files done", std::to_string(stats_.filesDone)},
               {"ftp server", session_.server()}});
    }

    Control::Impl& impl_;
    FtpSession& session_;
    GlobalStateAndStats& stats_;
    RateLimiter limiter_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::deque<Pending> pending_;
    std::map<unsigned long, int> attempts_;
    std::map<unsigned long, int> answeredAttempts_;  // failed attempts during which the server answered
    std::map<unsigned long, std::uint64_t> confirmed_;
    std::set<unsigned long> hinted_;
    std::set<unsigned long> refusedOnce_;
    std::set<std::string> sendingTo_;
    std::deque<std::pair<Clock::time_point, std::uint64_t>> samples_;
    Clock::time_point begin_;
    Clock::time_point lastStallCheck_;
    std::uint64_t loggedRate_ = 0;
    RetryPolicy policy_;
    bool foldersMade_ = false;
    int folderAttempts_ = 0;                // failed while the server answered
    Clock::time_point foldersNotBefore_;
    Clock::time_point loggedRound_;
    bool givenUp_ = false;
    std::string unreachableText_;  // why the files still queued were given up
};

// The probe: bytes from memory until the time or the byte budget is spent.
struct Probe {
    std::vector<char> block;
    std::uint64_t sent = 0;
    bool begun = false;
    Clock::time_point first;
    Clock::time_point last;

    static std::size_t onRead(char* buffer, std::size_t size, std::size_t count, void* user) {
        auto* p = static_cast<Probe*>(user);
        const Clock::time_point now = Clock::now();
        if (!p->begun) {
            p->begun = true;
            p->first = now;
        }
        p->last = now;
        if (now - p->first >= kProbeDuration || p->sent >= kProbeMaxBytes) return 0;
        const std::size_t n = std::min(size * count, p->block.size());
        std::memcpy(buffer, p->block.data(), n);
        p->sent += n;
        return n;
    }
};

CURLcode sendProbe(FtpSession& session, Channel& c, Probe& probe, const std::string& name, bool keep) {
    probe.block.assign(
        static_cast<std::size_t>(std::clamp(session.options().blockSize, 16 * 1024, 2 * 1024 * 1024)), '\0');
    c.prepare(session.url(name));
    curl_easy_setopt(c.easy, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(c.easy, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c.easy, CURLOPT_READFUNCTION, Probe::onRead);
    curl_easy_setopt(c.easy, CURLOPT_READDATA, &probe);
    curl_easy_setopt(c.easy, CURLOPT_SEEKFUNCTION, nullptr);
    curl_easy_setopt(c.easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(-1));
    curl_easy_setopt(c.easy, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(0));
    std::vector<std::string> after = {"*SIZE " + name};
    if (!keep) after.push_back("DELE " + name);
    c.setCommands(CURLOPT_POSTQUOTE, after);
    // A link that stalls must not hold the caller long for an estimate.
    curl_easy_setopt(c.easy, CURLOPT_TIMEOUT_MS, kProbeTimeout.count());
    const CURLcode result = session.runAlone({&c})[0];
    curl_easy_setopt(c.easy, CURLOPT_TIMEOUT_MS, 0L);
    return result;
}

}  // namespace

void Control::connect() {
    if (impl_->session) return;
    impl_->refuseWhileUploading(__LINE__, "connect");
    const Options& o = impl_->options;
    checkConnectionValues(o);
    auto session = std::make_unique<FtpSession>(o);
    try {
        session->login();
    } catch (Exception& e) {
        impl_->lastError = e.what();
        for (auto& [k, v] : getMap()) e.diagnostics.emplace(k, v);
        throw;
    }
    const bool tls = o.encryptControl || o.encryptData;
    if (static_cast<int>(session->channels()) < o.effectiveConnections()) {
        note(Logging::EType::eWarnings, "the server took " + std::to_string(session->channels()) + " of " +
                                            std::to_string(o.effectiveConnections()) + " connections");
    }
    note(Logging::EType::eSummary, std::string("connected to ") + (tls ? "ftps" : "ftp") + " server " +
                                       session->server() + " as " + quoted(o.username) + " with " +
                                       std::to_string(session->channels()) + " connection(s)");
    impl_->session = std::move(session);
    impl_->connected = true;
}

void Control::upload() {
    impl_->refuseWhileUploading(__LINE__, "upload");
    connect();
    try {
        UploadRun run(*impl_, *impl_->session);
        run.run();
    } catch (Exception& e) {
        for (auto& [k, v] : getMap()) e.diagnostics.emplace(k, v);
        throw;
    }
}

void Control::disconnect() {
    impl_->refuseWhileUploading(__LINE__, "disconnect");
    if (impl_->session) note(Logging::EType::eSummary, "disconnected from " + impl_->session->server());
    impl_->session.reset();
    impl_->connected = false;
}

std::uint64_t Control::detectApproximateUploadSpeed(bool keepProbeFile) {
    impl_->refuseWhileUploading(__LINE__, "detectApproximateUploadSpeed");
    connect();
    FtpSession& session = *impl_->session;
    const std::string name = ".qz-probe-" + std::to_string(::getpid()) + "-" + std::to_string(++impl_->probeCount);
    Channel& c = session.channel(0);
    Probe probe;
    const CURLcode result = sendProbe(session, c, probe, name, keepProbeFile);
    const std::string why = c.describe(result);
    const std::int64_t held = c.lastSize >= 0 ? c.lastSize : static_cast<std::int64_t>(probe.sent);
    if (result != CURLE_OK && !keepProbeFile) {
        // The probe may have got as far as the server; take it away again.
        c.prepare(session.url(""));
        curl_easy_setopt(c.easy, CURLOPT_UPLOAD, 0L);
        curl_easy_setopt(c.easy, CURLOPT_NOBODY, 1L);
        c.setCommands(CURLOPT_QUOTE, {"*DELE " + name});
        session.runAlone({&c});
    }
    c.prepare(session.url(""));
    if (result != CURLE_OK || held <= 0) {
        impl_->lastError = result != CURLE_OK ? why : "the server holds no byte of the probe upload";
        raise(__LINE__, "detectApproximateUploadSpeed",
              "the probe upload to " + session.server() + " failed: " + impl_->lastError, getMap());
    }
    const double span = std::max(1e-6, secondsBetween(probe.first, probe.last));
    const auto rate = static_cast<std::uint64_t>(static_cast<double>(held) * 8 / span);
    note(Logging::EType::eSummary, "probe upload of " + std::to_string(held) + " bytes measured " +
                                       formatTransferRate(rate));
    return rate;
}

}  // namespace qz
