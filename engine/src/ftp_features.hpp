#pragma once
// What a server's FEAT reply offers, as far as the engine steers by it.
//
//   FtpFeatures f = readFeatures(featReply.lines);   // " EPSV", " HASH SHA-1;SHA-256*", ...
//   f.epsv && f.sha256

#include <string>
#include <vector>

namespace qz {

struct FtpFeatures {
    bool epsv = false;    // extended passive mode
    bool eprt = false;    // extended active mode
    bool sha256 = false;  // HASH with SHA-256
    bool mlsd = false;    // machine-readable listings (MLST, and with it MLSD)
    bool utf8 = false;    // path names in UTF-8
};

// `featLines`: the lines of a 211 reply to FEAT (feature lines begin with a space).
FtpFeatures readFeatures(const std::vector<std::string>& featLines);

}  // namespace qz
