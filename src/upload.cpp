// The file queue and the upload run.
#include <string>

#include "qz/quoted.hpp"
#include "qz/ws.hpp"

namespace qz {

namespace {

// The job server's port text, checked whole: the engine keeps only its low
// 16 bits, so "112557" would quietly become port 47021, and strtol would
// turn "21abc" into 21 and "-1" into 65535. Blanks around the digits are
// harmless; anything else is refused before a byte goes out.
void checkPortText(const std::string& text) {
    static const char* const blanks = " \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    const auto last = text.find_last_not_of(blanks);
    bool valid = first != std::string::npos;
    unsigned long port = 0;
    for (auto i = first; valid && i <= last; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') valid = false;
        else port = port * 10 + static_cast<unsigned long>(c - '0');
        if (port > 65535) valid = false;  // stops before the count could overflow
    }
    if (valid && port >= 1) return;
    // A hostile answer may hold any length: the message shows enough to
    // recognise the value, never all of it.
    static const std::size_t shownLength = 40;
    std::string shown = quoted(text.substr(0, shownLength));
    if (text.size() > shownLength) shown += "...";
    throw Exception(
        __FILE__, __LINE__, "connect",
        "cannot connect: the server port (\"p1\") " + shown + " is not a number from 1 to 65535; nothing was sent",
        {{"refused setting", "the server port (\"p1\")"}});
}

}  // namespace

WS& WS::queueSingleFile(const std::string& path) {
    if (state != eJobCreated && state != eFileQueue) {
        fail(__LINE__, "queueSingleFile", "cannot queue a file from state " + quoted(to_string(state)));
    }
    control.prepareSingleFile(Local(path));
    state = eFileQueue;
    return *this;
}

WS& WS::queueRecursiveDirectory(const std::string& path, const std::string& remote) {
    if (state != eJobCreated && state != eFileQueue) {
        fail(__LINE__, "queueRecursiveDirectory", "cannot queue a directory from state " + quoted(to_string(state)));
    }
    control.prepareRecursiveDir(Local(path), Remote(remote));
    state = eFileQueue;
    return *this;
}

GlobalStateAndStats WS::uploadQueuedFiles(StatsCallback callback, void* user) {
    static const char* const op = "uploadQueuedFiles";
    if (state != eFileQueue) fail(__LINE__, op, "cannot upload files from state " + quoted(to_string(state)));

    // Engine failures of a guarded step carry the client's diagnostics too;
    // where both know a key, the engine's value stays.
    auto rethrowWith = [this](Exception& e, const std::string& prefix) {
        message = prefix + e.what();
        for (auto& row : get_map()) e.diagnostics.insert(row);
        throw Exception(e);
    };

    try {
        SummaryLog::add("qz::WS: connecting to ftp server");
        // Empty only when no job server answer configured the engine; the
        // engine then checks the port it was given on its own.
        if (!ftpPortText.empty()) checkPortText(ftpPortText);
        control.connect();
        SummaryLog::add("qz::WS: connection to ftp server has been established");
    } catch (Exception& e) {
        rethrowWith(e, "failed to establish a connection to the ftp server: ");
    }

    if (bandwidthMax == 0 || bandwidthStart == 0) {
        std::uint64_t estimate = bps(static_cast<ECommonBandwidth>(18));
        try {
            SummaryLog::add("qz::WS: attempting to perform bandwidth detection between client and the ftp server");
            estimate = control.detectApproximateUploadSpeed(false);
            SummaryLog::add("qz::WS: finished performing bandwidth detection: estimate is " +
                            formatTransferRate(estimate));
        } catch (const std::exception& e) {
            SummaryLog::add(std::string("qz::WS: failed to perform bandwidth detection: ") + e.what());
        }
        if (bandwidthMax == 0) bandwidthMax = estimate * 2;
        if (bandwidthStart == 0) bandwidthStart = estimate / 2;
        if (bandwidthMax < bandwidthStart) bandwidthStart = bandwidthMax / 2;
        options = control.getOptions();
        options.setBandwidth(bandwidthMax, bandwidthStart);
        control.setNewOptions(options);
        SummaryLog::add("qz::WS: max bandwidth is " + formatTransferRate(bandwidthMax) + ", start rate is " +
                        formatTransferRate(bandwidthStart));
    }

    state = eUploading;
    if (callback) control.setStatsCallback(callback, user);

    try {
        SummaryLog::add("qz::WS: number of files to start uploading: " + std::to_string(control.getFileMap().size()));
        control.upload();
        SummaryLog::add("qz::WS: done uploading queued files");
    } catch (Exception& e) {
        rethrowWith(e, "file upload failed: ");
    }

    state = eUploadDone;
    GlobalStateAndStats result = control.getGlobalStateAndStats();
    uploadSummaryLog(result);
    finalizeJob(result);
    state = eFinished;
    return result;
}

}  // namespace qz
