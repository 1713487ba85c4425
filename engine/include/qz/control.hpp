#pragma once
// One transfer job to one FTP/FTPS server: a queue of files, the connections
// that carry them, and the statistics of the run.
//
//   qz::Control c(options);
//   c.prepareSingleFile(qz::Local("/data/report.pdf"));       // lands as "report.pdf"
//   c.prepareRecursiveDir(qz::Local("/data/run1"), qz::Remote("."));
//   c.setStatsCallback(onProgress, &myState);
//   c.connect();        // logs in; wrong host or password fails here
//   c.upload();         // returns when the queue is done
//   c.disconnect();
//
// Every call runs on the caller's thread; the callback does too.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "qz/name.hpp"
#include "qz/options.hpp"
#include "qz/stats.hpp"

namespace qz {

// What a queued tree does with a symbolic link to a folder.
enum EFolderLinks : int {
    eSkipFolderLinks = 0,    // passed over with a notice (GlobalStateAndStats::skipped)
    eFollowFolderLinks = 1,  // walked like a folder; a link back into its own path is a loop, skipped
};

class Control {
public:
    explicit Control(const Options& options);
    ~Control();
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    // Takes a new configuration: the rates apply from the next upload; server,
    // login, connections and encryption once connected anew (disconnect, connect).
    void setNewOptions(const Options& options);
    // The options as the engine uses them: Options::normalized().
    const Options& getOptions() const;

    // Queues one regular file (a link to one counts); it lands under its base
    // name. A path that does not exist, is not a regular file or cannot be
    // read raises qz::Exception naming it.
    void prepareSingleFile(const Local& file);
    // Queues every file below a folder, sorted by path; each lands under
    // `remote` + "/" + its path relative to the folder ("." keeps the relative
    // paths as they are). Empty folders are created too. Links to files are
    // sent (TransferStats::viaLink); links to folders follow setFolderLinks;
    // loops, dangling links and links to anything but a file or folder are
    // skipped and listed in GlobalStateAndStats::skipped. A folder that cannot
    // be read, or an entry that is neither a readable regular file, a folder
    // nor a link, raises qz::Exception naming it; nothing of the call is
    // queued then.
    void prepareRecursiveDir(const Local& folder, const Remote& remote);
    // Both prepare calls check every remote name before anything is queued:
    // a name the transfer server or the job's finalization could not take
    // (a control byte, "#,#", a ".." part, bytes that are not UTF-8) is
    // refused naming the local path, and so is a name that another local
    // file or folder already lands on: both local paths and the remote name
    // are in the error. The same file queued again under the same name is
    // kept once. A call that raises queues nothing. While an upload runs
    // both are refused, like the other calls that change the queue.

    // Default eSkipFolderLinks; kept across setNewOptions and clearQueue.
    void setFolderLinks(EFolderLinks folderLinks);
    // With it on, a file whose arrival nothing could prove (the server
    // answered neither SIZE nor HASH for it, and its folder's listing gave no
    // size: TransferStats::verifiedBy would be eTransferReply) fails by name
    // instead of counting as done. Default off; kept across setNewOptions
    // and clearQueue.
    void setRequireVerified(bool required);

    // Forgets the queue and the statistics, so that a new job starts empty.
    void clearQueue();

    // Opens and logs in every connection to the server that the options name
    // (see Options::setMultiThreaded). A wrong host, port, user or password
    // raises qz::Exception (operation "connect") with the server's reply or
    // libcurl's words; so does, before anything is sent, a user, password or
    // host holding a control character, a host that is not a plain host name
    // or IP address, or port 0. Harmless when connected already.
    void connect();
    // Sends every queued file that has not arrived yet (connecting first when
    // needed) and returns when the queue is done. Folders are created once,
    // up front; each file is stored by its full remote name over a logged-in
    // connection and its size checked against the server's; where the server
    // hashes stored files, their SHA-256 too (see Options::setServerHashCheck;
    // a file whose hash differs is sent again from byte 0). A transfer that
    // breaks while the server answers is tried again (5 attempts, waiting
    // longer each time) and resumes from the bytes the server holds; a
    // stalled one (see Options::setStallTimeout) is dropped and tried again
    // at once. A server that cannot be reached is waited for, reconnecting
    // with growing pauses, for Options::setUnreachableTimeout; only then are
    // the files not yet sent given up. A 5xx reply fails its file at once. A
    // queued path that is no longer a regular file fails by name. A server
    // out of room (452, 552) fails the file with its reply, after at most one
    // resume that learns what it kept. Files that could not be sent, or that
    // vanished or changed after they were queued, raise qz::Exception
    // (operation "upload") naming them once the rest is done; the file map
    // tells which arrived. A later upload resumes the files the server holds
    // a part of, unless the local file has changed since. The statistics callback runs at least every 200 ms
    // while the upload runs and once at the end, with finished set. While it
    // runs, calls that would change the queue or the connections are refused.
    void upload();
    // Closes every connection; harmless when there is none.
    void disconnect();
    // Uploads generated bytes for about a second (at most 512 MiB; a stalled
    // link is given up after 10 s) to a temporary name in the login folder,
    // which is deleted afterwards unless `keepProbeFile`; returns the rate of
    // the bytes the server confirmed, in bits per second.
    std::uint64_t detectApproximateUploadSpeed(bool keepProbeFile);

    void setStatsCallback(StatsCallback callback, void* user);
    const std::map<unsigned long, TransferStats>& getFileMap() const;
    const GlobalStateAndStats& getGlobalStateAndStats() const;
    // The controller's state as names and display texts: "server",
    // "protocol", "connected", "connections", "connections open", "uploading",
    // "files queued", "files done", "files failed", "files pending",
    // "folders queued", "bytes queued", "bytes transferred", "current rate",
    // "rate limit", "elapsed seconds", "last error".
    std::map<std::string, std::string> getMap() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace qz
