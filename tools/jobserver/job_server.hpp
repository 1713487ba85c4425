#pragma once
// The job protocol's server side: login, job creation, keep-alive, summary
// log upload, finalization, and an admin page listing every job as JSON.
//
//   httplib::Server http;
//   jobserver::JobServer jobs(jobserver::loadConfigFile("jobserver.json"));
//   jobs.install(http, &std::cerr);   // routes, limits and a log line per request
//   http.listen("127.0.0.1", 8080);
//
// Answers are XML documents with a "status" element; a refused request gets
// success="false" and a comments attribute that says why. Requests the
// protocol cannot make sense of (missing fields, bad escapes) are answered
// with HTTP 400, unknown pages with 404, bodies over the limit with 413.

#include <httplib.h>

#include <mutex>
#include <optional>
#include <ostream>
#include <string>

#include "config.hpp"
#include "job_store.hpp"

namespace jobserver {

// The cookie that carries the login session.
inline constexpr const char* kSessionCookie = "QZWS_SESSION";

class JobServer {
public:
    explicit JobServer(Config config);

    // Registers the pages on `server`. When `log` is given, one line per
    // request ("POST /createPickupJob.do 200") is written to it.
    void install(httplib::Server& server, std::ostream* log = nullptr);

    const JobStore& store() const { return store_; }

private:
    void login(const httplib::Request& req, httplib::Response& res);
    void createJob(const httplib::Request& req, httplib::Response& res);
    void keepAlive(const httplib::Request& req, httplib::Response& res);
    void summaryLog(const httplib::Request& req, httplib::Response& res);
    void finalize(const httplib::Request& req, httplib::Response& res);
    void adminJobs(const httplib::Request& req, httplib::Response& res);

    // The session's user; otherwise answers the refusal and gives none.
    std::optional<std::string> requireSession(const httplib::Request& req, httplib::Response& res) const;
    const User* matchCredentials(const std::string& key, const std::string& user, const std::string& password) const;

    Config config_;
    JobStore store_;
    std::mutex logMutex_;
};

}  // namespace jobserver
