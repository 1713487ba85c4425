#pragma once
// The connections of one controller to its FTP/FTPS server: one easy handle
// ("channel") per parallel connection, reused file after file, driven by
// libcurl multi handles whose connection caches keep the logged-in control
// connections. Plain FTP shares one multi handle among all channels. FTPS
// gives each channel its own: servers check that a data connection resumes
// the TLS session of its own control connection, and libcurl resumes the last
// session of the easy handle, so a channel must never pick up another
// channel's connection from a shared cache.
//
//   FtpSession session(options);
//   session.login();                    // throws qz::Exception with the server's words
//   Channel& c = session.channel(0);
//   c.prepare(session.url("dir/a b.txt"));
//
// Everything runs on the caller's thread; no callback of libcurl outlives it.

#include <curl/curl.h>
#include <poll.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "qz/options.hpp"
#include "remote_path.hpp"

namespace qz {

class FtpSession;

// One easy handle with its error buffer and what the server said last.
struct Channel {
    CURL* easy = nullptr;
    char error[CURL_ERROR_SIZE] = {};
    std::string lastReply;                // last reply line of the server
    std::int64_t lastSize = -1;           // number of the last "213" (SIZE) reply
    unsigned replies = 0;                 // reply lines heard so far: the server is alive
    unsigned answers = 0;                 // of those, the server's own (libcurl adds some)
    std::vector<std::string> replyLines;  // every reply line since prepare, the first kMaxLines
    static constexpr std::size_t kMaxLines = 200;
    curl_slist* commands = nullptr;              // quote commands of the current request
    CURLM* multi = nullptr;                      // the multi handle that drives it
    std::vector<curl_socket_t> opened;           // sockets libcurl opened since prepare
    int controlPort = -1;                        // local port of the request's control connection
    std::set<curl_socket_t>* sockets = nullptr;  // every socket the session's channels opened
    FtpSession* session = nullptr;               // that drives it
    bool busy = false;                           // added to its multi handle
    long uploadBuffer = 0;                       // bytes of libcurl's upload buffer, as last set
    long replyTimeout = 1;                       // seconds libcurl waits for a reply, as a rule

    // The upload of the current request (see FtpSession::prepareUpload).
    curl_read_callback read = nullptr;
    void* readUser = nullptr;
    bool reading = false;        // libcurl asked for bytes: the data connection is up
    bool endEarly = false;       // its data connection is ended by us once every byte is out
    bool ended = false;          // it was
    bool awaitingReply = false;  // paused until the server's reply to the upload is in
    curl_socket_t awaitedControl = CURL_SOCKET_BAD;
    std::chrono::steady_clock::time_point endedAt;

    // Clears the state of the previous request and sets the URL.
    void prepare(const std::string& url);
    // Lets the current request wait `wait` for each reply instead of the
    // rule; the next prepare restores the rule.
    void waitForRepliesUpTo(std::chrono::seconds wait);
    // Commands sent before (quote) or after (postquote) the request. A line
    // that does not fit in a command (see fitsInCommand) raises qz::Exception.
    void setCommands(CURLoption when, const std::vector<std::string>& lines);
    // libcurl's text for `code`, with the server's last reply when it adds to it.
    std::string describe(CURLcode code) const;
    ~Channel();
};

class FtpSession {
public:
    explicit FtpSession(const Options& options);
    ~FtpSession();
    FtpSession(const FtpSession&) = delete;
    FtpSession& operator=(const FtpSession&) = delete;

    // Logs in on every channel at once. Throws qz::Exception ("connect") when
    // no connection could log in, or when the server refused the login.
    // Without it, each channel logs in when first used.
    void login();

    // The server refused TLS 1.2 (a pipelined connection found out): the
    // channels that have not logged in yet ask for TLS 1.3 from the start.
    void speakTls13();

    const Options& options() const { return options_; }
    // The server's FEAT answer, asked at login, offered HASH with SHA-256.
    bool offersSha256() const { return offersSha256_; }
    std::size_t channels() const { return channels_.size(); }
    Channel& channel(std::size_t index) { return *channels_[index]; }

    // "ftp://host:port/" + the path, every component escaped; a leading "/"
    // makes the path absolute on the server. A path that does not fit in a
    // command (see fitsInCommand) raises qz::Exception.
    std::string url(const std::string& remotePath) const;
    // "host:port" as shown in messages.
    std::string server() const;

    // Runs requests on the given channels until all have finished; returns
    // each result in the same order.
    std::vector<CURLcode> runAlone(const std::vector<Channel*>& channels);

    // Sets `c` up to upload `size` bytes to `remotePath`, read by `read` and
    // `seek` (libcurl's callbacks) with `user`. With `resume`, libcurl asks
    // the server (SIZE) how much it holds and seeks to there. A read that
    // returns 0 says every byte is out; the session then ends the data
    // connection itself where it can (see endDataConnection).
    void prepareUpload(Channel& c, const std::string& remotePath, std::uint64_t size, bool resume,
                       curl_read_callback read, curl_seek_callback seek, void* user);

    // Prepares `c` for a request of commands alone (set with setCommands),
    // which transfers nothing.
    void prepareCommands(Channel& c);
    void add(Channel& c);
    void remove(Channel& c);
    // Lets libcurl do what is due on every channel.
    void perform();
    // Channels whose request has ended, with the result; they are removed
    // from their multi handle.
    std::vector<std::pair<Channel*, CURLcode>> finished();
    // Waits up to `milliseconds` for something to do, on the channels'
    // sockets and on `others` (the caller's own).
    void wait(int milliseconds, const std::vector<pollfd>& others = {});

private:
    static std::size_t onUploadRead(char* buffer, std::size_t size, std::size_t count, void* channel);
    void configure(Channel& c);
    // libcurl's upload buffer for a file of `size` bytes: the block size,
    // or less for a file smaller than eight blocks.
    void fitUploadBuffer(Channel& c, std::uint64_t size);
    // The control connection that `c`'s current request uses, found among
    // the sockets the channels opened; CURL_SOCKET_BAD when unknown.
    curl_socket_t controlSocket(const Channel& c);
    bool endDataConnection(Channel& c);
    void resumeAnswered();
    bool settingUp() const;
    // Sockets opened so far by the uploads whose data connection is not up yet.
    std::size_t socketsSettingUp() const;
    void askFeatures();
    void selectSha256();

    Options options_;
    bool tls12_ = true;  // see configure()
    bool offersSha256_ = false;
    std::vector<CURLM*> multis_;
    std::size_t nextWait_ = 0;
    std::vector<std::unique_ptr<Channel>> channels_;
    std::set<curl_socket_t> sockets_;
};

// Whether text can go into an FTP command: a CR or LF would end the command
// and begin another of the text's choosing, a NUL byte would cut it short.
bool fitsInCommand(const std::string& text);
// Raises the engine's error for a remote name that does not fit in a command.
[[noreturn]] void refuseInCommand(int line);

// Sets libcurl up once per process.
void ensureCurlGlobalInit();

}  // namespace qz
