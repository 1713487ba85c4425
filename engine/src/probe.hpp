#pragma once
// The line measurement: one upload of NUL bytes from memory over one of the
// controller's connections, until a second or a byte budget is spent; the
// server's count of what it got, over the time the bytes took, is the
// estimate.
//
//   ProbeResult r = sendProbe(link, pipelineSettings(options), ".qz-probe-1", false);
//   if (r.failure.empty()) use(r.bitsPerSecond);
//   if (!r.linkUsable) ...close the link...

#include <cstdint>
#include <string>

#include "ftp_control_link.hpp"
#include "ftp_pipeline.hpp"

namespace qz {

struct ProbeResult {
    std::string failure;    // why no estimate came out, "" when one did
    std::int64_t held = 0;  // bytes the server holds
    std::uint64_t bitsPerSecond = 0;
    bool linkUsable = true;  // false: the connection stopped, or has replies on the way
    // The probe file may be on the server and was not deleted (not asked
    // to keep it): the connection stopped first.
    bool left = false;
    std::string removeRefused;  // the server's reply where it refused to delete it
};

// Sends the probe file `name` and, unless `keep`, deletes it again, also
// after a failed attempt that may have got as far as the server.
ProbeResult sendProbe(ControlLink& link, PipelineSettings settings, const std::string& name, bool keep);

// Deletes the probe file `name` over `link`: "" once the server did, or
// what kept it from doing so.
std::string removeProbe(ControlLink& link, PipelineSettings settings, const std::string& name);

}  // namespace qz
