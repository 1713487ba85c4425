// uploadSummaryLog against the reference job server for summary logs of 1, 10
// and 100 MB: the time of the whole operation, and the peak resident memory
// of a process that sends the 100 MB log once.
//
//   summary_log_bench [benchmark flags]     the timed cases and the memory case
//   summary_log_bench --peak-child URL MB   (internal) one upload, prints VmHWM
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "job_server_process.hpp"
#include "qz/ws.hpp"

namespace {

constexpr std::size_t kMB = 1000 * 1000;

std::string baseUrl;  // of the job server that the parent process started

// A client with a job, in the state the upload run leaves before the log.
std::unique_ptr<qz::WS> clientWithJob() {
    auto ws = std::make_unique<qz::WS>();
    ws->login(baseUrl, bench::kUser, bench::kPassword).createJob(bench::kJobForm, {});
    return ws;
}

// Lines as the engine writes them, to the engine's summary log file.
void writeSummaryLog(std::size_t bytes) {
    std::ofstream log(qz::SummaryLog::getLogFilename(), std::ios::binary | std::ios::trunc);
    std::string block;
    for (unsigned long n = 0; block.size() < (1 << 20); ++n) {
        block += "2026-12-08 03:30:" + std::to_string(10 + n % 50) + " qz::Control: file ./run 7/frame_" +
                 std::to_string(100000 + n) + ".dat done, 1048576 bytes, 12.5 Mbit/s, attempt 1\n";
    }
    for (std::size_t written = 0; written < bytes; written += block.size()) {
        log.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), bytes - written)));
    }
    if (!log) throw std::runtime_error("cannot write the summary log");
}

qz::GlobalStateAndStats finishedUpload() {
    qz::GlobalStateAndStats stats;
    stats.totalBytesTransferred = 123456789012;
    stats.finished = true;
    return stats;
}

void BM_uploadSummaryLog(benchmark::State& state) {
    const std::size_t bytes = static_cast<std::size_t>(state.range(0)) * kMB;
    try {
        auto ws = clientWithJob();
        writeSummaryLog(bytes);
        const qz::GlobalStateAndStats stats = finishedUpload();
        for (auto _ : state) {
            ws->state = qz::WS::eUploadDone;
            ws->uploadSummaryLog(stats);
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    state.counters["log_bytes"] = static_cast<double>(bytes);
}

long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// One upload in a fresh process: its high-water mark is that of the upload,
// not of the benchmarks before it.
int peakChild(std::size_t megabytes) {
    try {
        auto ws = clientWithJob();
        writeSummaryLog(megabytes * kMB);
        const long before = peakResidentKiB();
        ws->state = qz::WS::eUploadDone;
        ws->uploadSummaryLog(finishedUpload());
        std::printf("%ld %ld\n", before, peakResidentKiB());
        return 0;
    } catch (const std::exception& e) {
        std::printf("failed: %s\n", e.what());
        return 1;
    }
}

void BM_uploadSummaryLogPeakMemory(benchmark::State& state) {
    const std::size_t megabytes = static_cast<std::size_t>(state.range(0));
    long before = -1;
    long peak = -1;
    for (auto _ : state) {
        const std::string command = "/proc/" + std::to_string(::getpid()) + "/exe --peak-child " + baseUrl + " " +
                                    std::to_string(megabytes);
        FILE* child = ::popen(command.c_str(), "r");
        if (child == nullptr) {
            state.SkipWithError("cannot start the measuring process");
            return;
        }
        char said[512] = "";
        const bool read = std::fgets(said, sizeof said, child) != nullptr;
        said[std::strcspn(said, "\n")] = '\0';
        const int status = ::pclose(child);
        if (!read || status != 0 || std::sscanf(said, "%ld %ld", &before, &peak) != 2) {
            state.SkipWithError(("the measuring process failed: " + std::string(said)).c_str());
            return;
        }
    }
    state.counters["log_bytes"] = static_cast<double>(megabytes * kMB);
    state.counters["rss_before_upload_bytes"] = static_cast<double>(before) * 1024;
    state.counters["peak_rss_bytes"] = static_cast<double>(peak) * 1024;
}

}  // namespace

BENCHMARK(BM_uploadSummaryLog)->Arg(1)->Arg(10)->Arg(100)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_uploadSummaryLogPeakMemory)->Arg(100)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char** argv) {
    qz::WS::initialize_third_party_libs();
    if (argc == 4 && std::string(argv[1]) == "--peak-child") {
        baseUrl = argv[2];
        return peakChild(std::strtoul(argv[3], nullptr, 10));
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    try {
        bench::TempFolder folder;
        // The cookie files of the clients and the engine's summary log stay
        // in the folder; the measuring process inherits both settings.
        if (::chdir(folder.path().c_str()) != 0) throw std::runtime_error("cannot enter " + folder.path());
        ::setenv("QZ_LOG_DIR", folder.path().c_str(), 1);
        bench::JobServerProcess server(QZWS_JOBSERVER_PATH, folder.path());
        baseUrl = server.baseUrl();
        benchmark::RunSpecifiedBenchmarks();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "summary_log_bench: %s\n", e.what());
        return 1;
    }
    benchmark::Shutdown();
    return 0;
}
