// One request to the job server and the reading of its answer.
#include <atomic>
#include <cstdio>
#include <memory>
#include <sstream>

#include <curl/curl.h>
#include <curlpp/Easy.hpp>
#include <curlpp/Infos.hpp>
#include <curlpp/Options.hpp>

#include "answer.hpp"
#include "private_files.hpp"
#include "qz/strings.hpp"
#include "qz/ws.hpp"

namespace qz {

namespace {

// Shared by every client of the process; atomic because hosts may run
// clients on several threads.
std::atomic<std::uint64_t> dumpCounter{0};

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

    if (const std::string why = detail::prepareCookieFile(cookieFile); !why.empty()) {
        fail(__LINE__, op, "cookie file \"" + cookieFile + "\" " + why);
    }
    std::string received;
    {
        curlpp::Easy request;
        std::ostringstream sink;
        if (!body.empty()) {
            request.setOpt(curlpp::options::Post(true));
            // curlpp's PostFields would keep two copies of the body, which
            // for a summary log can be hundreds of megabytes; libcurl reads
            // the caller's body in place, which outlives the request.
            curl_easy_setopt(request.getHandle(), CURLOPT_POSTFIELDS, body.c_str());
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
        // Only when asked for: by default a request waits as long as the server takes.
        if (requestTimeout > 0) request.setOpt(curlpp::options::Timeout(requestTimeout));
        if (connectTimeout > 0) request.setOpt(curlpp::options::ConnectTimeout(connectTimeout));
        request.perform();
        received = sink.str();
        httpResponseCode = curlpp::infos::ResponseCode::get(request);
    }

    detail::Answer answer = detail::readAnswer(received, static_cast<long>(httpResponseCode), url,
                                               [this](const std::string& text) { return decrypt(text); });
    rawResponse = std::move(answer.text);
    successFlag = answer.success;
    message = std::move(answer.message);
    detail::DocPtr doc = std::move(answer.document);
    if (doc) xmlResponse = rawResponse;

    if (verbose) {
        detail::writeDebugDumps([this] { return dumpName(dumpCounter.fetch_add(1), state, httpResponseCode); },
                                received, rawResponse, doc.get());
    }

    if (!message.empty()) {
        doc.reset();
        fail(__LINE__, op, message);
    }
    return doc.release();
}

}  // namespace qz
