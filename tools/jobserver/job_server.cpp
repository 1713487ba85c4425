#include "job_server.hpp"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <charconv>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "file_check.hpp"
#include "form.hpp"
#include "qz/scrambling.hpp"

namespace jobserver {

namespace {

using httplib::Request;
using httplib::Response;

// A request that the protocol cannot make sense of; answered with HTTP 400.
struct BadRequest : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string inQuotes(const std::string& text) { return "\"" + text + "\""; }

void reply(Response& res, int httpStatus, bool success, const std::string& comments, const std::string& elements = "") {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<result><status success=\"";
    xml += success ? "true\"" : "false\"";
    if (!comments.empty()) xml += " comments=\"" + xmlAttribute(comments) + "\"";
    xml += "/>" + elements + "</result>\n";
    res.status = httpStatus;
    res.set_content(xml, "text/xml; charset=UTF-8");
}

void refuse(Response& res, const std::string& comments) { reply(res, 200, false, comments); }

// The key that the client draws is a run of decimal digits. Anything else
// could make the byte shift run forever (a shift of 0 or 94), so it is
// refused before any value is touched.
std::string requireKey(const FormFields& fields) {
    const auto key = findField(fields, "k");
    if (!key) throw BadRequest("missing field \"k\"");
    if (key->empty() || key->size() > 256 || key->find_first_not_of("0123456789") != std::string::npos) {
        throw BadRequest("field \"k\" is not a key of decimal digits");
    }
    return *key;
}

std::string requireField(const FormFields& fields, const std::string& name) {
    const auto value = findField(fields, name);
    if (!value) throw BadRequest("missing field " + inQuotes(name));
    return *value;
}

std::string decodeField(const std::string& raw, const std::string& name) {
    auto value = formDecode(raw);
    if (!value) throw BadRequest("field " + inQuotes(name) + " is not form-encoded");
    return std::move(*value);
}

std::string descramble(const std::string& raw, const std::string& name, const std::string& key) {
    return qz::scramble(decodeField(raw, name), key, qz::EShift::eBackward);
}

std::optional<std::string> sessionToken(const Request& req) {
    const std::string prefix = std::string(kSessionCookie) + "=";
    const std::size_t count = req.get_header_value_count("Cookie");
    for (std::size_t i = 0; i < count; ++i) {
        const std::string header = req.get_header_value("Cookie", i);
        std::size_t start = 0;
        while (start < header.size()) {
            std::size_t end = header.find(';', start);
            if (end == std::string::npos) end = header.size();
            std::string part = header.substr(start, end - start);
            const std::size_t first = part.find_first_not_of(' ');
            part = first == std::string::npos ? std::string() : part.substr(first);
            if (part.compare(0, prefix.size(), prefix) == 0) return part.substr(prefix.size());
            start = end + 1;
        }
    }
    return std::nullopt;
}

std::optional<std::uint64_t> parseCount(const std::string& text) {
    std::uint64_t value = 0;
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& part : parts) out += (out.empty() ? "" : "; ") + part;
    return out;
}

// Compares digests, so that the time taken tells nothing about the token,
// not even its length.
bool sameSecret(const std::string& given, const std::string& expected) {
    unsigned char a[SHA256_DIGEST_LENGTH];
    unsigned char b[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(given.data()), given.size(), a);
    SHA256(reinterpret_cast<const unsigned char*>(expected.data()), expected.size(), b);
    return CRYPTO_memcmp(a, b, sizeof a) == 0;
}

std::string httpErrorText(const Request& req, int status) {
    switch (status) {
        case 404: return "no such page: " + req.method + " " + req.path;
        case 413: return "request body too large";
        case 400: return "malformed request";
        default: return "HTTP error " + std::to_string(status);
    }
}

}  // namespace

JobServer::JobServer(Config config) : config_(std::move(config)) {}

