#pragma once
// Remote names: how they split into folders, how they are written in FTP
// commands, and which names the engine refuses to send at all.

#include <string>
#include <string_view>
#include <vector>

namespace qz {

// Splits a remote name into its path components, dropping empty and "."
// parts; `absolute` tells whether it began with "/".
std::vector<std::string> remoteComponents(const std::string& remote, bool& absolute);
// The name as sent in FTP commands: components joined by "/".
std::string remoteCommandPath(const std::string& remote);

// Every folder that the files and folders need on the server, parents before
// children: the folders each file goes into, and each folder with its parents.
//
//   foldersToCreate({"a/b/c.txt"}, {"d"}) == {"a", "a/b", "d"}
// The files' names are only looked at: a queue may hold 100,000 of them.
std::vector<std::string> foldersToCreate(const std::vector<std::string_view>& files,
                                         const std::vector<std::string>& folders);

// Why a remote name cannot be sent and reported, or "" when it can: every
// name ends up in an FTP command and in the job's finalization, whose name
// list is joined by "#,#". Refused: control bytes (below 0x20, and 0x7F),
// names the list could not split back ("#,#" inside, or "#," at the end),
// names that are not valid UTF-8, ".." components, which would leave the
// transfer folder, and names without any component.
//
//   remoteNameProblem("run 1/a.txt")  == ""
//   remoteNameProblem("a\tb")         == "holds the control byte 0x09"
std::string remoteNameProblem(const std::string& remote);

// Whether text can go into an FTP command: a CR or LF would end the command
// and begin another of the text's choosing, a NUL byte would cut it short.
bool fitsInCommand(const std::string& text);

}  // namespace qz
