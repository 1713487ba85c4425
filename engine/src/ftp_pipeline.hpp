#pragma once
// Uploads files over ONE logged-in control connection with pipelined
// commands, without blocking: the owner polls pollSet() and calls advance()
// when a socket is ready (or the time it held bytes back has passed). The
// owner hands out the files (PipelineSource::nextFile), gives their bytes
// (read) and learns how each one ended (settled).
//
// Per file one write carries the previous file's checks and this file's
// commands: "SIZE prev\r\nHASH prev\r\nEPSV\r\nSTOR next\r\n". A file to
// resume asks for the server's SIZE first and goes on with APPE. It is written
// only once the previous STOR has its final reply: servers that read the
// control connection during a transfer answer a command sent before that
// reply while the file is still incomplete ("213 0"), or out of order.
// Replies are matched to the commands in order (FtpCommandQueue); a reply
// that does not fit stops this connection, and every file it had not
// settled is handed back (eLeft), never counted as sent.
//
// EPSV goes ahead of STOR in one write where FEAT offers it. Otherwise the
// first file asks for it alone, and a server that refuses it gets PASV: the
// STOR follows once a passive reply has shown which one this server takes.
// In active mode the same holds for EPRT and PORT.
//
//   FtpPipeline pipeline(*link, source, {true, 1 << 20});
//   poll(pipeline.pollSet()); pipeline.advance();   // until the source has no more files

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "ftp_command_queue.hpp"
#include "ftp_control_link.hpp"
#include "ftp_data_connection.hpp"
#include "ftp_features.hpp"
#include "ftp_reply.hpp"
#include "shared_block.hpp"

namespace qz {

class FtpPipeline;

struct PipelineJob {
    unsigned long id = 0;
    std::string commandPath;  // as it goes into STOR; fits in a command
    std::uint64_t size = 0;   // bytes the source will give, for the size of the block
    bool resume = false;      // the server may hold a part: asked for its size first
    bool checkOnly = false;   // stored already: only its SIZE (and HASH) are asked
    // Not a file: the folder `commandPath` ("" for the login folder) is
    // listed (MLSD where FEAT offers it, else LIST); the outcome holds it.
    bool list = false;
    bool listOne = false;  // with `list`: commandPath is one file, listed with LIST
};

enum class EPipelineEnd : int {
    eChecked,  // the server confirmed the transfer and answered SIZE (and HASH where asked); a listing is whole
    eRefused,  // the server's final reply to STOR was an error
    eBroken,   // the data connection broke, or the server confirmed before every byte was out
    eLocal,    // the source could not give the file's bytes
    eLeft,     // the control connection stopped before the file was settled
};

struct PipelineOutcome {
    unsigned long id = 0;
    EPipelineEnd end = EPipelineEnd::eLeft;
    std::uint64_t offset = 0;                 // where this attempt began (APPE after a part)
    std::uint64_t bytes = 0;                  // written to the data connection
    bool storeSent = false;                   // the server was asked to store it: it may hold a part
    bool accepted = false;                    // the server took the STOR (its 1xx reply came)
    bool stored = false;                      // the server confirmed the transfer (its checks may be open)
    bool answered = false;                    // the server answered a command of this file
    std::optional<std::uint64_t> serverSize;  // SIZE's count; none when SIZE was refused
    std::string hashReply;                    // the last line of the reply to HASH; "" when not asked
    int replyCode = 0;                        // of that line; 0 when the server said nothing about it
    std::string reply;                        // the server's last reply line about this file
    std::string fault;                        // what broke (eBroken, eLeft)
    bool stalled = false;                     // eLeft: nothing moved for too long (see abandon)
    std::string listing;                      // a listing job: the bytes the server sent
    bool machineListing = false;              // a listing job: MLSD's facts rather than LIST's lines
};

class PipelineSource {
public:
    static constexpr std::int64_t kHeldBack = -1;  // no byte may go now; ask again later
    static constexpr std::int64_t kFailed = -2;    // the file cannot be sent; the source knows why

