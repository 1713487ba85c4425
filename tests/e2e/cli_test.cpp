// The qzws command as a new user meets it: a whole job, and each way it can
// go wrong, ending in one clear line, a documented exit code and no stray
// cookie file.
#include <curl/curl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <regex>
#include <set>
#include <thread>

#include "e2e/servers.hpp"
#include "qz/strings.hpp"
#include "support/command.hpp"
#include "support/digest.hpp"
#include "support/script_server.hpp"

namespace {

using qztest::Command;
using qztest::CommandResult;

class Cli : public qztest::WithServers {
protected:
    Command qzws(std::vector<std::string> args) {
        args.insert(args.begin(), QZWS_CLI_PATH);
        Command c(std::move(args));
        c.workingDir(path("cwd"));
        return c;
    }
    void SetUp() override {
        WithServers::SetUp();
        std::filesystem::create_directories(path("cwd"));
    }
    int cookieFilesLeft() {
        int n = 0;
        for (const auto& e : std::filesystem::directory_iterator(path("cwd"))) {
            n += e.path().filename().string().find("_cookies.txt") != std::string::npos;
        }
        return n;
    }
    std::vector<std::string> upload() {
        return {"upload",  "--url",       jobs->baseUrl(), "--user",           "alice", "--form", "Sequencing run",
                "--field", "project=cli", "--no-progress", "--no-http-warning"};
    }
    static int lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }
    // `text` as a regular expression that matches it alone.
    static std::string literal(const std::string& text) {
        return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
    }
    // No byte that a terminal takes as a control, but the line ends.
    static bool plainLines(const std::string& text) {
        for (unsigned char c : text) {
            if ((c < 0x20 && c != '\n') || c == 0x7F) return false;
        }
        return text.find("\xC2\x9B") == std::string::npos;
    }
};

TEST_F(Cli, UploadsAJobAndReportsItAsJson) {
    startServers();
    writeFile("data/a.txt", "alpha");
    writeFile("data/sub/b.bin", std::string(200000, 'b'));
    auto args = upload();
    args.insert(args.end(), {"--json", path("data")});
    CommandResult r = qzws(args).env("QZWS_PASSWORD", "wonderland").run();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto summary = nlohmann::json::parse(r.out);
    EXPECT_EQ(summary["state"], "finished");
    EXPECT_EQ(summary["ok"], true);
    EXPECT_EQ(summary["filesDone"], 2);
    EXPECT_EQ(summary["bytesTransferred"], 200005);
    EXPECT_EQ(summary["files"][0]["remote"], "data/a.txt");
    EXPECT_EQ(summary["files"][1]["remote"], "data/sub/b.bin");
    EXPECT_EQ(summary["files"][1]["result"], "done");
    // SHA-256 of "alpha"; pyftpdlib offers no HASH, so its byte count checked it.
    EXPECT_EQ(summary["files"][0]["sha256"], "8ed3f6ad685b959ead7022518e1af76cd816f8e8ec7ccdda1ed4018e8f2223f8");
    EXPECT_EQ(summary["files"][0]["verifiedByHash"], false);
    EXPECT_EQ(summary["files"][0]["verifiedBy"], "size");
    auto job = theJob();
    EXPECT_EQ(job["id"], summary["jobId"]);
    EXPECT_EQ(job["state"], "finalized");
    EXPECT_EQ(job["fields"]["project"], "cli");
    EXPECT_EQ(cookieFilesLeft(), 0);
}