void JobServer::install(httplib::Server& server, std::ostream* log) {
    // Every page answers its own refusals; a BadRequest from the parsing
    // helpers becomes HTTP 400 with the reason in the status comments.
    auto page = [this](void (JobServer::*handler)(const Request&, Response&)) {
        return [this, handler](const Request& req, Response& res) {
            try {
                (this->*handler)(req, res);
            } catch (const BadRequest& e) {
                reply(res, 400, false, e.what());
            }
        };
    };
    // The pages read their bodies themselves: the HTTP library refuses form
    // bodies over 8 KiB unless they are read through a content reader, and
    // summary logs are far bigger.
    auto postPage = [this, page](void (JobServer::*handler)(const Request&, Response&)) {
        auto inner = page(handler);
        return [this, inner](const Request& req, Response& res, const httplib::ContentReader& read) {
            Request whole = req;
            const bool complete = read([&](const char* data, std::size_t size) {
                if (whole.body.size() + size > config_.maxBodyBytes) return false;
                whole.body.append(data, size);
                return true;
            });
            if (!complete) {
                // Over the limit, or the client went away mid-body.
                const int status = whole.body.size() < config_.maxBodyBytes && res.status != 413 ? 400 : 413;
                reply(res, status, false, httpErrorText(req, status));
                return;
            }
            inner(whole, res);
        };
    };
    server.Post("/getPickupSettings\\.do", postPage(&JobServer::login));
    server.Post("/createPickupJob\\.do", postPage(&JobServer::createJob));
    server.Get("/jsp/doNothing\\.jsp", page(&JobServer::keepAlive));
    server.Post("/appletLogs\\.do", postPage(&JobServer::summaryLog));
    server.Post("/finalizePickupJob\\.do", postPage(&JobServer::finalize));
    server.Get("/admin/jobs", page(&JobServer::adminJobs));

    server.set_payload_max_length(config_.maxBodyBytes);
    server.set_error_handler(httplib::Server::HandlerWithResponse([](const Request& req, Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        const int status = res.status;
        reply(res, status, false, httpErrorText(req, status));
        return httplib::Server::HandlerResponse::Handled;
    }));
    server.set_exception_handler([](const Request&, Response& res, const std::exception_ptr& error) {
        std::string what = "unknown error";
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        reply(res, 500, false, "internal error: " + what);
    });
    if (log != nullptr) {
        server.set_logger([this, log](const Request& req, const Response& res) {
            const std::string line = req.method + " " + req.path + " " + std::to_string(res.status) + "\n";
            std::lock_guard<std::mutex> lock(logMutex_);
            *log << line << std::flush;
        });
    }
}

const User* JobServer::matchCredentials(const std::string& key, const std::string& user,
                                        const std::string& password) const {
    // Compared in scrambled form: the shift cannot give back a space or a
    // quote, but it maps the configured text onto exactly what the client sent.
    for (const auto& candidate : config_.users) {
        if (qz::scramble(candidate.name, key, qz::EShift::eForward) == user &&
            qz::scramble(candidate.password, key, qz::EShift::eForward) == password) {
            return &candidate;
        }
    }
    return nullptr;
}

std::optional<std::string> JobServer::requireSession(const Request& req, Response& res) const {
    const auto token = sessionToken(req);
    if (!token) {
        refuse(res, "no session: log in first");
        return std::nullopt;
    }
    auto user = store_.sessionUser(*token);
    if (!user) refuse(res, "unknown session: log in again");
    return user;
}

void JobServer::login(const Request& req, Response& res) {
    const FormFields fields = splitForm(req.body);
    const std::string key = requireKey(fields);
    const std::string user = decodeField(requireField(fields, "u"), "u");
    const std::string password = decodeField(requireField(fields, "p"), "p");
    const User* found = matchCredentials(key, user, password);
    if (found == nullptr) return refuse(res, "invalid credentials");

    const std::string token = store_.openSession(found->name);
    res.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + token + "; Path=/; HttpOnly");
    std::string forms;
    for (const auto& form : config_.orderForms) {
        forms += "<orderform name=\"" + xmlAttribute(form.name) + "\" type=\"" + xmlAttribute(form.type) + "\"/>";
    }
    reply(res, 200, true, "", forms);
}

