#pragma once
// The server's memory: login sessions and jobs. Shared by the request
// threads, so every access goes through one lock.
//
//   jobserver::JobStore store;
//   std::string session = store.openSession("alice");
//   std::string id = store.createJob(job);   // user, order form, fields, ...
//   store.update(id, [](jobserver::Job& job) { job.logText = "..."; });

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config.hpp"

namespace jobserver {

enum class EJobState { eCreated, eLogReceived, eFinalized, eFinalizeFailed };

// "created", "log received", "finalized", "finalize failed".
const char* to_string(EJobState state);

struct ReportedFile {
    std::string name;
    std::uint64_t size = 0;
};

struct Finalization {
    bool success = false;
    std::string comments;
    std::string complete;      // the "c" field
    std::string cancelled;     // "isCancelled"
    std::string markJob;       // "markJob"
    std::string transferUser;  // "tu", sent for secure jobs only
};

struct Job {
    std::string id;
    std::string user;
    OrderForm orderForm;
    std::map<std::string, std::string> fields;
    // The fields as received (URL-decoded, still scrambled) and the key of
    // the creation request: the shift cannot give back spaces, quotes or
    // non-ASCII bytes, but scrambling an expected value with this key must
    // give exactly what was received.
    std::map<std::string, std::string> scrambledFields;
    std::string creationKey;
    bool secure = false;
    EJobState state = EJobState::eCreated;
    std::string logText;
    unsigned logUploads = 0;
    std::vector<ReportedFile> files;
    std::uint64_t totalSize = 0;
    std::optional<Finalization> finalization;
};

class JobStore {
public:
    // A new random session token for the user.
    std::string openSession(const std::string& user);
    // The user of a session token, if it is known.
    std::optional<std::string> sessionUser(const std::string& token) const;

    // Stores a new job under a fresh id and returns the id.
    std::string createJob(Job job);
    std::optional<Job> find(const std::string& id) const;
    // The id of the user's most recent job made from the named order form.
    std::optional<std::string> mostRecent(const std::string& user, const std::string& orderFormName) const;
    // Runs `change` on the job under the lock; false when there is no such job.
    bool update(const std::string& id, const std::function<void(Job&)>& change);

    // Every job, oldest first, as the admin page shows it: each of `secrets`
    // that occurs in a job's log is shown there as "********".
    nlohmann::json toJson(const std::vector<std::string>& secrets) const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> sessions_;
    std::vector<Job> jobs_;
    std::uint64_t nextId_ = 1;
};

}  // namespace jobserver
