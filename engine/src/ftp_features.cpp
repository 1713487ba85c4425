#include "ftp_features.hpp"

#include <cctype>

#include "server_hash.hpp"

namespace qz {

namespace {

// The feature's name: the first word of a feature line, in capitals.
std::string featureName(const std::string& line) {
    std::string name;
    for (std::size_t i = 1; i < line.size() && line[i] != ' '; ++i) {
        name += static_cast<char>(std::toupper(static_cast<unsigned char>(line[i])));
    }
    return name;
}

}  // namespace

FtpFeatures readFeatures(const std::vector<std::string>& featLines) {
    FtpFeatures features;
    features.sha256 = offersSha256(featLines);
    for (const std::string& line : featLines) {
        if (line.size() < 2 || line[0] != ' ') continue;
        const std::string name = featureName(line);
        if (name == "EPSV") features.epsv = true;
        if (name == "EPRT") features.eprt = true;
        if (name == "MLST") features.mlsd = true;
        if (name == "UTF8") features.utf8 = true;
    }
    return features;
}

}  // namespace qz
