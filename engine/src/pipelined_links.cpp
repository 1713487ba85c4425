#include "pipelined_links.hpp"

#include <future>
#include <utility>

#include "qz/exception.hpp"

namespace qz {

bool pipeliningFits(const Options& options) {
    return options.pipelining && options.connectionMode == EConnectionMode::ePassive &&
           (options.encryptData || !options.encryptControl);
}

PipelinedLogins loginPipelined(const Options& options, std::size_t count) {
    FtpLogin login;
    login.host = options.host;
    login.port = options.port;
    login.user = options.username;
    login.password = options.password;
    login.tls = options.encryptData;
    login.caFile = options.caFile;
    login.replyTimeoutSeconds = std::max(options.stallTimeout, 1);
    // Each login waits for several round trips: together they take as long as one.
    std::vector<std::future<std::unique_ptr<CurlControlLink>>> pending;
    pending.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        pending.push_back(std::async(std::launch::async, [login] { return CurlControlLink::login(login); }));
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
