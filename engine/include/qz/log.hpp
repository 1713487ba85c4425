#pragma once
// The engine's logs. The summary log is a plain text file, one line per
// event, that tells the story of a transfer; the client sends it to the job
// server. Lines are written as given, each ended by a line feed.
//
//   qz::SummaryLog::truncateLogFile();
//   qz::SummaryLog::add("qz::WS: connecting to ftp server");
//   std::ifstream in(qz::SummaryLog::getLogFilename());
//
// Both logs live in the folder named by the environment variable QZ_LOG_DIR,
// else in $XDG_RUNTIME_DIR/qzws (when that folder is the user's), else in
// "qzws-UID" in the temporary folder (created 0700 when missing). The folder
// must be a real folder of this user closed to everyone else: QZ_LOG_DIR is
// refused otherwise, while for the default one a fresh private folder
// "qzws-UID-XXXXXX" in the temporary folder stands in (removed at exit by the
// process that made it, when empty). The logs carry the process id:
// "qz-summary-PID.log" and "qz-exceptions-PID.log". They are created 0600,
// never through a link, and never into a file of another user or one that
// others can read. A process removes its logs when it exits, unless
// QZ_KEEP_LOGS is set (and not "0"); the logs of processes that are gone are
// removed the next time a process uses the folder. All functions are
// thread-safe.

#include <map>
#include <string>
#include <vector>

namespace qz {

class Options;

class SummaryLog {
public:
    // Appends one line. Always writes, whether engine logging is on or not;
    // a line that cannot be written is lost (logWriteFailures tells why).
    static void add(const std::string& line);
    // Empties the file (creates it when missing). Throws qz::Exception
    // (operation "log") naming the folder or file when it is refused.
    static void truncateLogFile();
    static std::string getLogFilename();
    // Why this log lost lines since it was last emptied ("cannot be written:
    // No space left on device"), its own or its folder's entry of
    // logWriteFailures; "" while it is whole.
    static std::string whyIncomplete();
};

// What this process removes at exit: its two logs and, last, the folder made
// for them when the default one could not be used (remove it only after the
// logs; it is left when not empty). Empty when QZ_KEEP_LOGS keeps the logs.
// For a signal handler that leaves with _exit(), which skips the removal at
// exit: take the list before installing the handler.
std::vector<std::string> logPathsRemovedAtExit();

// The logs that lost lines, each with the reason of its first lost line: a
// write that failed (a full disk, an I/O error, a refused folder or file) or
// the file removed while in use. A log emptied by truncateLogFile starts
// whole again. Keys are paths as getLogFilename gives them (or the folder's
// path when the folder was refused); empty while every line arrived.
std::map<std::string, std::string> logWriteFailures();

class Logging {
public:
    enum class EType : int {
        eErrors = 1,     // engine errors go to the exception log
        eWarnings = 2,   // retries and recoveries go to the summary log
        eSummary = 3,    // connections, totals and rate changes go to the summary log
        eTransfers = 4,  // one line per file result goes to the summary log
    };
    // Switches one kind of engine log line on. The options describe the
    // transfer being logged; a non-empty text is added to the summary log.
    static void enable(EType type, const Options& options, const std::string& text);
    static void disable(EType type);
    static bool isEnabled(EType type);
};

}  // namespace qz
