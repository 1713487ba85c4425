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

class Control {
public:
    explicit Control(const Options& options);
    ~Control();
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    // Takes a new configuration; it applies from the next connect.
    void setNewOptions(const Options& options);
    const Options& getOptions() const;

    // Queues one regular file; it lands under its base name. A path that does
    // not exist, is not a regular file or cannot be read raises qz::Exception
    // naming it.
    void prepareSingleFile(const Local& file);
    // Queues every file below a folder, sorted by path; each lands under
    // `remote` + "/" + its path relative to the folder ("." keeps the relative
    // paths as they are). Empty folders are created too. A folder that cannot
    // be read, or an entry below it that is not a readable regular file, folder
    // or link to one, raises qz::Exception naming it; nothing is queued then.
    void prepareRecursiveDir(const Local& folder, const Remote& remote);

    // Forgets the queue and the statistics, so that a new job starts empty.
    void clearQueue();

    // Opens and logs in to the server that the options name.
    void connect();
    // Sends every queued file that has not arrived yet.
    void upload();
    // Closes every connection; harmless when there is none.
    void disconnect();
    // A short timed probe upload; returns the rate it reached in bits per second.
    std::uint64_t detectApproximateUploadSpeed(bool keepProbeFile);

    void setStatsCallback(StatsCallback callback, void* user);
    const std::map<unsigned long, TransferStats>& getFileMap() const;
    const GlobalStateAndStats& getGlobalStateAndStats() const;
    // The controller's state as names and display texts: server, connection,
    // queue and totals.
    std::map<std::string, std::string> getMap() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace qz
