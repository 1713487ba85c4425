// One request to the job server and the reading of its answer.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include <curlpp/Easy.hpp>
#include <curlpp/Infos.hpp>
#include <curlpp/Options.hpp>
#include <libxml/parser.h>
#include <libxml/xmlsave.h>

#include "qz/strings.hpp"
#include "qz/ws.hpp"
#include "qz/xml.hpp"

namespace qz {

namespace {

// Shared by every client of the process; atomic because hosts may run
// clients on several threads.
std::atomic<std::uint64_t> dumpCounter{0};

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

bool isPlainAnswer(const std::string& body) {
    return starts_with(body, "<?xml") || starts_with(body, "<result") || starts_with(body, "yay\r\n") ||
           starts_with(body, "nay\r\n");
}

// The cookie file holds the login session. libcurl creates a missing file
// with the process's default mode but keeps the mode of an existing one, so
// the file is created owner-only before libcurl ever writes it.
void createOwnerOnly(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
}

void writeDump(const std::string& name, const std::string& content) {
    std::ofstream(name, std::ios::binary | std::ios::trunc) << content;
}

std::string dumpName(std::uint64_t number, std::int32_t state, std::int64_t code) {
    char text[96];
    std::snprintf(text, sizeof text, "output_%04llu_state_%d_code_%lld",
                  static_cast<unsigned long long>(number), state, static_cast<long long>(code));
    return text;
}

}  // namespace

xmlDoc* WS::send_request(const std::string& url, const std::string& body) {
    static const char* const op = "send_request";
    message.clear();
    xmlResponse.clear();
    rawResponse.clear();
    httpResponseCode = -1;
    successFlag = false;
    recentUrl = url;

    if (state <= eUnknown && !ends_with(url, "/getPickupSettings.do")) {
        fail(__LINE__, op, "user must login prior to calling " + url);
    }
    if (state > eFinalizeDone) {
        fail(__LINE__, op, "cannot GET or POST to " + url + " from state \"" + to_string(state) + "\"");
    }

    createOwnerOnly(cookieFile);
    std::string received;
    {
        curlpp::Easy request;
        std::ostringstream sink;
        if (!body.empty()) {
            request.setOpt(curlpp::options::Post(true));
            request.setOpt(curlpp::options::PostFields(body));
            request.setOpt(curlpp::options::PostFieldSize(static_cast<long>(body.size())));
        }
        if (!userAgent.empty()) request.setOpt(curlpp::options::UserAgent(userAgent));
        request.setOpt(curlpp::options::Url(url));
        request.setOpt(curlpp::options::Verbose(verbose));
        request.setOpt(curlpp::options::SslVerifyHost(static_cast<long>(sslVerifyHost)));
        request.setOpt(curlpp::options::SslVerifyPeer(sslVerifyPeer != 0));
        request.setOpt(curlpp::options::CookieJar(cookieFile));
        request.setOpt(curlpp::options::CookieFile(cookieFile));
        request.setOpt(curlpp::options::WriteStream(&sink));
        request.perform();
        received = sink.str();
        rawResponse = isPlainAnswer(received) ? received : decrypt(received);
        httpResponseCode = curlpp::infos::ResponseCode::get(request);
    }

    if (httpResponseCode != 200) {
        message = "server HTTP response code for " + url + " is " + std::to_string(httpResponseCode);
    }

    DocPtr doc;
    if (rawResponse.size() > 9) {
        if (rawResponse[0] == '<') doc.reset(xmlParseDoc(reinterpret_cast<const xmlChar*>(rawResponse.c_str())));
        if (doc) {
            xmlResponse = rawResponse;
            auto status = findAnyNodeAndGetAttribs(doc.get(), "status");
            auto success = status.find("success");
            if (success != status.end() && success->second == "true") {
                successFlag = true;
            } else {
                message = "server response for " + url + " indicates the command failed to run";
                auto comments = status.find("comments");
                if (comments != status.end()) message += " (\"" + comments->second + "\")";
            }
        }
    } else {
        successFlag = starts_with(rawResponse, "yay\r\n");
    }

    if (verbose) {
        std::string name = dumpName(dumpCounter.fetch_add(1), state, httpResponseCode);
        writeDump(name + ".raw", received);
        writeDump(name + ".txt", rawResponse);
        if (doc) xmlSaveFormatFileEnc((name + ".xml").c_str(), doc.get(), "utf-8", 1);
    }

    if (!message.empty()) {
        doc.reset();
        fail(__LINE__, op, message);
    }
    return doc.release();
}

}  // namespace qz
