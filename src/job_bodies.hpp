#pragma once
// The request bodies of the job operations that grow with the job, apart
// from the operations themselves so that their cost can be measured alone.

#include <cstdint>
#include <string>

#include "qz/ws.hpp"

namespace qz::detail {

// The transferred files as the finalization reports them, in the engine's
// file order: names joined by "#,#", decimal sizes joined by ",".
struct TransferredFiles {
    std::string names;
    std::string sizes;
    std::uint64_t total = 0;
};

TransferredFiles listTransferredFiles(const GlobalStateAndStats& stats);

// "k=" and the key, then the scrambled lists, total, job and credentials
// ("&tu=" only for a secure job). Scrambles with the client's key.
std::string finalizationBody(WS& client, const TransferredFiles& files);

// "logs=" and the URL encoding of `firstLine` followed by the whole content
// of the file at `logPath` (nothing of it when the file cannot be read). The
// file is encoded piece by piece as it is read, into a body allocated once:
// a log of any size costs its encoded body and one piece, nothing besides.
// A non-empty `lastLine` ends the text, on a line of its own.
std::string summaryLogBody(const std::string& firstLine, const std::string& logPath, const std::string& lastLine = "");

}  // namespace qz::detail
