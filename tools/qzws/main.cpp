// qzws: the command line of libqzws.
#include <CLI/CLI.hpp>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>

#include "password.hpp"
#include "qz/log.hpp"
#include "qzws_version.hpp"
#include "terminal_text.hpp"
#include "upload_job.hpp"

namespace {

using namespace qzcli;

const char* const kExitCodes =
    "Exit codes:\n"
    "  0    the job is finalized (upload) or the server answered (ping)\n"
    "  1    an unexpected failure\n"
    "  2    usage: bad arguments (a --url that is not http:// or https://, a --set\n"
    "       key the library does not know or a value it refuses), or no password\n"
    "  3    login: refused, or the job server could not be reached\n"
    "  4    job creation (for example an unknown order form)\n"
    "  5    a path that cannot be sent (missing, unreadable, not a file or folder,\n"
    "       a name refused or already taken, see below); every path is checked\n"
    "       before the job is created\n"
    "  6    connection to the transfer server\n"
    "  7    upload\n"
    "  8    sending the transfer log\n"
    "  9    finalization of the job\n"
    "  10   keep-alive request (ping)\n"
    "  11   the engine's log folder or a log file cannot be used (QZ_LOG_DIR);\n"
    "       checked before login, so no job is created\n"
    "  129  hung up (SIGHUP: the terminal closed)\n"
    "  130  interrupted (Ctrl-C, SIGTERM)\n"
    "\n"
    "The password comes from the environment variable QZWS_PASSWORD, else from\n"
    "--password-file FILE, else from a prompt when standard input is a terminal.\n"
    "QZWS_URL and QZWS_USER stand in for --url and --user when those are not given.\n"
    "\n"
    "Where a PATH lands: a file under its own name; a folder a/run under its own\n"
    "name (run/...); a folder given with a trailing slash (a/run/, also . and ..)\n"
    "with its contents at the top. Refused before any byte is sent (exit code 5):\n"
    "two entries on one remote name (both local paths are named; the same file\n"
    "twice is sent once), and names holding a control byte (TAB, CR, LF, ...),\n"
    "\"#,#\" (or ending in \"#,\"), a \"..\" part or bytes that are not UTF-8.\n"
    "Links to files are sent; links to folders are skipped with a notice unless\n"
    "--follow-links; loops, dangling links and links to FIFOs, sockets or devices\n"
    "are always skipped with a notice, printed on stderr and listed in --json.\n";

const char* const kTransferFaults =
    "Transfer faults:\n"
    "  A transfer server that goes away during the upload (restart, failover, dropped\n"
    "  link, a \"421 Service not available\" greeting, a connection closed before its\n"
    "  greeting) is waited for up to 120 s, reconnecting after 0.5, 1, 2, 4, then\n"
    "  every 8 s; files resume from the bytes the server holds. A server that cannot\n"
    "  be reached when the upload starts ends it at once, at the connection (exit\n"
    "  status 6). A file that fails while the server answers is tried 5 times; a 5xx\n"
    "  reply fails it at once; a transfer on which nothing moves for 30 s is dropped\n"
    "  and resumed. Refused before anything is sent: a user, password or host from\n"
    "  the job server holding a control character, a host that is not a plain host\n"
    "  name or IP address, a port that is not a number from 1 to 65535. A queued file\n"
    "  that became a FIFO, socket or device fails by name. Files not sent are named\n"
    "  at the end and never reported to the job server as sent.\n";

// The cookie file of the running client and the engine's logs (their folder
// last, when one was made for them), removed when the user interrupts or the
// terminal hangs up: the library's calls block, so the handler cleans up and
// leaves at once, and _exit skips the removal the engine does at exit. With
// --json the handler prints the summary too, with the state the client had
// reached. Worked out beforehand: a handler may only read memory and make
// async-signal-safe calls.
char interruptedCookieFile[4096];
char interruptedLogPaths[4][4096];
volatile sig_atomic_t interruptedJson = 0;
const qz::WS* interruptedClient = nullptr;
char interruptedStates[qz::WS::eFinished + 1][32];
// The job id as a JSON string, complete before it is marked ready.
char interruptedJobId[1024];
volatile sig_atomic_t interruptedJobIdReady = 0;

void writeText(int fd, const char* text) {
    if (write(fd, text, std::strlen(text)) < 0) {
        // Nothing more can be done from a signal handler.
    }
}

void writeInterruptedJson(int signal, int exitCode) {
    const int state = interruptedClient ? static_cast<int>(interruptedClient->state) : 0;
    writeText(STDOUT_FILENO, "{\n  \"jobId\": ");
    writeText(STDOUT_FILENO, interruptedJobIdReady ? interruptedJobId : "\"\"");
    writeText(STDOUT_FILENO, ",\n  \"state\": \"");
    writeText(STDOUT_FILENO, state >= 0 && state <= qz::WS::eFinished ? interruptedStates[state] : "?");
    writeText(STDOUT_FILENO, "\",\n  \"ok\": false,\n  \"stage\": \"interrupted\",\n  \"error\": \"interrupted by ");
    writeText(STDOUT_FILENO, signal == SIGHUP ? "SIGHUP" : signal == SIGTERM ? "SIGTERM" : "SIGINT");
    writeText(STDOUT_FILENO, "\",\n  \"exitCode\": ");
    writeText(STDOUT_FILENO, exitCode == eExitHangUp ? "129" : "130");
    writeText(STDOUT_FILENO, "\n}\n");
}

extern "C" void onInterrupt(int signal) {
    const int exitCode = signal == SIGHUP ? eExitHangUp : eExitInterrupted;
    writeText(STDERR_FILENO, signal == SIGHUP ? "\nqzws: hung up\n" : "\nqzws: interrupted\n");
    if (interruptedCookieFile[0]) unlink(interruptedCookieFile);
    for (const char* path : interruptedLogPaths) {
        if (path[0] && unlink(path) != 0) rmdir(path);
    }
    if (interruptedJson) writeInterruptedJson(signal, exitCode);
    _exit(exitCode);
}

// Copies `text` into `to`, or leaves `to` empty when it does not fit: a
// shortened path would name another file.
template <std::size_t size>
void keepText(char (&to)[size], const std::string& text) {
    to[0] = '\0';
    if (text.size() < size) std::memcpy(to, text.c_str(), text.size() + 1);
}

void removeOnInterrupt(const qz::WS& ws, bool logs, bool json) {
    keepText(interruptedCookieFile, ws.cookieFile);
    if (logs) {
        const std::vector<std::string> paths = qz::logPathsRemovedAtExit();
        for (std::size_t i = 0; i < paths.size() && i < std::size(interruptedLogPaths); ++i) {
            keepText(interruptedLogPaths[i], paths[i]);
        }
    }
    interruptedClient = &ws;
    for (int state = 0; state <= qz::WS::eFinished; ++state) {
        keepText(interruptedStates[state], qz::to_string(static_cast<qz::WS::EState>(state)));
    }
    interruptedJson = json ? 1 : 0;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

// For the summary the handler prints; an id too long to keep stays "".
void keepJobIdForInterrupt(const std::string& jobId) {
    interruptedJobIdReady = 0;
    keepText(interruptedJobId, nlohmann::json(jobId).dump(-1, ' ', true, nlohmann::json::error_handler_t::replace));
    interruptedJobIdReady = interruptedJobId[0] != '\0';
}

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::map<std::string, std::string> keyValues(const std::vector<std::string>& items, const char* option) {
    std::map<std::string, std::string> out;
    for (const auto& item : items) {
        auto eq = item.find('=');
        if (eq == std::string::npos || eq == 0) {
            throw UsageError(std::string(option) + " expects KEY=VALUE, got \"" + item + "\"");
        }
        out[item.substr(0, eq)] = item.substr(eq + 1);
    }
    return out;
}

// "http://" or "https://" (whatever their case) when `url` begins with it
// and names more than that, else "".
std::string webScheme(const std::string& url) {
    const std::size_t end = url.find("://");
    if (end == std::string::npos || end + 3 == url.size()) return "";
    std::string scheme = url.substr(0, end + 3);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme == "http://" || scheme == "https://" ? scheme : "";
}

// The library's own rules decide which settings it takes: each one is tried
// on a client of its own, which records a refusal in its message.
void checkSettings(const std::map<std::string, std::string>& settings) {
    qz::WS probe;
    for (const auto& [key, value] : settings) {
        probe.message.clear();
        probe.setX({{key, value}});
        if (!probe.message.empty()) throw UsageError("--set " + key + ": " + probe.message);
    }
}

std::string passwordFor(const std::string& file, const std::string& user) {
    auto password = findPassword(file, "password for " + user + ": ");
    if (!password) {
        throw UsageError("no password: set QZWS_PASSWORD, give --password-file FILE, or run on a terminal");
    }
    return *password;
}

// Errors quote servers, so they are printed as one line of plain characters.
int report(const Outcome& o) {
    if (o.exitCode != eExitOk) std::cerr << "qzws: " << printable(o.error) << "\n";
    return o.exitCode;
}

struct LoginOptions {
    std::string url;
    std::string user;
    std::string passwordFile;
    std::vector<std::string> settings;
    bool noHttpWarning = false;

    void addTo(CLI::App* command) {
        command->add_option("--url", url, "base URL of the job server")->envname("QZWS_URL")->required();
        command->add_option("--user", user, "user name")->envname("QZWS_USER")->required();
        command->add_option("--password-file", passwordFile, "read the password from the first line of FILE");
        command->add_option("--set", settings,
                            "client setting KEY=VALUE (e.g. verbose=on, sslverifypeer=0); "
                            "connecttimeout=30 and timeout=600 (seconds) unless set");
        command->add_flag("--no-http-warning", noHttpWarning,
                          "no warning that the login travels without encryption to an http:// job server");
    }
    Credentials credentials() const {
        // Anything else would only fail later, after the password was asked for.
        const std::string scheme = webScheme(url);
        if (scheme.empty()) throw UsageError("--url must be an http:// or https:// address, got \"" + url + "\"");
        // A silent server must not hold the command for ever; --set overrides these.
        std::map<std::string, std::string> chosen = {{"connecttimeout", "30"}, {"timeout", "600"}};
        for (auto& [key, value] : keyValues(settings, "--set")) chosen[key] = value;
        checkSettings(chosen);
        // The protocol scrambles the password with a key sent beside it: over
        // plain http anyone on the way can read both.
        if (scheme == "http://" && !noHttpWarning) {
            std::cerr << "qzws: warning: the login to " << url
                      << " travels without encryption (the password is scrambled, not encrypted); "
                         "use https, or --no-http-warning to silence this\n";
        }
        return {url, user, passwordFor(passwordFile, user), chosen};
    }
};

}  // namespace

// The options are set up outside the try: that throws only on a mistake in
// the setup itself or when memory runs out.
// NOLINTNEXTLINE(bugprone-exception-escape)
int main(int argc, char** argv) {
    CLI::App app{"qzws: send local files to a job server as one job"};
    app.footer(kExitCodes);
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("qzws ") + QZWS_VERSION);

