// Uploads a folder's files with pipelined commands (engine/src/ftp_pipeline),
// the files dealt out in turn to the connections, and prints how long it took:
//
//   pipeline_upload --host 127.0.0.1 --port 2121 --user u --password p --connections 3 /data/small
//   -> "seconds=1.234 login_seconds=0.100 files=200 control_writes=206 resumed_tls=0"
//
// login_seconds is the part of seconds spent logging in, all connections at once. Any failure prints what failed and exits with 1.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <curl/curl.h>

#include "ftp_pipeline.hpp"
#include "qz/exception.hpp"

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    std::uint16_t port = 21;
    std::string user;
    std::string password;
    int connections = 1;
    std::string caFile;
    std::string folder;
    CLI::App app{"pipelined upload of a folder's files"};
    app.add_option("--host", host, "FTP server address");
    app.add_option("--port", port, "FTP server port");
    app.add_option("--user", user, "login name");
    app.add_option("--password", password, "password");
    app.add_option("--connections", connections, "control connections (1 to 16)")->check(CLI::Range(1, 16));
    app.add_option("--tls", caFile, "FTPS (AUTH TLS), the server checked against this CA file");
    app.add_option("folder", folder, "the files to send, their names kept")->required();
    CLI11_PARSE(app, argc, argv);

    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.is_regular_file()) paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<std::vector<qz::PipelineFile>> shares(static_cast<std::size_t>(connections));
    for (std::size_t i = 0; i < paths.size(); ++i) {
        shares[i % shares.size()].push_back({paths[i], std::filesystem::path(paths[i]).filename().string()});
    }

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    // The logins run side by side, as a parallel peer's do; libcurl's global
    // set-up must not run in several threads at once.
    curl_global_init(CURL_GLOBAL_ALL);
    qz::FtpLogin login;
    login.host = host;
    login.port = port;
    login.user = user;
    login.password = password;
    login.tls = !caFile.empty();
    login.caFile = caFile;
    std::vector<std::future<std::unique_ptr<qz::CurlControlLink>>> logins;
    for (std::size_t c = 0; c < shares.size(); ++c) {
        logins.push_back(std::async(std::launch::async, [&] { return qz::CurlControlLink::login(login); }));
    }
    std::vector<std::unique_ptr<qz::CurlControlLink>> links;
    std::vector<std::unique_ptr<qz::FtpPipeline>> pipelines;
    std::vector<qz::FtpPipeline*> driven;
    try {
        for (std::size_t c = 0; c < shares.size(); ++c) {
            links.push_back(logins[c].get());
            pipelines.push_back(std::make_unique<qz::FtpPipeline>(*links.back(), shares[c]));
            driven.push_back(pipelines.back().get());
        }
    } catch (const qz::Exception& e) {
        std::cerr << "pipeline_upload: " << e.what() << "\n";
        return 1;
    }
    const auto loggedIn = Clock::now();
    qz::runPipelines(driven, std::chrono::seconds(60));
    const auto end = Clock::now();

    unsigned writes = 0;
    std::size_t confirmed = 0;
    std::size_t resumed = 0;
    int status = 0;
    for (std::size_t c = 0; c < pipelines.size(); ++c) {
        const qz::FtpPipeline& p = *pipelines[c];
        writes += p.controlWrites();
        if (!p.fault().empty()) {
            std::cerr << "pipeline_upload: connection " << c << ": " << p.fault() << "\n";
            status = 1;
        }
        for (std::size_t i = 0; i < p.results().size(); ++i) {
            const auto& r = p.results()[i];
            if (r.state == qz::EPipelineFile::eConfirmed) {
                ++confirmed;
                if (r.resumedTls) ++resumed;
            } else {
                std::cerr << "pipeline_upload: " << shares[c][i].localPath << ": not confirmed " << r.fault << "\n";
                status = 1;
            }
        }
    }
    const std::chrono::duration<double> seconds = end - start;
    const std::chrono::duration<double> loginTime = loggedIn - start;
    std::cout << "seconds=" << seconds.count() << " login_seconds=" << loginTime.count() << " files=" << confirmed
              << " control_writes=" << writes << " resumed_tls=" << resumed << "\n";
    pipelines.clear();
    links.clear();
    curl_global_cleanup();
    return status;
}
