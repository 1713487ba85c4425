// An upload request on a channel, and the early end of its data connection
// that keeps the other connections sending while it waits for its reply.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>

#include "ftp_session.hpp"

namespace qz {

void FtpSession::prepareUpload(Channel& c, const std::string& remotePath, std::uint64_t size, bool resume,
                               curl_read_callback read, curl_seek_callback seek, void* user) {
    c.prepare(url(remotePath));
    // A buffer larger than the file would only be allocated and cleared for nothing.
    fitUploadBuffer(c, size);
    c.read = read;
    c.readUser = user;
    curl_easy_setopt(c.easy, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(c.easy, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c.easy, CURLOPT_READFUNCTION, onUploadRead);
    curl_easy_setopt(c.easy, CURLOPT_READDATA, &c);
    curl_easy_setopt(c.easy, CURLOPT_SEEKFUNCTION, seek);
    curl_easy_setopt(c.easy, CURLOPT_SEEKDATA, user);
    // Plain passive data connections are ended by us (see endDataConnection);
    // libcurl then must not know the size, or it ends them itself.
    c.endEarly = !resume && !options_.encryptData && options_.connectionMode == EConnectionMode::ePassive;
    curl_easy_setopt(c.easy, CURLOPT_INFILESIZE_LARGE,
                     c.endEarly ? static_cast<curl_off_t>(-1) : static_cast<curl_off_t>(size));
    // -1: libcurl asks the server (SIZE) how much it holds and appends the rest.
    curl_easy_setopt(c.easy, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(resume ? -1 : 0));
}

std::size_t FtpSession::onUploadRead(char* buffer, std::size_t size, std::size_t count, void* channel) {
    auto* c = static_cast<Channel*>(channel);
    if (!c->reading) {
        c->reading = true;
        // The SIZE reply that led here (on a resume) is not the one that checks the result.
        c->lastSize = -1;
    }
    // Every byte went out before the data connection was ended: libcurl
    // asks once more when it resumes, and the file need not be read again.
    if (c->ended) return 0;
    const std::size_t n = c->read(buffer, size, count, c->readUser);
    if (n != 0 || !c->endEarly) return n;
    return c->session->endDataConnection(*c) ? CURL_READFUNC_PAUSE : 0;
}

// Once an upload's last byte is out, libcurl closes the data connection
// and waits for the server's reply without serving the other connections
// meanwhile. Ending the data connection here instead (libcurl asks for
// more only when everything it was given is sent) and pausing until the
// reply is in lets libcurl find it waiting, so the connections keep
// sending side by side.
bool FtpSession::endDataConnection(Channel& c) {
    if (c.opened.empty()) return false;
    // The data connection is the socket this request opened last.
    const curl_socket_t data = c.opened.back();
    const curl_socket_t control = controlSocket(c);
    if (control == CURL_SOCKET_BAD || data == control) return false;
    if (::shutdown(data, SHUT_WR) != 0) return false;
    c.ended = true;
    c.awaitingReply = true;
    c.awaitedControl = control;
    c.endedAt = std::chrono::steady_clock::now();
    return true;
}

// A server that has not replied within the stall timeout is left to
// libcurl, whose own reply timeout then names the stall.
void FtpSession::resumeAnswered() {
    const auto now = std::chrono::steady_clock::now();
    const auto patience = std::chrono::seconds(std::max(options_.stallTimeout, 1));
    for (auto& c : channels_) {
        if (!c->awaitingReply || !c->busy) continue;
        pollfd p{c->awaitedControl, POLLIN, 0};
        if (::poll(&p, 1, 0) == 0 && now - c->endedAt < patience) continue;
        c->awaitingReply = false;
        curl_easy_pause(c->easy, CURLPAUSE_CONT);
    }
}

// An upload whose data connection is not up yet.
bool FtpSession::settingUp() const {
    return std::any_of(channels_.begin(), channels_.end(),
                       [](const auto& c) { return c->busy && c->read && !c->reading; });
}

}  // namespace qz
