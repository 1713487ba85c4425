// One request to the job server and the reading of its answer.
#include <atomic>
#include <cstdio>
#include <memory>

#include <curl/curl.h>
#include <curlpp/Easy.hpp>
#include <curlpp/Exception.hpp>
#include <curlpp/Infos.hpp>
#include <curlpp/Options.hpp>

#include "answer.hpp"
#include "private_files.hpp"
#include "qz/strings.hpp"
#include "qz/ws.hpp"
#include "web_url.hpp"

namespace qz {

namespace {

// Shared by every client of the process; atomic because hosts may run
// clients on several threads.
std::atomic<std::uint64_t> dumpCounter{0};

std::string dumpName(std::uint64_t number, std::int32_t state, std::int64_t code) {
    char text[96];
    std::snprintf(text, sizeof text, "output_%04llu_state_%d_code_%lld", static_cast<unsigned long long>(number), state,
                  static_cast<long long>(code));
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

    if (!detail::isWebUrl(url)) {
        fail(__LINE__, op, "cannot send a request to " + url + ": only http and https URLs are allowed");
    }
    if (const std::string why = detail::prepareCookieFile(cookieFile); !why.empty()) {
        fail(__LINE__, op, "cookie file \"" + cookieFile + "\" " + why);
    }
    std::string received;
    bool tooLarge = false;
    {
        curlpp::Easy request;
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
        // A short count makes libcurl stop at once: a server that never ends
        // its answer costs the limit and no more.
        request.setOpt(curlpp::options::WriteFunction(
            [this, &received, &tooLarge](char* data, std::size_t size, std::size_t count) {
                const std::size_t length = size * count;
                if (maxAnswerSize > 0 && received.size() + length > maxAnswerSize) {
                    tooLarge = true;
                    return std::size_t{0};
                }
                received.append(data, length);
                return length;
            }));
        if (interrupted) {
            request.setOpt(curlpp::options::NoProgress(false));
            request.setOpt(curlpp::options::ProgressFunction(
                [this](double, double, double, double) { return interrupted() ? 1 : 0; }));
        }
        // Only when asked for: by default a request waits as long as the server takes.
        if (requestTimeout > 0) request.setOpt(curlpp::options::Timeout(requestTimeout));
        if (connectTimeout > 0) request.setOpt(curlpp::options::ConnectTimeout(connectTimeout));
        // Redirects are not followed, but the restriction holds for them too
        // should anyone switch them on.
        if (curl_easy_setopt(request.getHandle(), CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK ||
            curl_easy_setopt(request.getHandle(), CURLOPT_REDIR_PROTOCOLS_STR, "http,https") != CURLE_OK) {
            fail(__LINE__, op, "cannot restrict the request to " + url + " to http and https");
        }
        try {
            request.perform();
        } catch (const curlpp::RuntimeError&) {
            if (!tooLarge) throw;
            fail(__LINE__, op,
                 "answer from " + url + " is larger than the limit of " + std::to_string(maxAnswerSize) +
                     " bytes (setting \"maxanswersize\")");
        }
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
