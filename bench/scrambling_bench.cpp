// Scrambling of request values against libcurl's URL escaping alone, which
// is the last step of the scrambling itself.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdint>
#include <random>
#include <string>

#include "qz/ws.hpp"

namespace {

// Printable text with blanks, like passwords, names and file lists.
std::string sampleText(std::size_t size) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> byte(32, 126);
    std::string text(size, ' ');
    for (char& c : text) c = static_cast<char>(byte(random));
    return text;
}

qz::WS& client() {
    static qz::WS ws;
    return ws;
}

CURL* handle() {
    static CURL* curl = curl_easy_init();
    return curl;
}

void setBytes(benchmark::State& state, std::size_t size) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
}

void BM_encrypt(benchmark::State& state) {
    const std::string text = sampleText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(client().encrypt(text));
    setBytes(state, text.size());
}

void BM_decrypt(benchmark::State& state) {
    const std::string text = sampleText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(client().decrypt(text));
    setBytes(state, text.size());
}

void BM_curlEscape(benchmark::State& state) {
    const std::string text = sampleText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        char* escaped = curl_easy_escape(handle(), text.data(), static_cast<int>(text.size()));
        benchmark::DoNotOptimize(escaped);
        curl_free(escaped);
    }
    setBytes(state, text.size());
}

void BM_curlUnescape(benchmark::State& state) {
    const std::string text = sampleText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        int length = 0;
        char* plain = curl_easy_unescape(handle(), text.data(), static_cast<int>(text.size()), &length);
        benchmark::DoNotOptimize(plain);
        curl_free(plain);
    }
    setBytes(state, text.size());
}

}  // namespace

BENCHMARK(BM_encrypt)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK(BM_decrypt)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK(BM_curlEscape)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK(BM_curlUnescape)->Arg(1 << 10)->Arg(1 << 20);

int main(int argc, char** argv) {
    qz::WS::initialize_third_party_libs();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    curl_easy_cleanup(handle());
    return 0;
}