    virtual ~PipelineSource() = default;
    // The next file for `pipeline`, already opened by the source; none for now.
    virtual std::optional<PipelineJob> nextFile(FtpPipeline& pipeline) = 0;
    // The file's next bytes, at most `room`, at the start of a block the
    // source fills (see SharedBlock), which the pipeline holds until they are
    // sent: their count, 0 once every byte is out, or kHeldBack / kFailed.
    virtual std::int64_t read(unsigned long id, SharedBlock& block, std::size_t room) = 0;
    // A file to resume: the server holds `held` bytes of it (none: it has no
    // such file, or did not say). Where the source goes on; 0 sends it whole.
    virtual std::uint64_t resumeAt(unsigned long id, std::optional<std::uint64_t> held) = 0;
    // How a file ended on `pipeline`. The pipeline must not be destroyed from here.
    virtual void settled(FtpPipeline& pipeline, const PipelineOutcome& outcome) = 0;
    // The server's FEAT answer is in (features()); files may start.
    virtual void loggedIn(FtpPipeline& /*pipeline*/) {}
};

struct PipelineSettings {
    bool askHash = true;             // check by HASH where FEAT offers SHA-256
    std::size_t block = 256 * 1024;  // bytes asked of the source at once
    bool pipelined = true;           // false: each command waits for the reply to the one before
    bool active = false;             // the server connects to us for the data (EPRT, or PORT)
    // The STOR (or LIST) waits for the reply to its passive command even
    // once the server is known to take it: a server that reads the STOR
    // before our data connection has reached it may fail it (426).
    bool storeAfterPassiveReply = false;
};

class FtpPipeline {
public:
    FtpPipeline(ControlLink& link, PipelineSource& source, PipelineSettings settings);
    ~FtpPipeline();
    FtpPipeline(const FtpPipeline&) = delete;
    FtpPipeline& operator=(const FtpPipeline&) = delete;

    // The sockets to wait for, and for what.
    std::vector<pollfd> pollSet() const;
    // Does all that can be done now without blocking.
    void advance();
    // Creates `folders` (parents first, each fits in a command) with one
    // write, before any file. A folder that exists or cannot be made is no
    // fault here: a file meant for it is refused by name.
    void makeFolders(const std::vector<std::string>& folders);
    // Deletes a file (its name fits in a command); quiet() once answered,
    // whatever the answer.
    void removeFile(const std::string& commandPath);
    // Replies to makeFolders are still awaited.
    bool makingFolders() const { return foldersOpen_ > 0; }
    // Stops the connection from outside because nothing moved on it for
    // too long; every file not settled is settled eLeft, marked stalled.
    void abandon(const std::string& why) {
        stalled_ = true;
        stop(why);
    }

    // Why the connection stopped, or "" while it is sound.
    const std::string& fault() const { return fault_; }
    bool stopped() const { return !fault_.empty(); }
    // The control connection itself closed or broke (as with a server that
    // restarts), rather than being stopped by us.
    bool connectionLost() const { return connectionLost_; }
    // The server refused both kinds of data command (EPSV and PASV, or EPRT
    // and PORT): no file can go over it.
    bool dataRefused() const { return dataRefused_; }
    // The server's reply to the DELE of removeFile, where it refused it.
    const std::string& removeRefused() const { return removeRefused_; }
    // No command is on the way and no file is on it: the connection may be
    // left, or handed to another owner. A stopped one is quiet for good.
    bool quiet() const { return stopped() || (open_.empty() && sent_.empty() && unsent_.empty() && outgoing_.empty()); }
    // The source held the current file's bytes back at the last turn.
    bool heldBack() const { return heldBack_; }
    // What moved so far, for a stall watch: bytes out (a listing's bytes in) and replies in.
    std::uint64_t bytesWritten() const { return written_; }
    unsigned replies() const { return replies_; }
    // The file whose data connection is open or about to be, if any.
    std::optional<unsigned long> sending() const;
    // Bytes of the file on the data connection written so far.
    std::uint64_t bytesOfSending() const;
    // The server's FEAT answer offered HASH with SHA-256 (and HASH is asked).
    bool hashing() const { return hash_; }
    // What the server's FEAT answer offered; nothing before it is in.
    const FtpFeatures& features() const { return features_; }
    // Writes on the control connection: with pipelining about one per file.
    unsigned controlWrites() const { return writes_; }
    // The server failed a STOR (or LIST) written behind its passive command
    // for want of a data connection: later ones wait for the passive reply
    // (see PipelineSettings::storeAfterPassiveReply).
    bool storesAfterPassiveReply() const { return settings_.storeAfterPassiveReply; }

private:
    struct Open {
        PipelineOutcome outcome;
        std::string commandPath;
        bool stored = false;   // the transfer's final reply is in
        bool failed = false;   // settles once the STOR's final reply is in
        bool probing = false;  // a resume: its SIZE comes before the transfer
        // The server read the STOR before our data connection could bring it
        // bytes: it went ahead of the passive reply, or its 1xx came. A data
        // connection that brought the whole file before the STOR leaves some
        // servers waiting for another one.
        bool dataMayGo = false;
        // The data command before its STOR was refused: once the server
        // refused that STOR as well, the file asks again with PASV (PORT).
        bool askAgain = false;
        // Its STOR (LIST) went in one write with its passive command.
        bool storeAhead = false;
        bool listing = false;  // a listing job
        bool listed = false;   // its data connection brought every byte
    };