    LoginOptions login;
    std::string form;
    std::vector<std::string> fields;
    std::vector<std::string> paths;
    bool noProgress = false;
    bool json = false;
    bool noPlainFtpWarning = false;
    auto* upload = app.add_subcommand("upload", "log in, create a job, upload the paths and finalize the job");
    upload->footer(kTransferFaults);
    login.addTo(upload);
    upload->add_option("--form", form, "order form of the job")->required();
    upload->add_option("--field", fields, "job field KEY=VALUE");
    upload->add_flag("--no-progress", noProgress, "no progress bar (a plain line every few seconds instead)");
    upload->add_flag("--json", json, "print one JSON object with the result at the end (also when interrupted)");
    upload->add_flag("--no-plain-ftp-warning", noPlainFtpWarning,
                     "no warning that the transfer runs without TLS (the job server did not ask for it, or its "
                     "\"useSSL\" is not \"true\")");
    bool requireVerified = false;
    upload->add_flag("--require-verified", requireVerified,
                     "fail each file whose arrival nothing proved: the server gave neither its size nor its "
                     "SHA-256, and no listing showed its size");
    bool followLinks = false;
    upload->add_flag("--follow-links", followLinks,
                     "walk links to folders too (a link back into its own path is a loop and skipped); "
                     "by default they are skipped with a notice");
    upload
        ->add_option("PATH", paths,
                     "files and folders to send; a folder lands under its own name (a/run as run/...), "
                     "with a trailing / its contents do (a/run/ as ...)")
        ->required();

