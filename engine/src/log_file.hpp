#pragma once
// Private helpers of the engine's log files. The logs tell which files went
// where and when, so they live in a folder that only their owner can enter
// and are never written through a link or into a file someone else made.

#include <map>
#include <string>
#include <vector>

namespace qz::detail {

// The folder for the engine's logs: QZ_LOG_DIR, else $XDG_RUNTIME_DIR/qzws
// when that folder is the user's, else "qzws-UID" in the temporary folder.
// When that default folder cannot be used (a link, another user's, open to
// others) a private "qzws-UID-XXXXXX" made in the temporary folder stands in
// for it, and is removed at exit.
std::string logDirectory();

// The logs of this process and, last, the folder made for them when the
// default one could not be used: what exit removes. Empty when QZ_KEEP_LOGS
// keeps them.
std::vector<std::string> pathsRemovedAtExit();

// Path of the log `kind` ("summary", "exceptions") of this process:
// logDirectory() + "/qz-" + kind + "-" + PID + ".log".
std::string logFilePath(const std::string& kind);

enum class EWrite { eAppend, eTruncate };

// Appends `text` to (or empties) the log `kind` of this process. The folder
// is created 0700 when missing and must be a real folder of this user closed
// to everyone else; the file is created 0600 and must be a regular file of
// this user that only they can read. Links are never followed. Throws
// qz::Exception (operation "log") naming the folder or file that is refused.
//
// Files created here are removed when the process exits unless QZ_KEEP_LOGS
// is set (and not "0"); logs that dead processes left behind in the folder
// are removed when the folder is first used.
void writeLog(const std::string& kind, EWrite how, const std::string& text);

// Path of each log (or log folder) that lost a line -> the first reason: a
// refused write, or the file found replaced by another since the last one.
// Emptying a log with writeLog clears its entry and its folder's.
std::map<std::string, std::string> lostLines();

}  // namespace qz::detail