void JobServer::createJob(const Request& req, Response& res) {
    const auto user = requireSession(req, res);
    if (!user) return;

    // The order form's name and type arrive unescaped and may hold "&" or
    // spaces, so they are matched against the known forms before the rest of
    // the body is split into fields.
    const std::string& body = req.body;
    const FormFields head = splitForm(body.substr(0, body.find('&')));
    const std::string key = requireKey(head);
    const std::string formMark = "&qzof=";
    const std::size_t formStart = body.find('&');
    if (formStart == std::string::npos || body.compare(formStart, formMark.size(), formMark) != 0) {
        throw BadRequest("missing field \"qzof\" after the key");
    }
    const std::string rest = body.substr(formStart + formMark.size());
    const OrderForm* form = nullptr;
    std::size_t matched = 0;
    for (const auto& candidate : config_.orderForms) {
        const std::string expected = candidate.name + "&qzoftype=" + candidate.type;
        if (rest.compare(0, expected.size(), expected) == 0 &&
            (rest.size() == expected.size() || rest[expected.size()] == '&') && expected.size() > matched) {
            form = &candidate;
            matched = expected.size();
        }
    }
    if (form == nullptr) {
        const std::string typeMark = "&qzoftype=";
        const std::size_t typeAt = rest.find(typeMark);
        if (typeAt == std::string::npos) throw BadRequest("missing field \"qzoftype\"");
        const std::string name = rest.substr(0, typeAt);
        const std::size_t typeStart = typeAt + typeMark.size();
        const std::string type = rest.substr(typeStart, rest.find('&', typeStart) - typeStart);
        if (const OrderForm* known = config_.findOrderForm(name)) {
            return refuse(res, "order form " + inQuotes(name) + " has the type " + inQuotes(known->type) + ", not " +
                                   inQuotes(type));
        }
        return refuse(res, "unknown order form " + inQuotes(name));
    }

    Job job;
    job.user = *user;
    job.orderForm = *form;
    job.creationKey = key;
    job.secure = config_.transfer.secureJobs;
    for (const auto& field : splitForm(rest.substr(matched))) {
        if (field.first.empty() && field.second.empty()) continue;
        // Keys arrive escaped when they hold a separator, like the values.
        const std::string name = decodeField(field.first, field.first);
        const std::string received = decodeField(field.second, name);
        job.scrambledFields.emplace(name, received);
        job.fields.emplace(name, qz::scramble(received, key, qz::EShift::eBackward));
    }
    const bool secure = job.secure;
    const std::string id = store_.createJob(std::move(job));

    const TransferServer& t = config_.transfer;
    std::string ftp = "<ftp path=\"" + xmlAttribute(t.path) + "\" u=\"" + xmlAttribute(t.user) + "\" p=\"" +
                      xmlAttribute(t.password) + "\" s=\"" + xmlAttribute(t.host) + "\" p1=\"" +
                      std::to_string(t.port) + "\"";
    for (const auto& [name, value] : t.tuning) ftp += " " + name + "=\"" + xmlAttribute(value) + "\"";
    ftp += "/>";
    reply(
        res, 200, true, "",
        "<job id=\"" + xmlAttribute(id) + "\"/><securityTag isSecure=\"" + (secure ? "true" : "false") + "\"/>" + ftp);
}

void JobServer::keepAlive(const Request& req, Response& res) {
    if (!requireSession(req, res)) return;
    res.status = 200;
    res.set_content("yay\r\n", "text/plain");
}

void JobServer::summaryLog(const Request& req, Response& res) {
    const auto sessionUser = requireSession(req, res);
    if (!sessionUser) return;
    const FormFields query = splitForm(queryOf(req.target));
    const std::string user = decodeField(requireField(query, "username"), "username");
    if (user != *sessionUser) return refuse(res, "user " + inQuotes(user) + " is not the user of this session");

    std::string id;
    if (const auto jobid = findField(query, "jobid")) {
        id = decodeField(*jobid, "jobid");
        const auto job = store_.find(id);
        if (!job || job->user != user) return refuse(res, "no job " + inQuotes(id) + " for user " + inQuotes(user));
    } else {
        const auto raw = findField(query, "filearea") ? findField(query, "filearea") : findField(query, "group");
        if (!raw) throw BadRequest("missing field \"jobid\", \"filearea\" or \"group\"");
        const std::string formName = decodeField(*raw, "order form");
        const auto recent = store_.mostRecent(user, formName);
        if (!recent)
            return refuse(res, "user " + inQuotes(user) + " has no job of the order form " + inQuotes(formName));
        id = *recent;
    }

    const std::string logs = decodeField(requireField(splitForm(req.body), "logs"), "logs");
    store_.update(id, [&logs](Job& job) {
        job.logText = logs;
        ++job.logUploads;
        if (job.state == EJobState::eCreated) job.state = EJobState::eLogReceived;
    });
    reply(res, 200, true, "", "<job id=\"" + xmlAttribute(id) + "\"/>");
}

