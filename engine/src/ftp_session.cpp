#include "ftp_session.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "control_report.hpp"
#include "server_hash.hpp"
#include "qz/quoted.hpp"

namespace qz {

namespace {

constexpr long kConnectTimeoutSeconds = 15;
constexpr long kMinUploadBuffer = 16 * 1024;
constexpr long kMaxUploadBuffer = 2 * 1024 * 1024;
constexpr std::uint64_t kFilePerUploadBuffer = 8;

std::size_t onReply(char* data, std::size_t size, std::size_t count, void* user) {
    auto* c = static_cast<Channel*>(user);
    const std::size_t length = size * count;
    ++c->replies;
    std::string line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    // The reply ends up in messages and logs: no control characters from a server.
    for (char& ch : line) {
        if (isControlByte(static_cast<unsigned char>(ch))) ch = '?';
    }
    if (c->replyLines.size() < Channel::kMaxLines) c->replyLines.push_back(line);
    // Server replies start with three digits; libcurl also passes its own
    // header-like lines ("Content-Length: ...") here, which say nothing new.
    if (line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
        std::isdigit(static_cast<unsigned char>(line[1])) && std::isdigit(static_cast<unsigned char>(line[2])) &&
        (line[3] == ' ' || line[3] == '-')) {
        c->lastReply = line;
        ++c->answers;
        if (line.compare(0, 4, "213 ") == 0) {
            char* end = nullptr;
            long long value = std::strtoll(line.c_str() + 4, &end, 10);
            if (end != line.c_str() + 4 && value >= 0) c->lastSize = value;
        }
    }
    return length;
}

std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

int onSocket(void* user, curl_socket_t socket, curlsocktype) {
    auto* c = static_cast<Channel*>(user);
    c->opened.push_back(socket);
    c->sockets->insert(socket);
    return CURL_SOCKOPT_OK;
}

int onConnected(void* user, char*, char*, int, int localPort) {
    static_cast<Channel*>(user)->controlPort = localPort;
    return CURL_PREREQFUNC_OK;
}

int portOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return -1;
}

}  // namespace

void ensureCurlGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

FtpSession::FtpSession(const Options& options) : options_(options) {
    ensureCurlGlobalInit();
    const int count = options_.effectiveConnections();
    const bool tls = options_.encryptControl || options_.encryptData;
    const int multis = tls ? count : 1;
    for (int i = 0; i < multis; ++i) {
        CURLM* m = curl_multi_init();
        if (!m) {
            for (CURLM* made : multis_) curl_multi_cleanup(made);
            raise(__LINE__, "connect", "libcurl could not set up a transfer");
        }
        curl_multi_setopt(m, CURLMOPT_MAXCONNECTS, static_cast<long>(count / multis + 1));
        multis_.push_back(m);
    }
    for (int i = 0; i < count; ++i) {
        auto c = std::make_unique<Channel>();
        c->easy = curl_easy_init();
        if (!c->easy) {
            channels_.clear();
            for (CURLM* m : multis_) curl_multi_cleanup(m);
            raise(__LINE__, "connect", "libcurl could not set up a connection");
        }
        c->multi = multis_[static_cast<std::size_t>(i) % multis_.size()];
        configure(*c);
        channels_.push_back(std::move(c));
    }
}

FtpSession::~FtpSession() {
    for (auto& c : channels_) remove(*c);
    // Easy handles go first, the multi handles' cleanup then closes (QUIT)
    // the cached connections.
    channels_.clear();
    for (CURLM* m : multis_) curl_multi_cleanup(m);
}

