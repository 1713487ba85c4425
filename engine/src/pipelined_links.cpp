#include "pipelined_links.hpp"

#include <future>
#include <mutex>
#include <utility>

namespace qz {

namespace {

FtpLogin loginOf(const Options& options) {
    FtpLogin login;
    login.host = options.host;
    login.port = options.port;
    login.user = options.username;
    login.password = options.password;
    login.tls = options.encryptControl || options.encryptData;
    login.protectData = options.encryptData;
    login.caFile = options.caFile;
    login.replyTimeoutSeconds = options.stallTimeout;
    return login;
}

}  // namespace

PipelineSettings pipelineSettings(const Options& options) {
    return {options.serverHashCheck, static_cast<std::size_t>(options.blockSize), options.pipelining,
            options.connectionMode == EConnectionMode::eActive};
}

std::string loginFailure(const LoginError& e, const std::string& server) {
    if (e.replyCode == 421) return "the server " + server + " is not available (it said: " + e.reply + ")";
    if (e.unheard) return "the server " + server + " closed the connection before it said a word (" + e.cause + ")";
    return e.what();
}

PendingLogin loginLater(const Options& options) {
    // Once per process, before any thread of ours uses libcurl.
    static std::once_flag curlReady;
    std::call_once(curlReady, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
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
        } catch (const LoginError& e) {
            result.faults.push_back(e);
        }
    }
    return result;
}

}  // namespace qz
