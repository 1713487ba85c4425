// One keep-alive round trip through qz::WS against the same GET done by a
// minimal libcurl program with the same options, both against the reference
// job server on loopback, in one run.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "job_server_process.hpp"
#include "qz/ws.hpp"

namespace {

struct Setup {
    bench::TempFolder folder;
    std::unique_ptr<bench::JobServerProcess> server;
    std::unique_ptr<qz::WS> ws;
};
Setup* setup = nullptr;

std::size_t collect(char* data, std::size_t size, std::size_t count, void* sink) {
    static_cast<std::string*>(sink)->append(data, size * count);
    return size * count;
}

// What the request sender does for a GET, with a fresh handle per request:
// the same URL form, user agent, TLS checks and cookie file and jar.
long curlDoNothing(const qz::WS& ws, unsigned long n) {
    const std::string url = ws.baseUrl + "jsp/doNothing.jsp?rand=" + std::to_string(n);
    std::string answer;
    CURL* curl = curl_easy_init();
    if (!ws.userAgent.empty()) curl_easy_setopt(curl, CURLOPT_USERAGENT, ws.userAgent.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_COOKIEJAR, ws.cookieFile.c_str());
    curl_easy_setopt(curl, CURLOPT_COOKIEFILE, ws.cookieFile.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    long code = 0;
    if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_cleanup(curl);
    return code;
}

void BM_wsDoNothing(benchmark::State& state) {
    qz::WS& ws = *setup->ws;
    try {
        for (auto _ : state) ws.doNothing();
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

void BM_curlDoNothing(benchmark::State& state) {
    unsigned long n = 0;
    for (auto _ : state) {
        if (curlDoNothing(*setup->ws, ++n) != 200) {
            state.SkipWithError("the keep-alive was not answered with 200");
            break;
        }
    }
}

}  // namespace

BENCHMARK(BM_wsDoNothing)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_curlDoNothing)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(1.0);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    qz::WS::initialize_third_party_libs();
    try {
        Setup s;
        if (::chdir(s.folder.path().c_str()) != 0) throw std::runtime_error("cannot enter " + s.folder.path());
        s.server = std::make_unique<bench::JobServerProcess>(QZWS_JOBSERVER_PATH, s.folder.path());
        s.ws = std::make_unique<qz::WS>();
        s.ws->login(s.server->baseUrl(), bench::kUser, bench::kPassword);
        setup = &s;
        benchmark::RunSpecifiedBenchmarks();
        setup = nullptr;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "round_trip_bench: %s\n", e.what());
        return 1;
    }
    benchmark::Shutdown();
    return 0;
}
