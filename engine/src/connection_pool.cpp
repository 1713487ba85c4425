#include "connection_pool.hpp"

#include <algorithm>
#include <utility>

#include "connection_values.hpp"

namespace qz {

std::vector<LoginError> ConnectionPool::open(const Options& options) {
    PipelinedLogins logins = loginPipelined(options, static_cast<std::size_t>(options.effectiveConnections()));
    if (logins.links.empty()) throw logins.faults.front();
    closeAll();
    links_ = std::move(logins.links);
    taken_ = links_.size();
    server_ = serverText(options.host, options.port);
    open_ = true;
    return std::move(logins.faults);
}

std::vector<CurlControlLink*> ConnectionPool::links() const {
    std::vector<CurlControlLink*> all;
    for (const auto& link : links_) all.push_back(link.get());
    return all;
}

CurlControlLink* ConnectionPool::add(std::unique_ptr<CurlControlLink> link) {
    links_.push_back(std::move(link));
    return links_.back().get();
}

void ConnectionPool::close(const CurlControlLink* link) {
    links_.erase(std::remove_if(links_.begin(), links_.end(), [link](const auto& l) { return l.get() == link; }),
                 links_.end());
}

std::vector<PendingLogin> ConnectionPool::takeLogins() { return std::exchange(loggingIn_, {}); }

void ConnectionPool::closeAll() {
    // Cancelled, a login ends within a moment, which its future waits for.
    for (const PendingLogin& login : loggingIn_) login.cancel();
    loggingIn_.clear();
    links_.clear();
    open_ = false;
}

}  // namespace qz
