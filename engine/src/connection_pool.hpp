#pragma once
// The controller's connections to its FTP server: logged in together at
// connect and kept until disconnect. An upload carries files over them,
// closes those that broke, and logs fresh ones in on threads of their own;
// logins that an upload leaves under way are kept for the next one, or
// ended at disconnect.
//
//   ConnectionPool pool;
//   pool.open(options);                 // throws LoginError when none logs in
//   for (auto* link : pool.links()) ...
//   pool.close(link);                   // a connection that broke

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "ftp_control_link.hpp"
#include "pipelined_links.hpp"
#include "qz/options.hpp"

namespace qz {

class ConnectionPool {
public:
    ConnectionPool() = default;
    ~ConnectionPool() { closeAll(); }
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // Logs in as many connections as `options` asks for, at once. Throws
    // the first LoginError when none logs in; returns the others' faults
    // (a server that takes fewer connections than asked for).
    std::vector<LoginError> open(const Options& options);
    bool isOpen() const { return open_; }
    // "host:port" of the server, from open on.
    const std::string& server() const { return server_; }
    // As many connections as the server took at open.
    std::size_t taken() const { return taken_; }

    std::vector<CurlControlLink*> links() const;
    CurlControlLink* add(std::unique_ptr<CurlControlLink> link);
    // Closes one connection; the others stay.
    void close(const CurlControlLink* link);

    // Logins an upload left under way: the next one takes them over.
    void keepLogin(PendingLogin login) { loggingIn_.push_back(std::move(login)); }
    std::vector<PendingLogin> takeLogins();

    // Closes every connection and ends the logins under way.
    void closeAll();

private:
    bool open_ = false;
    std::string server_;
    std::size_t taken_ = 0;
    std::vector<std::unique_ptr<CurlControlLink>> links_;
    std::vector<PendingLogin> loggingIn_;
};

}  // namespace qz