    auto* info = app.add_subcommand("info", "print the versions of the library and what it works with");
    bool infoJson = false;
    info->add_flag("--json", infoJson, "as one JSON object");

    LoginOptions pingLogin;
    auto* pingCommand = app.add_subcommand("ping", "log in and send one keep-alive request");
    pingLogin.addTo(pingCommand);

    // A reader that went away must not end the upload: writes then fail
    // with EPIPE, and the progress stops.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? eExitOk : eExitUsage;
    }

    try {
        if (info->parsed()) {
            auto rows = qz::WS::library_info();
            if (infoJson) {
                std::cout << nlohmann::json(rows).dump(2) << "\n";
            } else {
                for (const auto& [key, value] : rows) std::cout << key << ": " << value << "\n";
            }
            return eExitOk;
        }

        qz::WS::initialize_third_party_libs();
        if (pingCommand->parsed()) {
            Credentials credentials = pingLogin.credentials();
            qz::WS ws;
            removeOnInterrupt(ws, false, false);  // ping writes no log
            int code = report(ping(ws, credentials));
            if (code == eExitOk) std::cout << "qzws: " << credentials.url << " answered the keep-alive request\n";
            return code;
        }

        JobRequest request{login.credentials(),
                           form,
                           keyValues(fields, "--field"),
                           paths,
                           followLinks ? qz::eFollowFolderLinks : qz::eSkipFolderLinks,
                           requireVerified};
        const bool terminal = ::isatty(json ? STDERR_FILENO : STDOUT_FILENO) != 0;
        auto style = noProgress || !terminal ? ProgressDisplay::EStyle::ePlain : ProgressDisplay::EStyle::eBar;
        // With --json the progress goes to stderr, so that stdout holds the JSON alone.
        ProgressDisplay progress(style, json ? stderr : stdout);
        qz::WS ws;
        removeOnInterrupt(ws, true, json);
        Outcome outcome = runUpload(ws, request, progress, [&] {
            keepJobIdForInterrupt(ws.jobId);
            if (noPlainFtpWarning) return;
            if (const std::string warning = plainTransferWarning(ws); !warning.empty()) {
                std::cerr << "qzws: warning: " << printable(warning) << "\n";
            }
        });
        for (const auto& warning : runWarnings(ws)) std::cerr << "qzws: warning: " << printable(warning) << "\n";
        interruptedJson = 0;  // the summary below says how the run ended
        if (json) {
            // ASCII only: no byte of a server's text reaches a terminal that shows the JSON.
            std::cout << summaryJson(ws, outcome).dump(2, ' ', true, nlohmann::json::error_handler_t::replace) << "\n";
        }
        if (!json) std::cerr << skippedLines(outcome.stats);
        if (outcome.exitCode == eExitOk && !json) {
            std::cout << "qzws: job " << printable(ws.jobId) << " finalized: " << outcome.stats.filesDone << " files"
                      << linkCounts(outcome.stats) << ", " << formatBytes(outcome.stats.totalBytesTransferred) << " in "
                      << formatDuration(outcome.stats.elapsedSeconds) << "\n";
        }
        return report(outcome);
    } catch (const UsageError& e) {
        std::cerr << "qzws: " << printable(e.what()) << "\n";
        return eExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "qzws: " << printable(e.what()) << "\n";
        return eExitFailure;
    }
}