void FtpSession::configure(Channel& c) {
    CURL* e = c.easy;
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, c.error);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, onReply);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &c);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_SOCKOPTFUNCTION, onSocket);
    curl_easy_setopt(e, CURLOPT_SOCKOPTDATA, &c);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, onConnected);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, &c);
    c.sockets = &sockets_;
    c.session = this;
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(e, CURLOPT_USERNAME, options_.username.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, options_.password.c_str());
    // Every command names the full path: no CWD round trips per file.
    curl_easy_setopt(e, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(e, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    // A server that says nothing for the stall timeout has stalled too (see UploadLoop).
    c.replyTimeout = std::max(options_.stallTimeout, 1);
    curl_easy_setopt(e, CURLOPT_SERVER_RESPONSE_TIMEOUT, c.replyTimeout);
    curl_easy_setopt(e, CURLOPT_ACCEPTTIMEOUT_MS, kConnectTimeoutSeconds * 1000);
    c.uploadBuffer = 0;
    fitUploadBuffer(c, std::numeric_limits<std::uint64_t>::max());
    if (options_.connectionMode == EConnectionMode::eActive) curl_easy_setopt(e, CURLOPT_FTPPORT, "-");
    if (options_.encryptControl || options_.encryptData) {
        curl_easy_setopt(e, CURLOPT_USE_SSL,
                         static_cast<long>(options_.encryptData ? CURLUSESSL_ALL : CURLUSESSL_CONTROL));
        curl_easy_setopt(e, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!options_.caFile.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, options_.caFile.c_str());
        // TLS 1.2 first: many FTPS servers insist that each data connection
        // resumes the control connection's session, which libcurl does not
        // manage under TLS 1.3 (the data connections' own tickets replace the
        // control's), and refuse transfers with 522. A server that speaks
        // TLS 1.3 only gets TLS 1.3 (see login()).
        // libcurl takes the lowest and the highest version as one value.
        curl_easy_setopt(e, CURLOPT_SSLVERSION,
                         // NOLINTNEXTLINE(bugprone-suspicious-enum-usage)
                         static_cast<long>(tls12_ ? CURL_SSLVERSION_TLSv1_2 | CURL_SSLVERSION_MAX_TLSv1_2
                                                  : CURL_SSLVERSION_TLSv1_2));
    }
}

// libcurl allocates its upload buffer for each transfer and frees it at the
// end, and the allocator hands a large one back to the system, so that each
// file pays for clearing fresh memory of the buffer's size. Held to an
// eighth of the file (a power of two), that is a small part of reading the
// file; a large file still gets the block size, which takes the fewest calls.
void FtpSession::fitUploadBuffer(Channel& c, std::uint64_t size) {
    const long block = std::clamp(static_cast<long>(options_.blockSize), kMinUploadBuffer, kMaxUploadBuffer);
    long wanted = kMinUploadBuffer;
    while (wanted < block && static_cast<std::uint64_t>(wanted) * 2 * kFilePerUploadBuffer <= size) wanted *= 2;
    wanted = std::min(wanted, block);
    // Setting it drops the buffer libcurl holds.
    if (wanted == c.uploadBuffer) return;
    curl_easy_setopt(c.easy, CURLOPT_UPLOAD_BUFFERSIZE, wanted);
    c.uploadBuffer = wanted;
}

std::string FtpSession::server() const {
    const bool v6 = options_.host.find(':') != std::string::npos && options_.host.rfind('[', 0) != 0;
    return (v6 ? "[" + options_.host + "]" : options_.host) + ":" + std::to_string(options_.port);
}

bool fitsInCommand(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

std::string FtpSession::url(const std::string& remotePath) const {
    if (!fitsInCommand(remotePath)) refuseInCommand(__LINE__);
    bool absolute = false;
    auto parts = remoteComponents(remotePath, absolute);
    std::string url = "ftp://" + server() + "/";
    if (absolute) url += "%2F";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        char* escaped = curl_easy_escape(nullptr, parts[i].data(), static_cast<int>(parts[i].size()));
        if (!escaped) throw std::bad_alloc();
        if (i) url += "/";
        url += escaped;
        curl_free(escaped);
    }
    return url;
}

void FtpSession::prepareCommands(Channel& c) {
    c.prepare(url(""));
    curl_easy_setopt(c.easy, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(c.easy, CURLOPT_NOBODY, 1L);
}

void FtpSession::add(Channel& c) {
    if (c.busy) return;
    curl_multi_add_handle(c.multi, c.easy);
    c.busy = true;
}

void FtpSession::remove(Channel& c) {
    if (!c.busy) return;
    curl_multi_remove_handle(c.multi, c.easy);
    c.busy = false;
}

void FtpSession::perform() {
    resumeAnswered();
    const auto once = [this] {
        for (CURLM* m : multis_) {
            int running = 0;
            curl_multi_perform(m, &running);
        }
    };
    const std::size_t before = socketsSettingUp();
    once();
    // libcurl (7.88) may take the passive reply and leave the data
    // connection's connect to the next call without asking for one soon;
    // a second call at once, and short waits while connections are being
    // set up, keep that from stalling every file until the next timeout.
    // A call with no new socket of such a connection would only ask every
    // control connection again whether its reply is in.
    if (settingUp() && socketsSettingUp() != before) once();
}

std::size_t FtpSession::socketsSettingUp() const {
    std::size_t count = 0;
    for (const auto& c : channels_) {
        if (c->busy && c->read && !c->reading) count += c->opened.size();
    }
    return count;
}

std::vector<std::pair<Channel*, CURLcode>> FtpSession::finished() {
    std::vector<std::pair<Channel*, CURLcode>> done;
    for (CURLM* m : multis_) {
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(m, &queued)) {
            if (msg->msg != CURLMSG_DONE) continue;
            for (auto& c : channels_) {
                if (c->easy != msg->easy_handle || !c->busy) continue;
                done.emplace_back(c.get(), msg->data.result);
                remove(*c);
                break;
            }
        }
    }
    return done;
}

curl_socket_t FtpSession::controlSocket(const Channel& c) {
    if (c.controlPort < 0) return CURL_SOCKET_BAD;
    for (auto it = sockets_.begin(); it != sockets_.end();) {
        sockaddr_storage local{}, peer{};
        socklen_t localLength = sizeof local, peerLength = sizeof peer;
        if (::getsockname(*it, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
            it = sockets_.erase(it);  // closed since
            continue;
        }
        if (portOf(local) == c.controlPort &&
            ::getpeername(*it, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 && portOf(peer) == options_.port) {
            return *it;
        }
        ++it;
    }
    return CURL_SOCKET_BAD;
}

void FtpSession::wait(int milliseconds, const std::vector<pollfd>& others) {
    if (settingUp()) milliseconds = std::min(milliseconds, 1);
    const bool idle = std::none_of(channels_.begin(), channels_.end(), [](const auto& c) { return c->busy; });
    if (idle && !others.empty()) {
        std::vector<pollfd> set = others;
        ::poll(set.data(), set.size(), milliseconds);
        return;
    }
    std::vector<curl_waitfd> extra;
    for (const pollfd& p : others) {
        const short events = static_cast<short>(((p.events & POLLIN) ? CURL_WAIT_POLLIN : 0) |
                                                ((p.events & POLLOUT) ? CURL_WAIT_POLLOUT : 0));
        extra.push_back({p.fd, events, 0});
    }
    // A server's reply to an upload whose data connection we ended is
    // handed to libcurl as soon as it arrives (see resumeAnswered).
    for (const auto& c : channels_) {
        if (c->awaitingReply && c->busy) extra.push_back({c->awaitedControl, CURL_WAIT_POLLIN, 0});
    }
    curl_waitfd* fds = extra.empty() ? nullptr : extra.data();
    const auto count = static_cast<unsigned>(extra.size());
    if (multis_.size() == 1) {
        curl_multi_poll(multis_.front(), fds, count, milliseconds, nullptr);
        return;
    }
    // libcurl waits on one multi handle's sockets only: wait on each in turn,
    // briefly, so that none waits long for its turn.
    CURLM* m = multis_[nextWait_++ % multis_.size()];
    curl_multi_poll(m, fds, count, std::min(milliseconds, 1), nullptr);
}

std::vector<CURLcode> FtpSession::runAlone(const std::vector<Channel*>& list) {
    std::vector<CURLcode> results(list.size(), CURLE_OK);
    for (auto* c : list) add(*c);
    std::size_t left = list.size();
    while (left > 0) {
        perform();
        for (auto& [c, result] : finished()) {
            for (std::size_t i = 0; i < list.size(); ++i) {
                if (list[i] != c) continue;
                results[i] = result;
                --left;
            }
        }
        // Short waits: see perform for the stall they avoid.
        if (left > 0) wait(1);
    }
    return results;
}

void FtpSession::login() {
    std::vector<Channel*> all;
    for (auto& c : channels_) {
        prepareCommands(*c);
        all.push_back(c.get());
    }
    auto results = runAlone(all);
    const bool tls = options_.encryptControl || options_.encryptData;
    if (tls && tls12_ &&
        std::all_of(results.begin(), results.end(), [](CURLcode r) { return r == CURLE_SSL_CONNECT_ERROR; })) {
        speakTls13();
        results = runAlone(all);
    }
    std::size_t ok = 0;
    std::size_t firstFailure = results.size();
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (results[i] == CURLE_OK) {
            ++ok;
        } else if (firstFailure == results.size() || results[i] == CURLE_LOGIN_DENIED) {
            firstFailure = i;
        }
    }
    const bool refused = firstFailure < results.size() && results[firstFailure] == CURLE_LOGIN_DENIED;
    if (ok == 0 || refused) {
        Channel& c = *all[firstFailure];
        raise(__LINE__, "connect",
              "cannot log in to ftp server " + server() + " as \"" + options_.username +
                  "\": " + c.describe(results[firstFailure]),
              {{"ftp server", server()}, {"ftp reply", c.lastReply}});
    }
    // A server that takes fewer connections than asked for still gets the
    // upload, over the connections it took.
    std::vector<std::unique_ptr<Channel>> kept;
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (results[i] == CURLE_OK) kept.push_back(std::move(channels_[i]));
    }
    channels_ = std::move(kept);
    std::vector<CURLM*> used;
    for (CURLM* m : multis_) {
        const bool driving = std::any_of(channels_.begin(), channels_.end(),
                                         [m](const auto& c) { return c->multi == m; });
        if (driving) {
            used.push_back(m);
        } else {
            curl_multi_cleanup(m);
        }
    }
    multis_ = std::move(used);
    askFeatures();
}

void FtpSession::speakTls13() {
    tls12_ = false;
    for (auto& c : channels_) {
        configure(*c);
        c->prepare(url(""));
    }
}

void FtpSession::askFeatures() {
    Channel& c = *channels_.front();
    prepareCommands(c);
    // "*": a server without FEAT offers nothing beyond the basics.
    c.setCommands(CURLOPT_QUOTE, {"*FEAT"});
    if (runAlone({&c})[0] == CURLE_OK) offersSha256_ = qz::offersSha256(c.replyLines);
    c.prepare(url(""));
    if (offersSha256_ && options_.serverHashCheck) selectSha256();
}

// Selected before the first upload, SHA-256 is what a server that hashes
// the bytes as they arrive (proftpd) hashes, so that it answers HASH at
// once instead of reading the stored file again. The check asks for it
// again (see UploadLoop::startCheck): "*", as the check does not rest on it.
void FtpSession::selectSha256() {
    std::vector<Channel*> all;
    for (auto& c : channels_) {
        prepareCommands(*c);
        c->setCommands(CURLOPT_QUOTE, {"*OPTS HASH SHA-256"});
        all.push_back(c.get());
    }
    runAlone(all);
    for (auto* c : all) c->prepare(url(""));
}

}  // namespace qz
