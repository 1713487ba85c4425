#pragma once
// Checks the files that a finalization reports against the transfer server's
// folder on this machine.
//
// The client scrambles the joined name list, and the scrambling cannot give
// back a space, a quote or a non-ASCII byte. So a name is found on disk in
// two ways: by its de-scrambled text, or else by scrambling each entry of the
// folder at the name's position and comparing it with what was received.
//
//   std::vector<jobserver::ReportedFile> files = ...;   // name, size, scrambled name, offset
//   std::vector<std::string> problems = jobserver::checkFilesOnDisk("/srv/ftp/u", key, files);

#include <cstdint>
#include <string>
#include <vector>

namespace jobserver {

struct ReportedFileName {
    std::string name;        // de-scrambled; replaced by the name found on disk
    std::string scrambled;   // the same bytes as received, before de-scrambling
    std::size_t offset = 0;  // position of the name in the scrambled list
    std::uint64_t size = 0;
};

// Names are relative to `root` ("./a", "/a" and "a" are the same file); a
// name that leads out of it is refused. Returns one text per problem: a
// missing file, a size that differs, a name that escapes the root.
std::vector<std::string> checkFilesOnDisk(const std::string& root, const std::string& key,
                                          std::vector<ReportedFileName>& files);

}  // namespace jobserver
