#include "job_store.hpp"

#include <openssl/rand.h>

#include <stdexcept>

namespace jobserver {

namespace {

std::string randomToken() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("cannot draw a random session token");
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (const unsigned char b : bytes) {
        token += digits[b >> 4];
        token += digits[b & 0x0f];
    }
    return token;
}

std::string masked(std::string text, const std::vector<std::string>& secrets) {
    for (const auto& secret : secrets) {
        if (secret.empty()) continue;
        for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 8)) {
            text.replace(at, secret.size(), "********");
        }
    }
    return text;
}

nlohmann::json jobJson(const Job& job, const std::vector<std::string>& secrets) {
    nlohmann::json files = nlohmann::json::array();
    for (const auto& file : job.files) files.push_back({{"name", file.name}, {"size", file.size}});
    nlohmann::json finalization = nullptr;
    if (job.finalization) {
        const auto& f = *job.finalization;
        finalization = {{"success", f.success},     {"comments", f.comments}, {"complete", f.complete},
                        {"cancelled", f.cancelled}, {"markJob", f.markJob},   {"transferUser", f.transferUser}};
    }
    return {{"id", job.id},
            {"user", job.user},
            {"orderForm", {{"name", job.orderForm.name}, {"type", job.orderForm.type}}},
            {"fields", job.fields},
            {"scrambledFields", job.scrambledFields},
            {"creationKey", job.creationKey},
            {"secure", job.secure},
            {"state", to_string(job.state)},
            {"logUploads", job.logUploads},
            {"logLength", job.logText.size()},
            {"log", masked(job.logText, secrets)},
            {"files", files},
            {"totalSize", job.totalSize},
            {"finalization", finalization}};
}

}  // namespace

const char* to_string(EJobState state) {
    switch (state) {
        case EJobState::eCreated: return "created";
        case EJobState::eLogReceived: return "log received";
        case EJobState::eFinalized: return "finalized";
        case EJobState::eFinalizeFailed: return "finalize failed";
    }
    return "unknown";
}

std::string JobStore::openSession(const std::string& user) {
    std::string token = randomToken();
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_[token] = user;
    return token;
}

std::optional<std::string> JobStore::sessionUser(const std::string& token) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = sessions_.find(token);
    if (it == sessions_.end()) return std::nullopt;
    return it->second;
}

std::string JobStore::createJob(Job job) {
    std::lock_guard<std::mutex> lock(mutex_);
    job.id = std::to_string(nextId_++);
    jobs_.push_back(std::move(job));
    return jobs_.back().id;
}

std::optional<Job> JobStore::find(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& job : jobs_) {
        if (job.id == id) return job;
    }
    return std::nullopt;
}

std::optional<std::string> JobStore::mostRecent(const std::string& user, const std::string& orderFormName) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = jobs_.rbegin(); it != jobs_.rend(); ++it) {
        if (it->user == user && it->orderForm.name == orderFormName) return it->id;
    }
    return std::nullopt;
}

bool JobStore::update(const std::string& id, const std::function<void(Job&)>& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& job : jobs_) {
        if (job.id == id) {
            change(job);
            return true;
        }
    }
    return false;
}

nlohmann::json JobStore::toJson(const std::vector<std::string>& secrets) const {
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::json jobs = nlohmann::json::array();
    for (const auto& job : jobs_) jobs.push_back(jobJson(job, secrets));
    return {{"jobs", jobs}};
}

}  // namespace jobserver
