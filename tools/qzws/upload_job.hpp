#pragma once
// One whole job from the command line: login, job creation, queueing,
// upload, summary log and finalization, each failure told by its stage.

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "progress.hpp"
#include "qz/ws.hpp"

namespace qzcli {

// Exit codes, one per stage that can fail (documented in --help and the README).
enum ExitCode : int {
    eExitOk = 0,
    eExitFailure = 1,  // anything not listed below
    eExitUsage = 2,    // bad arguments, no password
    eExitLogin = 3,    // the job server refused the login or could not be reached
    eExitJobCreation = 4,
    eExitQueue = 5,       // a path that cannot be sent
    eExitConnection = 6,  // the transfer server
    eExitUpload = 7,
    eExitSummaryLog = 8,
    eExitFinalization = 9,
    eExitKeepAlive = 10,
    eExitLogs = 11,          // the log folder or a log file cannot be used
    eExitHangUp = 129,       // SIGHUP: the terminal went away
    eExitInterrupted = 130,  // SIGINT, SIGTERM
};

struct Credentials {
    std::string url;
    std::string user;
    std::string password;
    std::map<std::string, std::string> settings;  // for setX
};

struct JobRequest {
    Credentials login;
    std::string orderForm;
    std::map<std::string, std::string> fields;
    // A folder lands under its own name; one given with a trailing "/" (or
    // as "." or "..") sends its contents. See remoteFolderFor.
    std::vector<std::string> paths;
    qz::EFolderLinks folderLinks = qz::eSkipFolderLinks;
    bool requireVerified = false;  // a file only the transfer reply confirms fails
};

struct Outcome {
    int exitCode = eExitOk;
    std::string stage;  // "" on success, else "login", "job creation", ...
    std::string error;  // one line, without the "qzws: " prefix
    qz::GlobalStateAndStats stats;
};

// Where a folder PATH lands: "a/b" under "b", "a/b/", "." and ".." with
// their contents at the top (".").
std::string remoteFolderFor(const std::string& path);

// Logs in; a refusal, also one without an error, is an Outcome with eExitLogin.
Outcome logIn(qz::WS& ws, const Credentials& login);
// Checks every path with the engine and sets up the engine's logs before
// logging in, so that a path that cannot be sent (eExitQueue) or a log folder
// that cannot be used (eExitLogs) leaves no job on the server; then the whole
// job.
// `jobCreated` runs once the job exists on the server, before any file is sent.
// A finalization that the server did not confirm ("yay", or an XML status of
// success) is a failure of that stage.
Outcome runUpload(qz::WS& ws, const JobRequest& request, ProgressDisplay& progress,
                  const std::function<void()>& jobCreated);
Outcome ping(qz::WS& ws, const Credentials& login);

// The warning for a transfer that the job server's "ftp" element (in the
// creation answer, the client's latest) leaves without TLS, naming a
// "useSSL" value that reads as yes but is not the "true" that switches TLS
// on; "" when TLS is on.
std::string plainTransferWarning(const qz::WS& ws);

// A server's answer for a message: "an empty answer", or "answer " and its
// first bytes in double quotes.
std::string answerShown(const std::string& answer);

// The warnings a finished or failed run leaves: a transfer log the server did
// not confirm, and each engine log that lost lines. One line each, without
// the "qzws: warning: " prefix.
std::vector<std::string> runWarnings(const qz::WS& ws);

// One line per entry the queue skipped: qzws: skipped "PATH": REASON. The
// path is written as a JSON string, so that no byte of it reaches the
// terminal as a control.
std::string skippedLines(const qz::GlobalStateAndStats& stats);
// " (3 through links), 2 skipped" for the summary line; "" when neither.
std::string linkCounts(const qz::GlobalStateAndStats& stats);

// The end-of-run summary: job id, state reached, files, totals, time, rate;
// whether the transfer log is whole ("logComplete") and, once it was sent,
// whether the server confirmed it ("logConfirmed").
// A file name that is not UTF-8 is shown with U+FFFD for each stray byte and
// kept whole, percent-encoded, in "localBytes" / "remoteBytes". Dump it with
// nlohmann::json::error_handler_t::replace, as other texts (an error naming
// such a path) may hold stray bytes too.
nlohmann::json summaryJson(const qz::WS& ws, const Outcome& outcome);

}  // namespace qzcli
