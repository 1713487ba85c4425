#pragma once
// A scriptable HTTP server on 127.0.0.1 for protocol tests: it answers with
// the replies it is given, in order, and records every request it receives.
//
//   qztest::ScriptServer server;
//   server.reply({200, "yay\r\n"});
//   ws.doNothing();
//   server.requests().at(0).method == "GET"

#include <httplib.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qztest {

struct Reply {
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

struct Seen {
    std::string method;
    std::string target;  // path and query, as sent
    std::string body;
    std::string cookie;
    std::string userAgent;
    std::string contentType;
    bool hasUserAgent = false;
};

class ScriptServer {
public:
    ScriptServer() {
        auto handle = [this](const httplib::Request& req, const std::string& body, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(mutex_);
            Seen seen{req.method,
                      req.target,
                      body,
                      req.get_header_value("Cookie"),
                      req.get_header_value("User-Agent"),
                      req.get_header_value("Content-Type"),
                      req.has_header("User-Agent")};
            seen_.push_back(std::move(seen));
            Reply reply = replies_.empty() ? Reply{404, "no scripted reply", {}} : replies_.front();
            if (!replies_.empty()) replies_.pop_front();
            res.status = reply.status;
            for (const auto& [k, v] : reply.headers) res.set_header(k, v);
            res.set_content(reply.body, "text/plain");
        };
        server_.set_payload_max_length(std::size_t(1) << 30);
        server_.Get(".*", [handle](const httplib::Request& req, httplib::Response& res) { handle(req, "", res); });
        // Reading the body through a content reader: the library refuses form
        // bodies over 8 KiB otherwise, and clients send far bigger ones.
        server_.Post(".*",
                     [handle](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& read) {
                         std::string body;
                         read([&](const char* data, std::size_t size) {
                             body.append(data, size);
                             return true;
                         });
                         handle(req, body, res);
                     });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~ScriptServer() {
        server_.stop();
        thread_.join();
    }
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    // "http://127.0.0.1:PORT/"
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    int port() const { return port_; }

    void reply(Reply r) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_.push_back(std::move(r));
    }
    std::vector<Seen> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::deque<Reply> replies_;
    std::vector<Seen> seen_;
};

}  // namespace qztest
