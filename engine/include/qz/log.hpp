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
// else in the system's temporary folder, under names that carry the process
// id: "qz-summary-PID.log" and "qz-exceptions-PID.log". They are created
// readable and writable by their owner only. All functions are thread-safe.

#include <string>

namespace qz {

class Options;

class SummaryLog {
public:
    // Appends one line. Always writes, whether engine logging is on or not.
    static void add(const std::string& line);
    // Empties the file (creates it when missing).
    static void truncateLogFile();
    static std::string getLogFilename();
};

class Logging {
public:
    enum class EType : int {
        eErrors = 1,      // engine errors go to the exception log
        eWarnings = 2,    // retries and recoveries go to the summary log
        eSummary = 3,     // connections, totals and rate changes go to the summary log
        eTransfers = 4,   // one line per file result goes to the summary log
    };
    // Switches one kind of engine log line on. The options describe the
    // transfer being logged; a non-empty text is added to the summary log.
    static void enable(EType type, const Options& options, const std::string& text);
    static void disable(EType type);
    static bool isEnabled(EType type);
};

}  // namespace qz