TEST_F(Cli, FoldersLandUnderTheirNamesAndLinksAreSkippedOrFollowed) {
    startServers();
    namespace fs = std::filesystem;
    const std::string first = writeFile("one/set/x.bin", std::string(300000, '1'));
    const std::string second = writeFile("two/set/x.bin", std::string(200000, '2'));
    fs::create_symlink("x.bin", path("two/set/link.bin"));
    fs::create_symlink("../../one/set", path("two/set/folder-link"));
    fs::create_symlink(".", path("two/set/loop"));
    fs::create_symlink("nowhere", path("two/set/dangling"));
    // A folder name in Latin-1: the local path in --json cannot be UTF-8.
    const std::string latin1 = writeFile("caf\xE9/note.txt", "note");
    auto run = [&](std::vector<std::string> extra) {
        auto args = upload();
        args.insert(args.end(), extra.begin(), extra.end());
        return qzws(args).env("QZWS_PASSWORD", "wonderland").run();
    };
    auto jobOf = [&](const CommandResult& r) {
        const auto id = nlohmann::json::parse(r.out)["jobId"];
        const auto all = jobs->adminJobs();
        for (const auto& job : all["jobs"]) {
            if (job["id"] == id) return job;
        }
        return nlohmann::json();
    };
    auto arrived = [&](const std::string& remote) { return qztest::sha256File(ftp->root() + "/" + remote); };

    // Both folders would land as "set": refused before any byte is sent.
    CommandResult clash = run({"--json", path("one/set"), path("two/set")});
    EXPECT_EQ(clash.exitCode, 5) << clash.err;
    EXPECT_NE(clash.err.find("\"" + second + "\": the remote name \"set/x.bin\" is already taken by \"" + first + "\""),
              std::string::npos)
        << clash.err;
    EXPECT_TRUE(jobs->adminJobs()["jobs"].empty()) << "the paths are checked before the job is created";
    EXPECT_TRUE(fs::is_empty(ftp->root()));

    // A trailing slash sends the contents; links to folders are skipped with a notice.
    CommandResult side = run({"--json", path("one/set"), path("two/set/"), latin1});
    ASSERT_EQ(side.exitCode, 0) << side.err;
    auto summary = nlohmann::json::parse(side.out);
    std::vector<std::tuple<std::string, bool>> files;
    for (const auto& f : summary["files"]) files.emplace_back(f["remote"], f["viaLink"]);
    EXPECT_EQ(files,
              (decltype(files){{"set/x.bin", false}, {"link.bin", true}, {"x.bin", false}, {"note.txt", false}}));
    EXPECT_EQ(summary["files"][3]["local"], path("caf\uFFFD/note.txt"));
    EXPECT_EQ(summary["skipped"], nlohmann::json::parse(R"([
        {"local": ")" + path("two/set/dangling") + R"(", "reason": "dangling link"},
        {"local": ")" + path("two/set/folder-link") + R"(", "reason": "link to a folder, not followed"},
        {"local": ")" + path("two/set/loop") + R"(", "reason": "link to a folder, not followed"}])"));
    EXPECT_EQ(jobOf(side)["state"], "finalized");
    EXPECT_EQ(arrived("set/x.bin"), qztest::sha256File(first));
    EXPECT_EQ(arrived("x.bin"), qztest::sha256File(second));
    EXPECT_EQ(arrived("link.bin"), qztest::sha256File(second));
    EXPECT_EQ(arrived("note.txt"), qztest::sha256File(latin1));

    // Followed, a link to a folder is walked; the loop is still skipped.
    CommandResult followed = run({"--follow-links", path("two/set")});
    ASSERT_EQ(followed.exitCode, 0) << followed.err;
    EXPECT_NE(followed.out.find(" finalized: 3 files (2 through links), 2 skipped, "), std::string::npos)
        << followed.out;
    EXPECT_NE(followed.err.find("qzws: skipped \"" + path("two/set/loop") + "\": loop: leads back to \"" +
                                path("two/set") + "\"\n"),
              std::string::npos)
        << followed.err;
    EXPECT_EQ(arrived("set/folder-link/x.bin"), qztest::sha256File(first));
    EXPECT_EQ(arrived("set/link.bin"), qztest::sha256File(second));
    EXPECT_EQ(cookieFilesLeft(), 0);
}

