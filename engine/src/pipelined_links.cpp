#include "pipelined_links.hpp"

#include <algorithm>
#include <future>
#include <utility>

#include "qz/exception.hpp"

namespace qz {

bool ownConnectionsFit(const Options& options) { return options.encryptData || !options.encryptControl; }

namespace {

FtpLogin loginOf(const Options& options) {
    FtpLogin login;
    login.host = options.host;
    login.port = options.port;
    login.user = options.username;
    login.password = options.password;
    login.tls = options.encryptData;
    login.caFile = options.caFile;
    login.replyTimeoutSeconds = std::max(options.stallTimeout, 1);
    return login;
}

}  // namespace

PendingLogin loginLater(const Options& options) {
    FtpLogin login = loginOf(options);
    login.cancelled = std::make_shared<std::atomic<bool>>(false);
    PendingLogin pending{{}, login.cancelled};
    pending.link = std::async(std::launch::async, [login] { return CurlControlLink::login(login); });
    return pending;
}

PipelinedLogins loginPipelined(const Options& options, std::size_t count) {
    // Each login waits for several round trips: together they take as long as one.
    std::vector<std::future<std::unique_ptr<CurlControlLink>>> pending;
    pending.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        pending.push_back(loginLater(options).link);
    }
    PipelinedLogins result;
    for (auto& p : pending) {
        try {
            result.links.push_back(p.get());
            if (result.links.back()->tls13Only()) result.tls13Only = true;
        } catch (const std::exception& e) {
            result.faults.emplace_back(e.what());
        }
    }
    return result;
}

}  // namespace qz
