// The client object: construction, reset, states, the diagnostic map and the
// one way errors are raised.
#include <cinttypes>
#include <cstdio>

#include "key_generator.hpp"
#include "qz/ws.hpp"

namespace qz {

namespace {
const char* const kDefaultUserAgent = "qzwebjavaapi/2.1";

const char* trueFalse(bool value) { return value ? "true" : "false"; }
}  // namespace

std::string to_string(WS::EState state) {
    static const char* const names[] = {"unknown",     "login done", "job created",   "file queue", "uploading",
                                        "upload done", "log done",   "finalize done", "finished"};
    auto value = static_cast<std::int32_t>(state);
    if (value < 0 || value > 8) return "?";
    return names[value];
}

WS::WS() : options(), control(options) { reset(); }

WS::~WS() {
    reset();
    std::remove(cookieFile.c_str());
    detail::releaseCookieFile(heldCookieFile);
}

WS& WS::reset() {
    if (!cookieFile.empty()) {
        std::remove(cookieFile.c_str());
    }
    detail::releaseCookieFile(heldCookieFile);
    state = eUnknown;
    httpResponseCode = -1;
    sslVerifyHost = 2;
    sslVerifyPeer = 1;
    verbose = false;
    successFlag = false;
    message.clear();
    recentUrl.clear();
    xmlResponse.clear();
    rawResponse.clear();
    summaryLogResponse.clear();
    summaryLogSuccess = false;
    baseUrl.clear();
    loginUsername.clear();
    loginPassword.clear();
    userAgent = kDefaultUserAgent;
    requestTimeout = 0;
    connectTimeout = 0;
    maxAnswerSize = kDefaultMaxAnswerSize;
    orderFormName.clear();
    orderFormType.clear();
    jobId.clear();
    ftpUsername.clear();
    ftpPortText.clear();
    bandwidthStart = 0;
    bandwidthMax = 0;
    secure = false;
    options.reset();
    control.setNewOptions(options);
    // A new job must not inherit the files of an earlier one.
    control.clearQueue();
    auto drawn = detail::drawClientKeyAndCookieFile();
    encryptionKey = std::move(drawn.key);
    cookieFile = std::move(drawn.cookieFile);
    heldCookieFile = cookieFile;
    return *this;
}

WS& WS::logout() { return reset(); }

WS::StringMap WS::get_map() {
    StringMap m;
    const std::int32_t current = state;
    const std::int32_t next = static_cast<std::int32_t>(static_cast<std::uint32_t>(current) + 1u);
    if (message.empty()) message = "unhandled error";

    m["WS state code (current)"] = std::to_string(current);
    m["WS state name (current)"] = to_string(static_cast<EState>(current));
    m["WS state code (next)"] = std::to_string(next);
    m["WS state name (next)"] = to_string(static_cast<EState>(next));
    m["WS base url"] = baseUrl;
    m["WS order form name"] = orderFormName;
    m["WS order form type"] = orderFormType;
    m["WS job id"] = jobId;
    m["WS secure"] = trueFalse(secure);
    m["WS verbose logging"] = verbose ? "on" : "off";
    m["WS filename (QZ summary log)"] = SummaryLog::getLogFilename();
    m["WS filename (C++ exceptions)"] = Exception::getLogFilename();
    m["WS message"] = message;
    m["WS status success flag"] = trueFalse(successFlag);
    m["WS HTTP response code"] = std::to_string(httpResponseCode);
    m["WS recent URL"] = recentUrl;
    m["WS username (login)"] = loginUsername;
    m["WS username (ftp)"] = ftpUsername;
    m["WS bandwidth start"] = formatTransferRate(bandwidthStart);
    m["WS bandwidth maximum"] = formatTransferRate(bandwidthMax);
    for (const auto& [key, value] : library_info()) m["WS Info " + key] = value;
    if (current < eJobCreated) return m;
    for (const auto& [key, value] : options.getMap(false)) m["QZ " + key + " (option)"] = value;
    for (const auto& [key, value] : control.getMap()) m["QZ " + key + " (server)"] = value;
    return m;
}

void WS::fail(int line, const char* operation, const std::string& text, const StringMap& extra) {
    message = text;
    StringMap diagnostics = get_map();
    for (const auto& [key, value] : extra) diagnostics[key] = value;
    throw Exception("QZWS", line, operation, message, std::move(diagnostics));
}

}  // namespace qz
