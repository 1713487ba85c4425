#pragma once
// The engine's own control connections of one controller (see FtpPipeline):
// logged in together at connect, kept for every upload until disconnect.
// libcurl logs each one in and checks the server's certificate; the engine
// speaks on it from then on.
//
//   if (ownConnectionsFit(options)) {
//       PipelinedLogins logins = loginPipelined(options, 3);
//       logins.links.size() + logins.faults.size() == 3
//   }

#include <atomic>
#include <cstddef>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "ftp_control_link.hpp"
#include "qz/options.hpp"

namespace qz {

// The engine's own connections carry the files (pipelined or one command at
// a time, passive or active): control and data are both plain or both
// protected.
bool ownConnectionsFit(const Options& options);

struct PipelinedLogins {
    std::vector<std::unique_ptr<CurlControlLink>> links;
    std::vector<std::string> faults;  // one per connection that could not log in
    bool tls13Only = false;           // the server refused TLS 1.2
};

// One connection logging in on a thread of its own; `link` throws what
// CurlControlLink::login throws. cancel() ends the login soon, so that
// nobody waits long for one that is no longer wanted.
struct PendingLogin {
    std::future<std::unique_ptr<CurlControlLink>> link;
    std::shared_ptr<std::atomic<bool>> cancelled;
    void cancel() const { cancelled->store(true); }
};
PendingLogin loginLater(const Options& options);

// Logs in `count` connections at once.
PipelinedLogins loginPipelined(const Options& options, std::size_t count);

}  // namespace qz
