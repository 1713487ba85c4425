#pragma once
// The control connections of one controller (see FtpPipeline): logged in
// together at connect, kept for every upload until disconnect; an upload
// logs fresh ones in for those that broke. libcurl logs each one in and
// checks the server's certificate; the engine speaks on it from then on.
//
//   PipelinedLogins logins = loginPipelined(options, 3);
//   logins.links.size() + logins.faults.size() == 3
//
// `options` are taken within their ranges (Options::normalized()), as a
// controller holds them.

#include <atomic>
#include <cstddef>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "ftp_control_link.hpp"
#include "ftp_pipeline.hpp"
#include "qz/options.hpp"

namespace qz {

struct PipelinedLogins {
    std::vector<std::unique_ptr<CurlControlLink>> links;
    std::vector<LoginError> faults;  // one per connection that could not log in
};

// One connection logging in on a thread of its own; `link` throws
// LoginError. cancel() ends the login soon, so that nobody waits long for
// one that is no longer wanted.
struct PendingLogin {
    std::future<std::unique_ptr<CurlControlLink>> link;
    std::shared_ptr<std::atomic<bool>> cancelled;
    void cancel() const { cancelled->store(true); }
};
PendingLogin loginLater(const Options& options);

// How the connections carry files under `options`.
PipelineSettings pipelineSettings(const Options& options);

// Why a login to `server` failed, for the log: a server that is away (421)
// or closed the connection unheard is said to be so.
std::string loginFailure(const LoginError& e, const std::string& server);

// Logs in `count` connections at once.
PipelinedLogins loginPipelined(const Options& options, std::size_t count);

}  // namespace qz