TEST_F(Cli, PasswordFromAFile) {
    startServers();
    writeFile("pw.txt", "wonderland\n");
    writeFile("one.txt", "1");
    auto args = upload();
    args.insert(args.end(), {"--password-file", path("pw.txt"), path("one.txt")});
    CommandResult r = qzws(args).run();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("finalized"), std::string::npos) << r.out;
}

TEST_F(Cli, UrlAndUserFromTheEnvironmentUnlessGiven) {
    startServers();
    auto withEnvironment = [&](std::vector<std::string> args, const std::string& user) {
        return qzws(std::move(args))
            .env("QZWS_URL", jobs->baseUrl())
            .env("QZWS_USER", user)
            .env("QZWS_PASSWORD", "wonderland")
            .run();
    };
    CommandResult fromEnvironment = withEnvironment({"ping"}, "alice");
    EXPECT_EQ(fromEnvironment.exitCode, 0) << fromEnvironment.err;
    CommandResult given = withEnvironment({"ping", "--user", "alice"}, "nobody");
    EXPECT_EQ(given.exitCode, 0) << given.err;
}

TEST_F(Cli, EachFailureHasOneLineAndItsExitCode) {
    startServers();
    writeFile("one.txt", "1");
    const std::string url = jobs->baseUrl();
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string password;  // "-" for none at all
        int exitCode;
        std::string line;  // a regular expression for stderr
    };
    const Case cases[] = {
        {"wrong password",
         {"upload", "--url", url, "--user", "alice", "--form", "Sequencing run", path("one.txt")},
         "nope",
         3,
         "qzws: login refused by " + url + ": \".+\"\n"},
        {"unknown order form",
         {"upload", "--url", url, "--user", "alice", "--form", "Nope", path("one.txt")},
         "wonderland",
         4,
         "qzws: job creation with order form \"Nope\" failed: XML does not contain an order form called \"Nope\"\n"},
        {"unreachable server",
         {"upload", "--url", "http://127.0.0.1:1/app/", "--user", "alice", "--form", "F", path("one.txt")},
         "wonderland",
         3,
         "qzws: cannot reach http://127.0.0.1:1/app/getPickupSettings.do: .+\n"},
        {"missing path",
         {"upload", "--url", url, "--user", "alice", "--form", "Sequencing run", path("missing.txt")},
         "wonderland",
         5,
         "qzws: cannot send \".*missing.txt\": cannot queue \".*missing.txt\": No such file or directory\n"},
        {"no password",
         {"upload", "--url", url, "--user", "alice", "--form", "F", path("one.txt")},
         "-",
         2,
         "qzws: no password: .+\n"},
        {"no paths", {"upload", "--url", url, "--user", "alice", "--form", "F"}, "wonderland", 2, "(.|\n)*PATH(.|\n)*"},
        {"ping with a wrong password",
         {"ping", "--url", url, "--user", "alice"},
         "nope",
         3,
         "qzws: login refused by .+\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        args.insert(args.begin() + 1, "--no-http-warning");
        Command command = qzws(args);
        if (c.password != "-") command.env("QZWS_PASSWORD", c.password);
        CommandResult r = command.run();
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_TRUE(std::regex_match(r.err, std::regex(c.line))) << r.err;
        EXPECT_EQ(cookieFilesLeft(), 0);
    }
    CommandResult pong =
        qzws({"ping", "--no-http-warning", "--url", url, "--user", "alice"}).env("QZWS_PASSWORD", "wonderland").run();
    EXPECT_EQ(pong.exitCode, 0) << pong.err;
    EXPECT_EQ(pong.out, "qzws: " + url + " answered the keep-alive request\n");
}

