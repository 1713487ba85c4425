// qzws-jobserver: the reference job server.
//
//   qzws-jobserver --config jobserver.json --listen 127.0.0.1:0
//
// The first line on stdout is "listening on http://HOST:PORT/" with the port
// actually bound (https with --tls-cert and --tls-key). One line per request
// goes to stderr. SIGINT or SIGTERM stops it cleanly.

#include <CLI/CLI.hpp>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <thread>

#include "config.hpp"
#include "job_server.hpp"
#include "qzws_version.hpp"

namespace {

struct ListenAddress {
    std::string host;
    int port = 0;
};

ListenAddress parseListen(const std::string& text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) throw std::runtime_error("--listen: expected HOST:PORT");
    ListenAddress address{text.substr(0, colon), 0};
    const std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) > 65535) {
        throw std::runtime_error("--listen: \"" + port + "\" is not a port number");
    }
    address.port = std::stoi(port);
    if (address.host.size() > 2 && address.host.front() == '[' && address.host.back() == ']') {
        address.host = address.host.substr(1, address.host.size() - 2);
    }
    return address;
}

}  // namespace

// The options are set up outside the try: that throws only on a mistake in
// the setup itself or when memory runs out.
// NOLINTNEXTLINE(bugprone-exception-escape)
int main(int argc, char** argv) {
    CLI::App app{"qzws-jobserver: the reference job server"};
    app.set_version_flag("--version", std::string("qzws-jobserver ") + QZWS_VERSION);
    std::string configPath;
    std::string listen = "127.0.0.1:0";
    std::string certPath;
    std::string keyPath;
    app.add_option("--config", configPath, "JSON file with users, order forms and the transfer server")
        ->required()
        ->check(CLI::ExistingFile);
    app.add_option("--listen", listen, "HOST:PORT to listen on; port 0 picks a free port");
    auto* cert = app.add_option("--tls-cert", certPath, "PEM certificate: serve HTTPS")->check(CLI::ExistingFile);
    auto* key = app.add_option("--tls-key", keyPath, "PEM private key of the certificate")->check(CLI::ExistingFile);
    cert->needs(key);
    key->needs(cert);
    CLI11_PARSE(app, argc, argv);

    try {
        const ListenAddress address = parseListen(listen);
        jobserver::JobServer jobs(jobserver::loadConfigFile(configPath));

        std::unique_ptr<httplib::Server> server;
        if (!certPath.empty()) {
            server = std::make_unique<httplib::SSLServer>(certPath.c_str(), keyPath.c_str());
        } else {
            server = std::make_unique<httplib::Server>();
        }
        if (!server->is_valid()) {
            std::cerr << "qzws-jobserver: cannot use the certificate \"" << certPath << "\" with the key \"" << keyPath
                      << "\"\n";
            return 1;
        }
        jobs.install(*server, &std::cerr);

        int port = address.port;
        if (port == 0) {
            port = server->bind_to_any_port(address.host);
        } else if (!server->bind_to_port(address.host, port)) {
            port = -1;
        }
        if (port < 0) {
            std::cerr << "qzws-jobserver: cannot listen on " << listen << "\n";
            return 1;
        }

        // Signals are taken by one waiting thread, so that stopping the server
        // happens on an ordinary thread and not inside a signal handler.
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
        // A stop before the server runs would be lost, so the waiter holds it
        // until the server is running or has ended anyway.
        std::atomic<bool> ended{false};
        std::thread waiter([&server, &stopSignals, &ended] {
            int signal = 0;
            sigwait(&stopSignals, &signal);
            while (!ended && !server->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (!ended) server->stop();
        });

        const bool tls = !certPath.empty();
        const bool ipv6 = address.host.find(':') != std::string::npos;
        std::cout << "listening on " << (tls ? "https" : "http") << "://" << (ipv6 ? "[" : "") << address.host
                  << (ipv6 ? "]" : "") << ":" << port << "/" << std::endl;

        const bool listened = server->listen_after_bind();
        ended = true;
        // Wakes the waiter when the server ended for another reason. Every
        // thread blocks SIGTERM, so it reaches only the waiter's sigwait.
        // NOLINTNEXTLINE(bugprone-bad-signal-to-kill-thread)
        pthread_kill(waiter.native_handle(), SIGTERM);
        waiter.join();
        if (!listened) {
            std::cerr << "qzws-jobserver: the server stopped unexpectedly\n";
            return 1;
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "qzws-jobserver: " << e.what() << "\n";
        return 1;
    }
}
