// Drives the transfer engine for the upload comparison (bench/upload_compare.sh).
//
//   upload_engine upload --host 127.0.0.1 --port 2121 --user u --password p --connections 3 /data/tree
//     uploads a file or a folder (the folder's contents land in the login
//     folder) and prints "seconds=… bytes=… files=… hashed=…" (files the
//     server's SHA-256 confirmed); with --no-server-hash
//     the engine does not ask a server that offers HASH for the stored files'
//     SHA-256 (the local one is taken while reading either way); with
//     --no-pipelining every connection sends one command at a time; with
//     --tls it speaks FTPS (explicit TLS on control and data), checking the
//     server's certificate against --ca-file (default: the system's store)
//   upload_engine queue-memory /data/100k-tree [--upload --host … --port … --user … --password …]
//     queues the folder, prints the peak resident memory (VmHWM) after queueing
//     and, with --upload, after uploading it too
//
// Any failure prints the engine's message and exits with 1.
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "qz/engine.hpp"

namespace {

struct Target {
    std::string host = "127.0.0.1";
    std::uint16_t port = 21;
    std::string user;
    std::string password;
    int connections = 1;
    int blockSize = qz::Options().blockSize;
    bool noServerHash = false;
    bool noPipelining = false;
    bool tls = false;
    std::string caFile;

    void addTo(CLI::App* command) {
        command->add_option("--host", host, "FTP server address");
        command->add_option("--port", port, "FTP server port");
        command->add_option("--user", user, "login name");
        command->add_option("--password", password, "password");
        command->add_option("--connections", connections, "parallel connections (1 to 16)")->check(CLI::Range(1, 16));
        command->add_option("--block-size", blockSize, "bytes handed to a connection at once")
            ->check(CLI::Range(16 * 1024, 2 * 1024 * 1024));
        command->add_flag("--no-server-hash", noServerHash,
                          "check stored files by their size alone, not by the server's SHA-256");
        command->add_flag("--no-pipelining", noPipelining, "send one command at a time on every connection");
        command->add_flag("--tls", tls, "FTPS: explicit TLS on the control and the data connections");
        command
            ->add_option("--ca-file", caFile, "PEM file of the authorities the server's certificate is checked against")
            ->check(CLI::ExistingFile);
    }

    qz::Options options() const {
        qz::Options o;
        o.setFtpServer(host, port);
        o.setUsernameAndPassword(user, password);
        o.setMultiThreaded(connections > 1, connections);
        o.setMode(qz::ETransferMode::eParallel, qz::EConnectionMode::ePassive);
        o.setLimits(o.unitSize, blockSize);
        o.setServerHashCheck(!noServerHash);
        o.setPipelining(!noPipelining);
        o.setEncryption(tls, tls);
        if (!caFile.empty()) o.setCertificateAuthority(caFile);
        return o;
    }
};

// The process's peak resident set so far, in KiB, from /proc/self/status.
long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

void queue(qz::Control& control, const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        control.prepareRecursiveDir(qz::Local(path), qz::Remote("."));
    } else {
        control.prepareSingleFile(qz::Local(path));
    }
}

// Uploads what is queued; the failure of any file is an error.
void upload(qz::Control& control) {
    control.connect();
    control.upload();
    control.disconnect();
    const auto& stats = control.getGlobalStateAndStats();
    if (stats.filesDone != stats.filesTotal) {
        throw std::runtime_error(std::to_string(stats.filesDone) + " of " + std::to_string(stats.filesTotal) +
                                 " files arrived");
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"upload_engine: the transfer engine's side of the upload comparison"};
    app.require_subcommand(1);

    Target target;
    std::string path;
    auto* send = app.add_subcommand("upload", "upload a file or a folder, print the time taken");
    target.addTo(send);
    send->add_option("path", path, "file or folder")->required();

    Target memoryTarget;
    std::string tree;
    bool alsoUpload = false;
    auto* memory = app.add_subcommand("queue-memory", "queue a folder, print the peak resident memory");
    memoryTarget.addTo(memory);
    memory->add_option("folder", tree, "folder to queue")->required()->check(CLI::ExistingDirectory);
    memory->add_flag("--upload", alsoUpload, "upload the queue as well");

    CLI11_PARSE(app, argc, argv);

    try {
        if (*send) {
            qz::Control control(target.options());
            const auto begin = std::chrono::steady_clock::now();
            queue(control, path);
            upload(control);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            const auto& stats = control.getGlobalStateAndStats();
            unsigned long long hashed = 0;
            for (const auto& [number, file] : stats.fileMap) hashed += file.verifiedByHash ? 1 : 0;
            std::printf("seconds=%.3f bytes=%llu files=%llu hashed=%llu\n", seconds,
                        static_cast<unsigned long long>(stats.totalBytesTransferred),
                        static_cast<unsigned long long>(stats.filesDone), hashed);
        } else {
            const long before = peakResidentKiB();
            qz::Control control(memoryTarget.options());
            const auto begin = std::chrono::steady_clock::now();
            control.prepareRecursiveDir(qz::Local(tree), qz::Remote("."));
            const double queueSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            std::printf("files=%llu start_hwm_kib=%ld queue_hwm_kib=%ld queue_seconds=%.3f\n",
                        static_cast<unsigned long long>(control.getGlobalStateAndStats().filesTotal), before,
                        peakResidentKiB(), queueSeconds);
            if (alsoUpload) {
                const auto sent = std::chrono::steady_clock::now();
                upload(control);
                const double uploadSeconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
                std::printf("upload_hwm_kib=%ld upload_seconds=%.3f\n", peakResidentKiB(), uploadSeconds);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "upload_engine: %s\n", e.what());
        return 1;
    }
    return 0;
}
