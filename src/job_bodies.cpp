#include "job_bodies.hpp"

#include <fstream>
#include <vector>

#include "url_encoding.hpp"

namespace qz::detail {

// Appends in place: the lists of a job with many files are long, and each
// file must cost the same whatever came before it.
TransferredFiles listTransferredFiles(const GlobalStateAndStats& stats) {
    TransferredFiles files;
    for (const auto& [number, file] : stats.fileMap) {
        if (!files.sizes.empty()) {
            files.sizes += ',';
            files.names += "#,#";
        }
        files.sizes += std::to_string(file.fileSize);
        files.total += file.fileSize;
        files.names += file.remote.full();
    }
    return files;
}

std::string finalizationBody(WS& client, const TransferredFiles& files) {
    const std::string names = client.encrypt(files.names);
    const std::string sizes = client.encrypt(files.sizes);
    const std::string yes = client.encrypt("true");
    const std::string no = client.encrypt("false");
    const std::string total = client.encrypt(std::to_string(files.total));
    const std::string job = client.encrypt(client.jobId);
    const std::string user = client.encrypt(client.loginUsername);
    const std::string pass = client.encrypt(client.loginPassword);
    const std::string ftpUser = client.secure ? client.encrypt(client.ftpUsername) : std::string();

    std::string body;
    body.reserve(client.encryptionKey.size() + names.size() + sizes.size() + yes.size() * 2 + no.size() + total.size() +
                 job.size() + user.size() + pass.size() + ftpUser.size() + 80);
    body.append("k=").append(client.encryptionKey);
    body.append("&f=").append(names);
    body.append("&s=").append(sizes);
    body.append("&c=").append(yes);
    body.append("&totalSize=").append(total);
    body.append("&jobid=").append(job);
    body.append("&isCancelled=").append(no);
    body.append("&markJob=").append(yes);
    body.append("&username=").append(user);
    body.append("&pass=").append(pass);
    if (client.secure) body.append("&tu=").append(ftpUser);
    return body;
}

std::string summaryLogBody(const std::string& firstLine, const std::string& logPath, const std::string& lastLine) {
    constexpr std::size_t kPiece = 1 << 20;
    std::vector<char> piece(kPiece);
    std::ifstream file(logPath, std::ios::binary);
    auto readPiece = [&file, &piece] {
        file.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        return static_cast<std::size_t>(file.gcount());
    };

    // A first pass finds the encoded length, so that the body is not
    // reallocated (and for a moment held twice) as it grows.
    std::size_t encoded = urlEncodedSize(firstLine.data(), firstLine.size()) + 3;
    encoded += urlEncodedSize(lastLine.data(), lastLine.size());
    if (file) {
        for (std::size_t n = readPiece(); n > 0; n = readPiece()) encoded += urlEncodedSize(piece.data(), n);
        file.clear();
        file.seekg(0);
    }

    std::string body = "logs=";
    body.reserve(body.size() + encoded);
    appendUrlEncoded(body, firstLine.data(), firstLine.size());
    char lastByte = '\n';
    if (file) {
        for (std::size_t n = readPiece(); n > 0; n = readPiece()) {
            appendUrlEncoded(body, piece.data(), n);
            lastByte = piece[n - 1];
        }
    }
    if (!lastLine.empty()) {
        // A write cut short leaves half a line behind.
        if (lastByte != '\n') appendUrlEncoded(body, "\n", 1);
        appendUrlEncoded(body, lastLine.data(), lastLine.size());
    }
    return body;
}

}  // namespace qz::detail