    Open* find(unsigned long id);
    const Open* find(unsigned long id) const;
    bool storeWritten(unsigned long id) const;
    void queue(EFtpCommand kind, unsigned long file, std::string line);
    void flush();
    void receive();
    void onReply(const FtpReply& reply);
    void onFeat(const FtpReply& reply);
    void onPassive(const FtpReply& reply, unsigned long file);
    void onPort(const FtpReply& reply, unsigned long file);
    void dataCommandRefused(const FtpReply& reply, unsigned long file);
    bool noDataYet(const FtpReply& reply, Open& o);
    bool dataCommandTaken();
    bool listenForData(unsigned long file);
    void onStored(const FtpReply& reply, unsigned long file);
    void onListed(const FtpReply& reply, unsigned long file);
    void receiveListing(Open& o);
    void endListing(Open& o);
    void onSize(const FtpReply& reply, unsigned long file);
    void onResumeSize(const FtpReply& reply, Open& o);
    void onHash(const FtpReply& reply, unsigned long file);
    void startNextFile();
    void sendData();
    bool refill();
    void failCurrent(EPipelineEnd end, std::string why);
    void settle(unsigned long id, EPipelineEnd end);
    void stop(std::string why);

    ControlLink& link_;
    PipelineSource& source_;
    PipelineSettings settings_;
    std::deque<Open> open_;                 // the file on the data connection last; checks of the one before
    std::optional<unsigned long> current_;  // the file of the data connection
    bool hash_ = false;                     // the server hashes with SHA-256
    FtpFeatures features_;
    // How data connections are asked for; until a reply shows that the server
    // takes it, the STOR waits for the passive reply.
    enum class EPassive : int { eEpsvUntried, eEpsv, ePasv };  // EPRT and PORT in active mode
    EPassive passive_ = EPassive::eEpsvUntried;
    bool passiveKnown_ = false;
    void askPassive(unsigned long file);
    void queueStore(unsigned long file);
    void queueChecks(unsigned long file);
    bool loggedIn_ = false;  // FEAT is answered: files may start
    FtpCommandQueue sent_;
    std::vector<QueuedCommand> unsent_;
    std::string outgoing_;  // bytes of unsent_ that the link did not take yet
    FtpReplyReader reader_;
    DataConnection data_;
    bool sentAll_ = false;  // the current file's last byte is written, the close begun
    bool heldBack_ = false;
    // The block being sent, of the current file's need up to settings_.block
    // (a small file needs no more than 16 KiB): bytes from bufferAt_ to
    // bufferEnd_ are still to go.
    SharedBlock block_;
    std::size_t blockRoom_ = 0;
    std::size_t bufferAt_ = 0;
    std::size_t bufferEnd_ = 0;
    std::uint64_t written_ = 0;
    unsigned replies_ = 0;
    unsigned writes_ = 0;
    std::size_t foldersOpen_ = 0;
    std::string fault_;
    bool connectionLost_ = false;
    bool stalled_ = false;
    bool dataRefused_ = false;
    std::string removeRefused_;
};

}  // namespace qz
