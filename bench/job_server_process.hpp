#pragma once
// Starts qzws-jobserver on a free loopback port in a folder of its own and
// stops it again. For the benchmarks that talk to a real job server.
//
//   bench::JobServerProcess server(QZWS_JOBSERVER_PATH, folder);
//   ws.login(server.baseUrl(), bench::kUser, bench::kPassword);

#include <string>
#include <sys/types.h>

namespace bench {

inline constexpr const char* kUser = "alice";
inline constexpr const char* kPassword = "wonderland";
inline constexpr const char* kJobForm = "Sequencing run";  // an order form of type "job"

class JobServerProcess {
public:
    // Writes the configuration into `folder`, starts the server there and
    // waits for its "listening on" line. Throws std::runtime_error on failure.
    JobServerProcess(const std::string& executable, const std::string& folder);
    ~JobServerProcess();
    JobServerProcess(const JobServerProcess&) = delete;
    JobServerProcess& operator=(const JobServerProcess&) = delete;

    const std::string& baseUrl() const { return baseUrl_; }

private:
    pid_t pid_ = -1;
    std::string baseUrl_;
};

// A fresh folder under the system's temporary folder; removed with its content.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace bench