TEST_F(Cli, UsageErrorsNameTheirCauseAndPlainHttpIsWarnedOf) {
    startServers();
    writeFile("one.txt", "1");
    const std::string url = jobs->baseUrl();
    struct Case {
        const char* name;
        std::vector<std::string> extra;
        std::string url;
        std::string line;
    };
    const Case cases[] = {
        {"unknown key", {"--set", "colour=red"}, url, "qzws: --set colour: unknown key \"colour\"\n"},
        {"refused value",
         {"--set", "timeout=soon"},
         url,
         "qzws: --set timeout: invalid value \"soon\" for key \"timeout\"\n"},
        {"empty url", {}, "", "qzws: --url must be an http:// or https:// address, got \"\"\n"},
        {"ftp url",
         {},
         "ftp://127.0.0.1/",
         "qzws: --url must be an http:// or https:// address, got \"ftp://127.0.0.1/\"\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"upload", "--url", c.url, "--user", "alice", "--form", "Sequencing run"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        args.push_back(path("one.txt"));
        CommandResult r = qzws(args).env("QZWS_PASSWORD", "wonderland").run();
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.err, c.line);
    }
    EXPECT_EQ(jobs->adminJobs()["jobs"].size(), 0u);

    const std::string warning = "qzws: warning: the login to " + url +
                                " travels without encryption (the password is scrambled, not encrypted); "
                                "use https, or --no-http-warning to silence this\n";
    CommandResult warned = qzws({"ping", "--url", url, "--user", "alice"}).env("QZWS_PASSWORD", "wonderland").run();
    EXPECT_EQ(warned.exitCode, 0);
    EXPECT_EQ(warned.err, warning);
}

