// The job's conversation with the server: login, creation, keep-alive,
// summary log and finalization.
#include <memory>

#include <libxml/parser.h>

#include "answer.hpp"
#include "job_bodies.hpp"
#include "key_generator.hpp"
#include "qz/strings.hpp"
#include "qz/ws.hpp"
#include "qz/xml.hpp"
#include "web_url.hpp"

namespace qz {

namespace {

using detail::DocPtr;

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// Plain keys go out as they are; a key that would change the form around it
// (a separator, an escape, a blank or a control byte) is escaped so that the
// server reads back exactly the key the host gave.
std::string formKey(const std::string& key) {
    for (unsigned char c : key) {
        if (c < 0x20 || c == 0x7F || c == '&' || c == '=' || c == '%' || c == '+' || c == ' ') return url_encode(key);
    }
    return key;
}

std::string valueOr(const std::map<std::string, std::string>& m, const std::string& key) {
    auto it = m.find(key);
    return it == m.end() ? std::string() : it->second;
}

}  // namespace

WS& WS::login(const std::string& url, const std::string& username, const std::string& password) {
    message.clear();
    if (state > eUnknown) reset();

    if (url.empty()) message = "base URL cannot be empty";
    if (!url.empty() && !detail::isWebUrl(url)) message = "base URL " + quoted(url) + " is not an http or https URL";
    if (username.empty()) message = "username cannot be empty";
    if (password.empty()) message = "password cannot be empty";
    for (unsigned char c : url) {
        if (c < 0x21 || c > 0x7E) {
            message = "base URL appears to be invalid";
            break;
        }
    }
    if (!message.empty()) fail(__LINE__, "login", message);

    baseUrl = url;
    loginUsername = username;
    loginPassword = password;
    if (!ends_with(baseUrl, "/")) baseUrl += "/";

    std::string body = "k=" + encryptionKey + "&u=" + encrypt(loginUsername) + "&p=" + encrypt(loginPassword);
    DocPtr answer(send_request(baseUrl + "getPickupSettings.do", body));
    if (successFlag) state = eLoginDone;
    return *this;
}

WS& WS::createJob(const std::string& orderForm, const StringMap& fields) {
    static const char* const op = "createJob";
    if (state != eLoginDone) fail(__LINE__, op, "cannot create a new job from state " + quoted(to_string(state)));

    bool found = false;
    {
        DocPtr settings = detail::parseQuietly(xmlResponse);
        for (xmlNode* form : findAllSiblingsWithName(settings.get(), "orderform")) {
            auto attributes = getNodeAttributes(form);
            if (valueOr(attributes, "name") != orderForm) continue;
            orderFormName = valueOr(attributes, "name");
            orderFormType = valueOr(attributes, "type");
            jobId.clear();
            secure = false;
            found = true;
            break;
        }
    }
    if (orderForm.empty() || !found) {
        fail(__LINE__, op, "XML does not contain an order form called " + quoted(orderForm));
    }
    if (orderFormType.empty()) fail(__LINE__, op, "cannot guess order form type for " + quoted(orderForm));

    std::string body = "k=" + encryptionKey + "&qzof=" + orderFormName + "&qzoftype=" + orderFormType;
    for (const auto& [key, value] : fields) body += "&" + formKey(key) + "=" + encrypt(value);

    DocPtr answer(send_request(baseUrl + "createPickupJob.do", body));
    jobId = valueOr(findAnyNodeAndGetAttribs(answer.get(), "job"), "id");
    secure = valueOr(findAnyNodeAndGetAttribs(answer.get(), "securityTag"), "isSecure") == "true";
    set_options(answer.get());
    answer.reset();
    control.setNewOptions(options);
    state = eJobCreated;
    return *this;
}

WS& WS::doNothing() {
    if (state <= eUnknown)
        fail(__LINE__, "doNothing", "cannot call 'doNothing' from state " + quoted(to_string(state)));
    // Only keeps caches from answering for the server; it need not be unpredictable.
    detail::ByteGenerator generator(detail::seedFromClockCount(detail::clockCount()));
    std::string url = baseUrl + "jsp/doNothing.jsp?rand=" + std::to_string(generator.next());
    DocPtr answer(send_request(url, ""));
    return *this;
}

WS& WS::uploadSummaryLog(const GlobalStateAndStats& stats) {
    if (state != eUploadDone) {
        fail(__LINE__, "uploadSummaryLog", "cannot upload summary log from state " + quoted(to_string(state)));
    }
    control.disconnect();
    SummaryLog::add("qz::WS: uploading summary log to ftp server");

    const std::string firstLine = "TotalFileAreaDataTransferredForThisSession : " +
                                  std::to_string(stats.totalBytesTransferred) + "\n";
    const std::string logPath = SummaryLog::getLogFilename();
    // A log that lost lines on the way to its file (a full disk, the file
    // removed) says so at its end: the server must not take it as whole.
    const std::string why = SummaryLog::whyIncomplete();
    const std::string body = detail::summaryLogBody(
        firstLine, logPath, why.empty() ? "" : "qz::WS: this log is incomplete: its file " + why + "\n");

    std::string url = baseUrl + "appletLogs.do?username=" + url_encode(loginUsername);
    if (orderFormType == "job") {
        url += "&jobid=" + url_encode(jobId);
    } else if (orderFormType == "filearea" && orderFormName == "my_file_area") {
        url += "&filearea=" + url_encode(orderFormName);
    } else {
        url += "&group=" + url_encode(orderFormName);
    }

    summaryLogResponse.clear();
    summaryLogSuccess = false;
    DocPtr answer(send_request(url, body));
    summaryLogResponse = rawResponse;
    summaryLogSuccess = successFlag;
    state = eLogDone;
    return *this;
}

WS& WS::finalizeJob(const GlobalStateAndStats& stats) {
    static const char* const op = "finalizeJob";
    if (state != eLogDone) fail(__LINE__, op, "cannot finalize job from state " + quoted(to_string(state)));
    SummaryLog::add("qz::WS: finalizing job");
    const std::string url = baseUrl + "finalizePickupJob.do";

    const std::string body = detail::finalizationBody(*this, detail::listTransferredFiles(stats));

    DocPtr answer(send_request(url, body));
    // A plain "nay" is the server refusing the job; finishing it anyway
    // would report a failure as success.
    if (!successFlag && rawResponse.size() <= 9 && starts_with(rawResponse, "nay\r\n")) {
        fail(__LINE__, op, "server response for " + url + " indicates the command failed to run");
    }
    state = eFinalizeDone;
    return *this;
}

}  // namespace qz
