#pragma once
// Uploads a list of files over ONE logged-in control connection with
// pipelined commands, without blocking: the caller polls pollSet() and calls
// advance() when a socket is ready (runPipelines does this for several).
//
// Per file one write carries the previous file's checks and this file's
// commands: "SIZE prev\r\nHASH prev\r\nEPSV\r\nSTOR next\r\n". It is written
// only once the previous STOR has its final reply: servers that read the
// control connection during a transfer answer a command sent before that
// reply while the file is still incomplete ("213 0"), or out of order.
// Replies are matched to the commands in order (FtpCommandQueue); a reply
// that does not fit stops this connection, and every file it had not
// confirmed is left for the plain sequence, never counted as sent.
// A server that refuses EPSV gets the plain sequence: PASV, then STOR once
// its reply is in, one command at a time.
//
//   auto link = CurlControlLink::login({host, port, user, password});
//   FtpPipeline pipeline(*link, {{"/data/a.bin", "a.bin"}, {"/data/b.bin", "b.bin"}});
//   runPipelines({&pipeline}, std::chrono::seconds(60));
//   pipeline.results()[0].state == EPipelineFile::eConfirmed

#include <poll.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "file_digest.hpp"
#include "ftp_command_queue.hpp"
#include "ftp_control_link.hpp"
#include "ftp_data_connection.hpp"
#include "ftp_reply.hpp"

namespace qz {

struct PipelineFile {
    std::string localPath;
    std::string remoteName;  // relative to the login folder, which holds its folders already
};

enum class EPipelineFile : int {
    eWaiting,    // not begun; left for the plain sequence when the connection stopped
    eSending,    // commands sent, bytes on their way
    eStored,     // the server confirmed the transfer; its checks are pending
    eConfirmed,  // stored and checked: SIZE and, where the server offers it, HASH
    eFailed,     // fault says why
};

struct PipelineFileResult {
    EPipelineFile state = EPipelineFile::eWaiting;
    std::uint64_t bytes = 0;  // bytes written to the data connection
    std::string sha256;       // of those bytes, once all were read
    bool checkedByHash = false;
    bool resumedTls = false;  // its TLS data connection resumed the control connection's session
    std::string fault;
};

class FtpPipeline {
public:
    FtpPipeline(ControlLink& link, std::vector<PipelineFile> files);
    ~FtpPipeline();
    FtpPipeline(const FtpPipeline&) = delete;
    FtpPipeline& operator=(const FtpPipeline&) = delete;

    // The sockets to wait for, and for what.
    std::vector<pollfd> pollSet() const;
    // Does all that can be done now without blocking.
    void advance();
    // Every file confirmed or failed, or the connection stopped.
    bool finished() const;
    // Stops the connection from outside (e.g. nothing moved for too long).
    void abandon(const std::string& why) { stop(why); }
    // Why the connection stopped, or "" while it is sound.
    const std::string& fault() const { return fault_; }
    const std::vector<PipelineFileResult>& results() const { return results_; }
    // Writes on the control connection: with pipelining about one per file.
    unsigned controlWrites() const { return writes_; }

private:
    struct Local {
        int fd = -1;
        struct stat opened {};
        std::uint64_t offset = 0;
        std::optional<FileDigest> digest;
        std::string buffer;
        std::size_t bufferAt = 0;
    };

    void queue(EFtpCommand kind, std::size_t file, std::string line);
    void flush();
    void receive();
    void onReply(const FtpReply& reply);
    void onFeat(const FtpReply& reply);
    void onPassive(const FtpReply& reply, std::size_t file);
    void onStored(const FtpReply& reply, std::size_t file);
    void onSize(const FtpReply& reply, std::size_t file);
    void onHash(const FtpReply& reply, std::size_t file);
    void startNextFile();
    void sendData();
    bool refill();
    void closeLocal();
    void fail(std::size_t file, std::string why);
    void stop(std::string why);

    ControlLink& link_;
    std::vector<PipelineFile> files_;
    std::vector<PipelineFileResult> results_;
    std::size_t next_ = 0;       // the next file to start
    std::size_t current_ = 0;    // the file on the data connection
    bool passiveOnly_ = false;   // the server refused EPSV: PASV, one command at a time
    bool oneAtATime_ = false;
    bool hash_ = false;          // the server hashes with SHA-256
    bool loggedIn_ = false;      // FEAT is answered: files may start
    std::optional<std::size_t> redo_;  // refused EPSV: this file goes again with PASV
    FtpCommandQueue sent_;
    std::vector<QueuedCommand> unsent_;
    std::string outgoing_;       // bytes of unsent_ that the link did not take yet
    FtpReplyReader reader_;
    DataConnection data_;
    bool sentAll_ = false;       // the current file's last byte is written, the close begun
    Local local_;
    unsigned writes_ = 0;
    std::string fault_;
};

// Drives pipelines until every one has finished. A pipeline on which nothing
// moved for `stallLimit` stops with a fault; its unconfirmed files are left.
void runPipelines(const std::vector<FtpPipeline*>& pipelines, std::chrono::milliseconds stallLimit);

}  // namespace qz
