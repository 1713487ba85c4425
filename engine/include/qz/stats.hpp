#pragma once
// What the engine knows about a transfer: one record per queued file and the
// totals, handed to the statistics callback and returned after an upload.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "qz/name.hpp"

namespace qz {

enum class EFileResult : int {
    ePending = 0,  // queued, not started
    eSending = 1,  // bytes are moving
    eDone = 2,     // arrived; verifiedBy says what proved it
    eFailed = 3,   // given up; errorText says why
};

// Display text: "pending", "sending", "done", "failed".
std::string to_string(EFileResult result);

// What proved that a done file arrived whole, strongest first.
enum class EVerifiedBy : int {
    eNone = 0,           // not done
    eHash = 1,           // the server's SHA-256 of the stored file matched ours
    eSize = 2,           // the server's SIZE of it matched the bytes sent
    eListing = 3,        // its folder's listing shows it under its name with that size
    eTransferReply = 4,  // nothing was compared: only the server's reply to the transfer
};

// Display text: "hash", "size", "listing", "transfer reply"; "" for eNone.
std::string to_string(EVerifiedBy how);

struct TransferStats {
    Local local;
    Remote remote;
    std::uint64_t fileSize = 0;  // bytes, as measured when queued
    // Bytes the server holds of this file: while it is sent, the bytes handed
    // to the connection; once done or failed, the server's own count (for a
    // file failed while the server was unreachable, the count it last gave).
    std::uint64_t bytesSent = 0;
    int attempts = 0;  // transfers started for this file
    EFileResult result = EFileResult::ePending;
    std::string errorText;  // why the last attempt failed, "" if none
    // Reached through a symbolic link: the queued path itself, or a linked
    // folder above it inside a queued tree.
    bool viaLink = false;
    // SHA-256 of the content the server got, 64 lower-case hex digits, taken
    // while the file was read for sending; "" until the server confirmed it.
    std::string sha256;
    // What proved its arrival; eNone until it is stored. A file is done
    // only once its folder's listing, where the server gives one, shows it
    // under its name (and size).
    EVerifiedBy verifiedBy = EVerifiedBy::eNone;
    // verifiedBy == EVerifiedBy::eHash, kept for callers that read it.
    bool verifiedByHash = false;
};

// Something a queued tree held that is not sent, and why: a link to a folder
// that is not followed, a link loop, a dangling link, a link to something
// that is neither file nor folder.
struct SkippedEntry {
    std::string local;
    std::string reason;
};

struct GlobalStateAndStats {
    std::uint64_t totalBytesTransferred = 0;  // bytes that reached the server
    std::uint64_t totalBytes = 0;             // bytes queued
    std::uint64_t filesDone = 0;
    std::uint64_t filesFailed = 0;
    std::uint64_t filesTotal = 0;
    std::uint64_t currentRate = 0;  // bits per second, recent
    double elapsedSeconds = 0;      // since the upload began
    bool finished = false;          // true in the final callback
    // Per file, by the engine's file number (queue order, from 1).
    std::map<unsigned long, TransferStats> fileMap;
    // What the queue passed over, in the order met.
    std::vector<SkippedEntry> skipped;
};

// The host's progress function: called on the thread that runs upload. An
// exception it throws ends the upload and passes out of Control::upload;
// open transfers are dropped and the files they carried are pending again.
using StatsCallback = void (*)(const GlobalStateAndStats& stats, void* user);

}  // namespace qz
