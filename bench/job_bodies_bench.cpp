// Growth of the finalization body with the number of files in the job.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "job_bodies.hpp"
#include "qz/ws.hpp"

namespace {

qz::GlobalStateAndStats statsOf(std::int64_t files) {
    qz::GlobalStateAndStats stats;
    for (std::int64_t i = 1; i <= files; ++i) {
        qz::TransferStats file;
        const std::string name = "./run 7/section_" + std::to_string(i % 97) + "/frame_" + std::to_string(i) + ".dat";
        file.local = qz::Local("/data" + name.substr(1));
        file.remote = qz::Remote(name);
        file.fileSize = static_cast<std::uint64_t>(i) * 7919 % 50000000;
        stats.fileMap.emplace(static_cast<unsigned long>(i), file);
    }
    return stats;
}

qz::WS& client() {
    static qz::WS ws;
    ws.jobId = "104729";
    ws.loginUsername = "alice";
    ws.loginPassword = "correct horse";
    ws.ftpUsername = "pickup_104729";
    ws.secure = true;
    return ws;
}

void BM_finalizationBody(benchmark::State& state) {
    const qz::GlobalStateAndStats stats = statsOf(state.range(0));
    qz::WS& ws = client();
    std::size_t bodySize = 0;
    for (auto _ : state) {
        std::string body = qz::detail::finalizationBody(ws, qz::detail::listTransferredFiles(stats));
        bodySize = body.size();
        benchmark::DoNotOptimize(body);
    }
    state.counters["files"] = static_cast<double>(state.range(0));
    state.counters["body_bytes"] = static_cast<double>(bodySize);
}

void BM_listTransferredFiles(benchmark::State& state) {
    const qz::GlobalStateAndStats stats = statsOf(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(qz::detail::listTransferredFiles(stats));
    state.counters["files"] = static_cast<double>(state.range(0));
}

}  // namespace

BENCHMARK(BM_finalizationBody)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_listTransferredFiles)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    qz::WS::initialize_third_party_libs();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
