#include "upload_job.hpp"

#include <curlpp/Exception.hpp>
#include <libxml/parser.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "qz/exception.hpp"
#include "qz/log.hpp"
#include "qz/strings.hpp"
#include "qz/xml.hpp"

namespace qzcli {

namespace {

Outcome failed(int code, std::string stage, std::string error) {
    Outcome o;
    o.exitCode = code;
    o.stage = std::move(stage);
    o.error = std::move(error);
    return o;
}

// The server's own words when its last answer carried a status comment,
// else the error's text.
std::string serverWords(const qz::WS& ws, const std::exception& e) {
    if (!ws.xmlResponse.empty()) {
        xmlDoc* doc = xmlParseDoc(reinterpret_cast<const xmlChar*>(ws.xmlResponse.c_str()));
        auto status = qz::findAnyNodeAndGetAttribs(doc, "status");
        xmlFreeDoc(doc);
        auto comments = status.find("comments");
        if (comments != status.end() && !comments->second.empty()) return "\"" + comments->second + "\"";
    }
    return e.what();
}

// Runs `step`; a failure becomes an Outcome of that stage. A network failure
// says which server could not be reached.
template <typename Step>
Outcome guarded(qz::WS& ws, int code, const std::string& stage, const std::string& what, Step&& step) {
    try {
        step();
        return {};
    } catch (const curlpp::RuntimeError& e) {
        return failed(code, stage, "cannot reach " + ws.recentUrl + ": " + e.what());
    } catch (const std::exception& e) {
        return failed(code, stage, what + ": " + serverWords(ws, e));
    }
}

// How the command hands each PATH on: a folder as its whole tree, anything
// else as one file. The first failure names its path.
template <typename QueueFile, typename QueueFolder>
Outcome queuePaths(qz::WS& ws, const std::vector<std::string>& paths, QueueFile&& queueFile,
                   QueueFolder&& queueFolder) {
    for (const auto& path : paths) {
        Outcome o = guarded(ws, eExitQueue, "queue", "cannot send \"" + path + "\"", [&] {
            std::error_code ec;
            if (std::filesystem::is_directory(path, ec)) {
                queueFolder(path, remoteFolderFor(path));
            } else {
                queueFile(path);
            }
        });
        if (o.exitCode != eExitOk) return o;
    }
    return {};
}

// JSON strings must be UTF-8. A name that is not shows each stray byte as
// U+FFFD and is kept whole, percent-encoded, under key + "Bytes".
void addName(nlohmann::json& entry, const std::string& key, const std::string& name) {
    entry[key] = name;
    try {
        (void)entry[key].dump();
    } catch (const nlohmann::json::type_error&) {
        entry[key + "Bytes"] = url_encode(name);
    }
}

}  // namespace

std::string remoteFolderFor(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    return name.empty() || name == "." || name == ".." ? "." : name;
}

Outcome logIn(qz::WS& ws, const Credentials& login) {
    ws.setX(login.settings);
    Outcome o = guarded(ws, eExitLogin, "login", "login refused by " + login.url,
                        [&] { ws.login(login.url, login.user, login.password); });
    // Without an answer the server refused nothing: the client stopped
    // before sending (a cookie file it cannot use, among others).
    if (o.exitCode != eExitOk && ws.httpResponseCode < 0 && o.error.rfind("cannot reach ", 0) != 0) {
        o.error = "cannot log in to " + login.url + ": " + ws.message;
    }
    if (o.exitCode != eExitOk) return o;
    if (ws.get_state() != qz::WS::eLoginDone) {
        return failed(eExitLogin, "login", "login refused by " + login.url + ": the server did not report success");
    }
    return o;
}

Outcome runUpload(qz::WS& ws, const JobRequest& request, ProgressDisplay& progress,
                  const std::function<void()>& jobCreated) {
    // The engine checks every path on a queue of its own first, so that a
    // path that cannot be sent fails before the job exists on the server.
    qz::Control check{qz::Options()};
    check.setFolderLinks(request.folderLinks);
    Outcome o = queuePaths(
        ws, request.paths, [&](const std::string& path) { check.prepareSingleFile(qz::Local(path)); },
        [&](const std::string& path, const std::string& remote) {
            check.prepareRecursiveDir(qz::Local(path), qz::Remote(remote));
        });
    if (o.exitCode != eExitOk) return o;
    // Job creation opens the logs too, but only once the job exists on the
    // server: a folder that cannot be used would leave it behind.
    o = guarded(ws, eExitLogs, "logs", "cannot use the engine's logs", [] {
        qz::Exception::createLogFile(true);
        qz::SummaryLog::truncateLogFile();
    });
    if (o.exitCode != eExitOk) return o;

    o = logIn(ws, request.login);
    if (o.exitCode != eExitOk) return o;
    o = guarded(ws, eExitJobCreation, "job creation",
                "job creation with order form \"" + request.orderForm + "\" failed",
                [&] { ws.createJob(request.orderForm, request.fields); });
    if (o.exitCode != eExitOk) return o;
    jobCreated();
    ws.control.setFolderLinks(request.folderLinks);
    ws.control.setRequireVerified(request.requireVerified);
    o = queuePaths(
        ws, request.paths, [&](const std::string& path) { ws.queueSingleFile(path); },
        [&](const std::string& path, const std::string& remote) { ws.queueRecursiveDirectory(path, remote); });
    if (o.exitCode != eExitOk) return o;

    qz::GlobalStateAndStats stats;
    try {
        stats = ws.uploadQueuedFiles(&ProgressDisplay::onStats, &progress);
        progress.finish();
    } catch (const std::exception& e) {
        progress.finish();
        // Where the run stopped tells which stage failed.
        switch (ws.get_state()) {
            case qz::WS::eFileQueue:
                o = failed(eExitConnection, "connection",
                           std::string("cannot connect to the transfer server: ") + e.what());
                break;
            case qz::WS::eUploading:
                o = failed(eExitUpload, "upload", std::string("upload failed: ") + e.what());
                break;
            case qz::WS::eUploadDone:
                o = failed(eExitSummaryLog, "summary log", "sending the transfer log failed: " + serverWords(ws, e));
                break;
            case qz::WS::eLogDone:
                o = failed(eExitFinalization, "finalization",
                           "finalizing job " + ws.jobId + " failed: " + serverWords(ws, e));
                break;
            default: o = failed(eExitFailure, "upload", e.what());
        }
        o.stats = ws.control.getGlobalStateAndStats();
        return o;
    }
    o.stats = stats;
    // The library counts any answer without an error as done; an empty
    // page or one that says nothing would then pass for a finished job.
    if (!ws.successFlag) {
        o.exitCode = eExitFinalization;
        o.stage = "finalization";
        o.error = "the job server did not confirm the finalization of job " + ws.jobId + ": " +
                  answerShown(ws.rawResponse);
    }
    return o;
}

Outcome ping(qz::WS& ws, const Credentials& login) {
    Outcome o = logIn(ws, login);
    if (o.exitCode != eExitOk) return o;
    return guarded(ws, eExitKeepAlive, "keep-alive", "keep-alive request to " + login.url + " failed",
                   [&] { ws.doNothing(); });
}

std::string plainTransferWarning(const qz::WS& ws) {
    std::map<std::string, std::string> ftp;
    if (xmlDoc* doc = xmlParseDoc(reinterpret_cast<const xmlChar*>(ws.xmlResponse.c_str()))) {
        ftp = qz::findAnyNodeAndGetAttribs(doc, "ftp");
        xmlFreeDoc(doc);
    }
    const auto useSsl = ftp.find("useSSL");
    // The library switches TLS on for "true" alone.
    if (useSsl != ftp.end() && useSsl->second == "true") return "";
    std::string why = "the job server did not ask for TLS";
    if (useSsl != ftp.end()) {
        std::string value = useSsl->second;
        const auto first = value.find_first_not_of(" \t\r\n");
        value = first == std::string::npos ? "" : value.substr(first, value.find_last_not_of(" \t\r\n") - first + 1);
        for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (value == "true" || value == "yes" || value == "1" || value == "on") {
            why = "the job server's \"useSSL\" is \"" + useSsl->second + "\", and only \"true\" switches TLS on";
        }
    }
    const auto host = ftp.find("s");
    return "the transfer to " + (host == ftp.end() ? std::string("the transfer server") : host->second) +
           " runs without TLS (" + why +
           "): the transfer password and the files travel in clear; --no-plain-ftp-warning silences this";
}

std::string answerShown(const std::string& answer) {
    static const std::size_t shownBytes = 60;
    if (answer.empty()) return "an empty answer";
    return "answer \"" + answer.substr(0, shownBytes) + (answer.size() > shownBytes ? "\"..." : "\"");
}

std::vector<std::string> runWarnings(const qz::WS& ws) {
    std::vector<std::string> warnings;
    if (ws.get_state() >= qz::WS::eLogDone && !ws.summaryLogSuccess) {
        warnings.push_back("the job server did not confirm the transfer log: " + answerShown(ws.summaryLogResponse));
    }
    // Before the job the logs are only checked; a refusal there ends the run.
    if (ws.get_state() < qz::WS::eJobCreated) return warnings;
    for (const auto& [path, why] : qz::logWriteFailures()) {
        warnings.push_back("the engine's log \"" + path + "\" is incomplete: " + why);
    }
    const auto& files = ws.control.getFileMap();
    const auto unverified = std::count_if(files.begin(), files.end(), [](const auto& file) {
        return file.second.result == qz::EFileResult::eDone &&
               file.second.verifiedBy == qz::EVerifiedBy::eTransferReply;
    });
    if (unverified > 0) {
        warnings.push_back(std::to_string(unverified) + " of " + std::to_string(files.size()) +
                           " files are confirmed only by the server's transfer reply: it gave neither their size "
                           "nor their SHA-256, and no listing showed their size (--require-verified fails them)");
    }
    return warnings;
}

std::string skippedLines(const qz::GlobalStateAndStats& stats) {
    std::string lines;
    for (const auto& entry : stats.skipped) {
        lines += "qzws: skipped " +
                 nlohmann::json(entry.local).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + ": " +
                 entry.reason + "\n";
    }
    return lines;
}

std::string linkCounts(const qz::GlobalStateAndStats& stats) {
    std::size_t viaLink = 0;
    for (const auto& [number, file] : stats.fileMap) viaLink += file.viaLink;
    std::string text;
    if (viaLink) text += " (" + std::to_string(viaLink) + " through links)";
    if (!stats.skipped.empty()) text += ", " + std::to_string(stats.skipped.size()) + " skipped";
    return text;
}

nlohmann::json summaryJson(const qz::WS& ws, const Outcome& outcome) {
    const auto& s = outcome.stats;
    nlohmann::json files = nlohmann::json::array();
    for (const auto& [number, file] : s.fileMap) {
        nlohmann::json entry = {
            {"size", file.fileSize},
            {"bytesSent", file.bytesSent},
            {"result", qz::to_string(file.result)},
            {"viaLink", file.viaLink},
            {"sha256", file.sha256},
            {"verifiedByHash", file.verifiedByHash},
            {"verifiedBy", file.verifiedBy == qz::EVerifiedBy::eNone ? nlohmann::json()
                                                                     : nlohmann::json(qz::to_string(file.verifiedBy))}};
        addName(entry, "local", file.local.full());
        addName(entry, "remote", file.remote.full());
        files.push_back(std::move(entry));
    }
    nlohmann::json skipped = nlohmann::json::array();
    for (const auto& entry : s.skipped) skipped.push_back({{"local", entry.local}, {"reason", entry.reason}});
    nlohmann::json j = {
        {"jobId", ws.jobId},
        {"state", qz::to_string(ws.get_state())},
        {"ok", outcome.exitCode == eExitOk},
        {"files", files},
        {"skipped", skipped},
        {"filesDone", s.filesDone},
        {"filesTotal", s.filesTotal},
        {"bytesTransferred", s.totalBytesTransferred},
        {"bytesTotal", s.totalBytes},
        {"elapsedSeconds", s.elapsedSeconds},
        {"averageRateBitsPerSecond",
         s.elapsedSeconds > 0
             ? static_cast<std::uint64_t>(static_cast<double>(s.totalBytesTransferred) * 8 / s.elapsedSeconds)
             : 0},
    };
    j["logComplete"] = qz::SummaryLog::whyIncomplete().empty();
    if (ws.get_state() >= qz::WS::eLogDone) j["logConfirmed"] = ws.summaryLogSuccess;
    if (outcome.exitCode != eExitOk) {
        j["stage"] = outcome.stage;
        j["error"] = outcome.error;
        j["exitCode"] = outcome.exitCode;
    }
    return j;
}

}  // namespace qzcli