TEST_F(Cli, PathsThatCannotBeSentLeaveNoJob) {
    startServers();
    writeFile("one.txt", "1");
    const std::string secret = writeFile("secret.txt", "s");
    ::chmod(dir().c_str(), 0755);
    ::chmod(secret.c_str(), 0600);
    // Root reads every file: the unreadable case runs as a user without privileges.
    std::vector<std::string> asOther;
    if (::geteuid() == 0) {
        asOther = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    } else {
        ::chmod(secret.c_str(), 0000);
    }
    struct Case {
        const char* name;
        std::vector<std::string> prefix;
        std::string missing;
        std::string reason;
    };
    const Case cases[] = {
        {"missing", {}, path("missing.txt"), "No such file or directory"},
        {"unreadable", asOther, secret, "Permission denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.prefix;
        args.push_back(QZWS_CLI_PATH);
        for (const auto& a : upload()) args.push_back(a);
        args.insert(args.end(), {path("one.txt"), c.missing});
        CommandResult r = Command(args).workingDir(path("cwd")).env("QZWS_PASSWORD", "wonderland").run();
        EXPECT_EQ(r.exitCode, 5) << r.err;
        EXPECT_EQ(r.err,
                  "qzws: cannot send \"" + c.missing + "\": cannot queue \"" + c.missing + "\": " + c.reason + "\n");
    }
    EXPECT_EQ(jobs->adminJobs()["jobs"].size(), 0u);
    EXPECT_EQ(cookieFilesLeft(), 0);
}

TEST_F(Cli, JsonStaysValidForNamesThatAreNotUtf8) {
    startServers();
    const std::string latin1 = writeFile("data/caf\xe9.txt", "latin-1");
    writeFile("data/x\xff\xc3(.bin", "invalid");
    auto args = upload();
    args.insert(args.end(), {"--json", path("data")});
    CommandResult r = qzws(args).env("QZWS_PASSWORD", "wonderland").run();
    // Such names cannot be reported to the job server, so they are refused
    // before the job exists; the summary still parses and tells why.
    EXPECT_EQ(r.exitCode, 5) << r.err;
    nlohmann::json summary;
    ASSERT_NO_THROW(summary = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ(summary["ok"], false);
    EXPECT_EQ(summary["exitCode"], 5);
    EXPECT_NE(summary["error"].get<std::string>().find("\xef\xbf\xbd"), std::string::npos) << summary.dump();
    EXPECT_TRUE(jobs->adminJobs()["jobs"].empty());
}

TEST_F(Cli, NoSecretInWhatTheRunWritesOrPrintsAndNoLogsPileUp) {
    startServers();
    writeFile("one.txt", "1");
    ::mkdir(path("logs").c_str(), 0700);
    auto args = upload();
    args.insert(args.end(), {"--set", "verbose=on", "--json", path("one.txt")});
    CommandResult kept =
        qzws(args).env("QZWS_PASSWORD", "wonderland").env("QZ_LOG_DIR", path("logs")).env("QZ_KEEP_LOGS", "1").run();
    ASSERT_EQ(kept.exitCode, 0) << kept.err;

    const std::vector<std::string> secrets = {"wonderland", ftp->password(), url_encode(ftp->password())};
    std::map<std::string, std::string> written = {{"stdout", kept.out}, {"stderr", kept.err}};
    int dumps = 0;
    for (const char* folder : {"cwd", "logs"}) {
        for (const auto& e : std::filesystem::recursive_directory_iterator(path(folder))) {
            if (!e.is_regular_file()) continue;
            written[e.path().string()] = qztest::readFile(e.path().string());
            dumps += e.path().extension() == ".xml";
            EXPECT_EQ(e.status().permissions() & std::filesystem::perms::all,
                      std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
                << e.path();
        }
    }
    EXPECT_GE(dumps, 2) << "the dumps are searched too";
    for (const auto& [name, content] : written) {
        for (const auto& secret : secrets) {
            EXPECT_EQ(content.find(secret), std::string::npos) << name << " holds " << secret;
        }
    }
    bool masked = false;
    for (const auto& [name, content] : written) {
        masked |= content.find("qz::WS: xml ftp node p=********\n") != std::string::npos;
    }
    EXPECT_TRUE(masked) << "the summary log is among the files searched";

    // A run that keeps nothing removes its own logs at exit and those that
    // processes gone before it left behind.
    auto again = upload();
    again.push_back(path("one.txt"));
    CommandResult plain = qzws(again).env("QZWS_PASSWORD", "wonderland").env("QZ_LOG_DIR", path("logs")).run();
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_TRUE(std::filesystem::is_empty(path("logs")));
}

// Answers no honest job server gives, in front of a real transfer server:
// the command claims only what the servers confirmed, and whatever they say
// reaches the terminal as plain characters on one line.
TEST_F(Cli, OnlyConfirmedAnswersCountAndServerTextStaysPlain) {
    ftp = std::make_unique<qztest::FtpServer>(path("served"));
    writeFile("one.txt", "1");
    const std::string plainFtp =
        "qzws: warning: the transfer to 127.0.0.1 runs without TLS (the job server did not ask for TLS): the "
        "transfer password and the files travel in clear; --no-plain-ftp-warning silences this\n";
    const std::string unconfirmed = "qzws: the job server did not confirm the finalization of job 7: ";
    struct Case {
        const char* name;
        std::string useSsl;    // the "ftp" element's attribute, when not empty
        std::string ftpWords;  // the transfer server refuses the file with these
        std::string logAnswer;
        std::string finalAnswer;
        int exitCode;
        std::string err;           // a regular expression for stderr
        const char* logConfirmed;  // in --json: "true", "false" or "" (not there)
    };
    const Case cases[] = {
        {"empty finalization answer", "", "", "yay\r\n", "", 9, literal(plainFtp + unconfirmed + "an empty answer\n"),
         "true"},
        {"plain text", "", "", "yay\r\n", "finalized", 9, literal(plainFtp + unconfirmed) + "answer \"[^\n]*\n",
         "true"},
        {"HTML error page", "", "", "yay\r\n", "<html><body>Internal error<br></body></html>", 9,
         literal(plainFtp + unconfirmed) + "answer \"[^\n]*\n", "true"},
        {"result without status", "", "", "yay\r\n", "<result/>", 9,
         literal(plainFtp + unconfirmed + "answer \"<result/>\"\n"), "true"},
        {"refused transfer log", "", "", "nay\r\n", "yay\r\n", 0,
         literal(plainFtp + "qzws: warning: the job server did not confirm the transfer log: answer \"nay\\r\\n\"\n"),
         "false"},
        {"comment with a line feed, a CR and U+009B", "", "", "yay\r\n",
         "<?xml version=\"1.0\"?><result><status success=\"false\" "
         "comments=\"no&#10;qzws: job 7 finalized: 3 files&#13;&#x9b;[2J\"/></result>",
         9, literal(plainFtp + "qzws: finalizing job 7 failed: \"no\\nqzws: job 7 finalized: 3 files\\r\\u009B[2J\"\n"),
         "true"},
        {"FTP refusal with ESC and BEL", "",
         "\x1B]0;PWNED\x07"
         "denied",
         "", "", 7, literal(plainFtp) + "qzws: upload failed: [^\n]*550 \\\\x1B\\]0;PWNED\\\\x07denied[^\n]*\n", ""},
        {"useSSL TRUE", "TRUE", "", "yay\r\n", "yay\r\n", 0,
         literal("qzws: warning: the transfer to 127.0.0.1 runs without TLS (the job server's \"useSSL\" is \"TRUE\", "
                 "and only \"true\" switches TLS on): the transfer password and the files travel in clear; "
                 "--no-plain-ftp-warning silences this\n"),
         "true"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        qztest::FtpServer::Faults faults;
        if (!c.ftpWords.empty()) {
            faults.quota = 1;
            faults.quotaReply = 550;
            faults.quotaWords = c.ftpWords;
        }
        ftp->setFaults(faults);
        qztest::ScriptServer jobServer;
        jobServer.reply({200,
                         R"(<?xml version="1.0"?><result><status success="true"/>)"
                         R"(<orderform name="F" type="job"/></result>)",
                         {}});
        std::string ftpElement = R"(<ftp path="/" u=")" + ftp->user() + R"(" p=")" + ftp->password() +
                                 R"(" s="127.0.0.1" p1=")" + std::to_string(ftp->port()) + "\"";
        if (!c.useSsl.empty()) ftpElement += " useSSL=\"" + c.useSsl + "\"";
        jobServer.reply({200,
                         R"(<?xml version="1.0"?><result><status success="true"/><job id="7"/>)"
                         R"(<securityTag isSecure="false"/>)" +
                             ftpElement + "/></result>",
                         {}});
        jobServer.reply({200, c.logAnswer, {}});
        jobServer.reply({200, c.finalAnswer, {}});
        CommandResult r = qzws({"upload", "--url", jobServer.base(), "--user", "alice", "--form", "F", "--json",
                                "--no-http-warning", "--no-progress", path("one.txt")})
                              .env("QZWS_PASSWORD", "wonderland")
                              .run();
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        // With --json the progress goes to stderr too.
        const std::string said = std::regex_replace(r.err, std::regex("qzws: [0-9]+% [^\n]*\n"), "");
        EXPECT_TRUE(std::regex_match(said, std::regex(c.err))) << r.err;
        EXPECT_TRUE(plainLines(r.err)) << r.err;
        nlohmann::json summary;
        ASSERT_NO_THROW(summary = nlohmann::json::parse(r.out)) << r.out;
        EXPECT_EQ(summary["exitCode"].is_null() ? 0 : summary["exitCode"].get<int>(), c.exitCode);
        EXPECT_EQ(summary.contains("logConfirmed") ? summary["logConfirmed"].dump() : "", c.logConfirmed);
        EXPECT_TRUE(plainLines(r.out)) << r.out;
        EXPECT_EQ(cookieFilesLeft(), 0);
    }
}

// The tests run as root on CI, which may mount a small file system that fills up.
TEST_F(Cli, AFullLogFolderIsToldAndTheServerGetsALogThatSaysSo) {
    startServers();
    writeFile("one.txt", "1");
    const std::string logs = path("logs");
    ::mkdir(logs.c_str(), 0700);
    if (::mount("tmpfs", logs.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    }
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{logs};
    {
        std::ofstream filler(logs + "/filler", std::ios::binary);
        const std::string block(4096, 'f');
        for (int i = 0; i < 64 && filler; ++i) filler.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    auto args = upload();
    args.insert(args.end(), {"--json", path("one.txt")});
    CommandResult r = qzws(args).env("QZWS_PASSWORD", "wonderland").env("QZ_LOG_DIR", logs).run();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("qzws: warning: the engine's log \"" + literal(logs) +
                                                    "/qz-summary-[0-9]+\\.log\" is incomplete: cannot be "
                                                    "written: No space left on device\n")))
        << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["logComplete"], false);
    const auto job = theJob();
    EXPECT_EQ(job["state"], "finalized");
    const std::string log = job["log"];
    const std::string note = "\nqz::WS: this log is incomplete: its file cannot be written: No space left on device\n";
    EXPECT_TRUE(log.size() >= note.size() && log.compare(log.size() - note.size(), note.size(), note) == 0) << log;
}

TEST_F(Cli, ACookieFileThatCannotBeCreatedEndsTheLoginBeforeAnyRequest) {
    qztest::ScriptServer jobServer;
    const std::string cwd = path("readonly");
    ::mkdir(cwd.c_str(), 0755);
    ::chmod(dir().c_str(), 0755);
    std::vector<std::string> args;
    // Root writes into every folder: the case runs as a user without privileges.
    if (::geteuid() == 0) {
        args = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    } else {
        ::chmod(cwd.c_str(), 0555);
    }
    args.insert(args.end(), {QZWS_CLI_PATH, "ping", "--no-http-warning", "--url", jobServer.base(), "--user", "alice"});
    CommandResult r = Command(args).workingDir(cwd).env("QZWS_PASSWORD", "wonderland").run();
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_TRUE(std::regex_match(r.err, std::regex("qzws: cannot log in to " + literal(jobServer.base()) +
                                                   ": cookie file \"[0-9]+_cookies\\.txt\" cannot be created: "
                                                   "Permission denied\n")))
        << r.err;
    EXPECT_TRUE(jobServer.requests().empty());
}

TEST_F(Cli, AReaderThatWentAwayStopsTheProgressNotTheUpload) {
    startServers();
    writeFile("data.bin", std::string(1u << 20, 'd'));
    auto args = upload();
    args.push_back(path("data.bin"));
    CommandResult r = qzws(args).env("QZWS_PASSWORD", "wonderland").stdoutReaderGone().run();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(theJob()["state"], "finalized");
    EXPECT_EQ(cookieFilesLeft(), 0);
}

TEST_F(Cli, InterruptionsStopCleanlyAndStillPrintTheJson) {
    // 8 Mbit/s: the 8 MB file takes some eight seconds, time enough to interrupt.
    startServers({false, {{"bandwidth", "8"}, {"congestionControlStartRate", "8"}}, ""});
    writeFile("big.bin", std::string(8u << 20, 'x'));
    auto args = upload();
    args.insert(args.end(), {"--json", path("big.bin")});
    ::mkdir(path("logs").c_str(), 0700);
    struct Case {
        int signal;
        int exitCode;
        const char* line;
    };
    for (const Case& c : {Case{SIGINT, 130, "qzws: interrupted"}, Case{SIGTERM, 130, "qzws: interrupted"},
                          Case{SIGHUP, 129, "qzws: hung up"}}) {
        SCOPED_TRACE(c.line + std::to_string(c.signal));
        Command command = qzws(args);
        command.env("QZWS_PASSWORD", "wonderland").env("QZ_LOG_DIR", path("logs"));
        command.start();
        // Wait until the upload is under way: the first plain progress line.
        for (int i = 0; i < 200 && command.errSoFar().find("qzws: ") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        command.signal(c.signal);
        CommandResult r = command.wait();
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_NE(r.err.find(c.line), std::string::npos) << r.err;
        nlohmann::json summary;
        ASSERT_NO_THROW(summary = nlohmann::json::parse(r.out)) << r.out;
        EXPECT_EQ(summary["ok"], false);
        EXPECT_EQ(summary["exitCode"], c.exitCode);
        EXPECT_EQ(summary["state"], "uploading");
        const auto created = jobs->adminJobs()["jobs"];
        ASSERT_FALSE(created.empty());
        EXPECT_EQ(summary["jobId"], created.back()["id"]);
        EXPECT_NE(created.back()["state"], "finalized");
        EXPECT_EQ(cookieFilesLeft(), 0);
        EXPECT_TRUE(std::filesystem::is_empty(path("logs"))) << "the handler removes the logs too";
    }
}

// The default log folder has a fixed name in the shared temporary folder, so
// any local user can take that name first.
TEST_F(Cli, ALogFolderThatCannotBeUsedStopsNoUploadAndLeavesNoJob) {
    startServers();
    writeFile("one.txt", "1");
    auto args = upload();
    args.push_back(path("one.txt"));

    const std::string tmp = path("tmp");
    const std::string planted = tmp + "/qzws-" + std::to_string(::geteuid());
    std::filesystem::create_directories(planted);
    ::chmod(tmp.c_str(), 01777);
    ::chmod(planted.c_str(), 0777);
    if (::geteuid() == 0) ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
    CommandResult r = qzws(args)
                          .env("QZWS_PASSWORD", "wonderland")
                          .env("TMPDIR", tmp)
                          .env("XDG_RUNTIME_DIR", "")
                          .env("QZ_LOG_DIR", "")
                          .run();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(theJob()["state"], "finalized");
    EXPECT_TRUE(std::filesystem::is_empty(planted)) << "nothing is written into the planted folder";
    std::set<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(tmp)) left.insert(e.path().string());
    EXPECT_EQ(left, std::set<std::string>{planted}) << "the private folder made instead is gone at exit";

    // A folder the user chose is refused, and before the job exists.
    const std::size_t before = jobs->adminJobs()["jobs"].size();
    CommandResult refused = qzws(args).env("QZWS_PASSWORD", "wonderland").env("QZ_LOG_DIR", planted).run();
    EXPECT_EQ(refused.exitCode, 11) << refused.err;
    EXPECT_TRUE(
        std::regex_match(refused.err, std::regex("qzws: cannot use the engine's logs: the log folder \"" + planted +
                                                 "\" (belongs to another user|is open to other "
                                                 "users); set QZ_LOG_DIR to a folder of your own\n")))
        << refused.err;
    EXPECT_EQ(jobs->adminJobs()["jobs"].size(), before);
    EXPECT_EQ(cookieFilesLeft(), 0);
}

TEST_F(Cli, TheExampleBuiltFromTheInstalledPackageSendsAJob) {
    startServers();
    writeFile("data/x.txt", "example");
    const std::string source = QZWS_TEST_SOURCE_DIR;
    const std::string binary = QZWS_TEST_BINARY_DIR;
    CommandResult r = Command({"/bin/bash", source + "/tests/install/check_package.sh", binary, source + "/examples",
                               QZWS_EXAMPLE_FLAGS, jobs->baseUrl(), "alice", "Sequencing run", path("data")})
                          .env("QZWS_PASSWORD", "wonderland")
                          .run();
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("finished: 1 files, 7 bytes"), std::string::npos) << r.out;
    EXPECT_EQ(theJob()["state"], "finalized");
}

TEST_F(Cli, InfoAsTableAndJson) {
    CommandResult table = qzws({"info"}).run();
    EXPECT_EQ(table.exitCode, 0);
    EXPECT_EQ(lines(table.out), 9);
    EXPECT_NE(table.out.find("Veltrane: 0.5.0-1152\n"), std::string::npos);
    CommandResult json = qzws({"info", "--json"}).run();
    EXPECT_EQ(nlohmann::json::parse(json.out).size(), 9u);
}

}  // namespace
