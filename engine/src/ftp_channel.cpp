// One easy handle of the session: its request's state and the commands
// that go with it.
#include <algorithm>
#include <limits>
#include <new>

#include "control_report.hpp"
#include "ftp_session.hpp"

namespace qz {

void refuseInCommand(int line) {
    raise(line, "upload", "a remote name holding a line break or a NUL byte cannot be sent to an ftp server");
}

Channel::~Channel() {
    if (commands) curl_slist_free_all(commands);
    if (easy) curl_easy_cleanup(easy);
}

void Channel::prepare(const std::string& url) {
    error[0] = '\0';
    lastReply.clear();
    lastSize = -1;
    replyLines.clear();
    opened.clear();
    controlPort = -1;
    read = nullptr;
    readUser = nullptr;
    reading = endEarly = ended = awaitingReply = false;
    awaitedControl = CURL_SOCKET_BAD;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, replyTimeout);
    curl_easy_setopt(easy, CURLOPT_QUOTE, nullptr);
    curl_easy_setopt(easy, CURLOPT_POSTQUOTE, nullptr);
    if (commands) curl_slist_free_all(commands);
    commands = nullptr;
}

void Channel::waitForRepliesUpTo(std::chrono::seconds wait) {
    // libcurl refuses (and ignores) more seconds than fit its milliseconds in an int.
    const long most = std::numeric_limits<int>::max() / 1000;
    curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, std::min<long>(most, static_cast<long>(wait.count())));
}

void Channel::setCommands(CURLoption when, const std::vector<std::string>& lines) {
    if (commands) curl_slist_free_all(commands);
    commands = nullptr;
    curl_easy_setopt(easy, when, nullptr);
    for (const auto& l : lines) {
        if (!fitsInCommand(l)) refuseInCommand(__LINE__);
    }
    for (const auto& l : lines) {
        curl_slist* next = curl_slist_append(commands, l.c_str());
        if (!next) throw std::bad_alloc();
        commands = next;
    }
    curl_easy_setopt(easy, when, commands);
}

std::string Channel::describe(CURLcode code) const {
    std::string text = error[0] ? std::string(error) : std::string(curl_easy_strerror(code));
    if (!lastReply.empty() && text.find(lastReply) == std::string::npos &&
        (lastReply[0] == '4' || lastReply[0] == '5')) {
        text += " (server said: " + lastReply + ")";
    }
    return text;
}

}  // namespace qz