void JobServer::finalize(const Request& req, Response& res) {
    const FormFields fields = splitForm(req.body);
    const std::string key = requireKey(fields);
    std::map<std::string, std::string> raw;
    for (const char* name : {"f", "s", "c", "totalSize", "jobid", "isCancelled", "markJob", "username", "pass"}) {
        raw[name] = requireField(fields, name);
    }
    const User* user = matchCredentials(key, decodeField(raw["username"], "username"),
                                        decodeField(raw["pass"], "pass"));
    const std::string rawNames = decodeField(raw["f"], "f");
    const std::string sizes = descramble(raw["s"], "s", key);
    const std::string total = descramble(raw["totalSize"], "totalSize", key);
    const std::string id = descramble(raw["jobid"], "jobid", key);
    Finalization result;
    result.complete = descramble(raw["c"], "c", key);
    result.cancelled = descramble(raw["isCancelled"], "isCancelled", key);
    result.markJob = descramble(raw["markJob"], "markJob", key);
    if (const auto tu = findField(fields, "tu")) result.transferUser = descramble(*tu, "tu", key);
    if (user == nullptr) return refuse(res, "invalid credentials");

    const auto job = store_.find(id);
    if (!job || job->user != user->name)
        return refuse(res, "no job " + inQuotes(id) + " for user " + inQuotes(user->name));
    if (job->state == EJobState::eFinalized) return refuse(res, "job " + inQuotes(id) + " is already finalized");

    std::vector<std::string> problems;
    // Names are joined by "#,#" and sizes by ","; both separators survive
    // the scrambling, so the de-scrambled lists split where the client joined.
    const std::string names = qz::scramble(rawNames, key, qz::EShift::eBackward);
    std::vector<ReportedFileName> files;
    if (!names.empty()) {
        std::size_t start = 0;
        while (true) {
            const std::size_t end = names.find("#,#", start);
            const std::size_t length = (end == std::string::npos ? names.size() : end) - start;
            files.push_back({names.substr(start, length), rawNames.substr(start, length), start, 0});
            if (end == std::string::npos) break;
            start = end + 3;
        }
    }
    std::vector<std::uint64_t> sizeList;
    bool sizesRead = true;
    if (!sizes.empty()) {
        std::size_t start = 0;
        while (true) {
            const std::size_t end = sizes.find(',', start);
            const std::string item = sizes.substr(start, end == std::string::npos ? std::string::npos : end - start);
            const auto size = parseCount(item);
            if (!size) {
                problems.push_back("size " + inQuotes(item) + " is not a number");
                sizesRead = false;
            }
            sizeList.push_back(size.value_or(0));
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    if (sizeList.size() != files.size()) {
        problems.push_back(std::to_string(files.size()) + " file names but " + std::to_string(sizeList.size()) +
                           " sizes");
        sizesRead = false;
    }
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < files.size() && i < sizeList.size(); ++i) {
        files[i].size = sizeList[i];
        if (sum + sizeList[i] < sum) {
            problems.push_back("the file sizes add up to more than 64 bits can count");
            sizesRead = false;
            break;
        }
        sum += sizeList[i];
    }
    const auto reportedTotal = parseCount(total);
    if (!reportedTotal) {
        problems.push_back("total size " + inQuotes(total) + " is not a number");
    } else if (sizesRead && *reportedTotal != sum) {
        problems.push_back("total size " + total + " does not match the sum of the file sizes " + std::to_string(sum));
    }
    if (job->secure && result.transferUser != config_.transfer.user) {
        problems.push_back("transfer user " + inQuotes(result.transferUser) + " is not the job's transfer user");
    }
    if (sizesRead && config_.transfer.localRoot) {
        for (auto& problem : checkFilesOnDisk(*config_.transfer.localRoot, key, files)) {
            problems.push_back(std::move(problem));
        }
    }

    result.success = problems.empty();
    result.comments = joined(problems);
    store_.update(id, [&](Job& stored) {
        stored.files.clear();
        for (const auto& file : files) stored.files.push_back({file.name, file.size});
        stored.totalSize = reportedTotal.value_or(0);
        stored.finalization = result;
        stored.state = result.success ? EJobState::eFinalized : EJobState::eFinalizeFailed;
    });
    if (result.success) {
        reply(res, 200, true, "", "<job id=\"" + xmlAttribute(id) + "\"/>");
    } else {
        refuse(res, result.comments);
    }
}

void JobServer::adminJobs(const Request& req, Response& res) {
    if (!config_.adminToken) return reply(res, 404, false, httpErrorText(req, 404));
    if (!sameSecret(req.get_header_value("Authorization"), "Bearer " + *config_.adminToken)) {
        res.set_header("WWW-Authenticate", "Bearer");
        return reply(res, 401, false, "the admin page needs the header \"Authorization: Bearer\" with the admin token");
    }
    // A client may have put a password into its log; the page shows none.
    std::vector<std::string> passwords{config_.transfer.password};
    for (const auto& user : config_.users) passwords.push_back(user.password);
    // Logs and names may hold any bytes; invalid UTF-8 is shown replaced
    // rather than failing the whole page.
    res.status = 200;
    res.set_content(store_.toJson(passwords).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
                    "application/json");
}

}  // namespace jobserver
