// A short host program: sends files and folders to a job server as one job.
//
//   QZWS_PASSWORD=secret upload_job https://jobs.example.net/app/ alice Upload report.pdf data/
#include <qz/ws.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

static void progress(const qz::GlobalStateAndStats& s, void*) {
    std::printf("\r%llu of %llu bytes, %llu of %llu files%s", static_cast<unsigned long long>(s.totalBytesTransferred),
                static_cast<unsigned long long>(s.totalBytes), static_cast<unsigned long long>(s.filesDone),
                static_cast<unsigned long long>(s.filesTotal), s.finished ? "\n" : "");
    std::fflush(stdout);
}

int main(int argc, char** argv) {
    const char* password = std::getenv("QZWS_PASSWORD");
    if (argc < 5 || password == nullptr) {
        std::fprintf(stderr, "usage: QZWS_PASSWORD=... %s URL USER ORDERFORM PATH...\n", argv[0]);
        return 2;
    }
    qz::WS::initialize_third_party_libs();
    qz::WS ws;
    try {
        ws.login(argv[1], argv[2], password);
        if (ws.get_state() != qz::WS::eLoginDone) {
            std::fprintf(stderr, "the server did not accept the login\n");
            return 1;
        }
        ws.createJob(argv[3], {});
        for (int i = 4; i < argc; ++i) {
            if (std::filesystem::is_directory(argv[i])) {
                ws.queueRecursiveDirectory(argv[i]);
            } else {
                ws.queueSingleFile(argv[i]);
            }
        }
        qz::GlobalStateAndStats done = ws.uploadQueuedFiles(progress, nullptr);
        std::printf("job %s finished: %llu files, %llu bytes\n", ws.jobId.c_str(),
                    static_cast<unsigned long long>(done.filesDone),
                    static_cast<unsigned long long>(done.totalBytesTransferred));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "failed in state \"%s\": %s\n", qz::to_string(ws.get_state()).c_str(), e.what());
        return 1;
    }
}
