// Uploads against real FTP/FTPS servers (pyftpdlib, proftpd) on 127.0.0.1.

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <vector>

#include "qz/engine.hpp"
#include "engine/engine_test_support.hpp"
#include "support/digest.hpp"
#include "support/ftp_server.hpp"
#include "support/proftpd_server.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using qztest::contains;
using qztest::FtpServer;
using qztest::makeCertificates;
using qztest::pattern;
using qztest::readFile;

// Every callback, as the host would see it.
struct Progress {
    std::vector<qz::GlobalStateAndStats> calls;
    static void record(const qz::GlobalStateAndStats& s, void* user) {
        auto* p = static_cast<Progress*>(user);
        qz::GlobalStateAndStats copy = s;
        copy.fileMap.clear();
        p->calls.push_back(copy);
    }
};

class Transfer : public qztest::EngineLogTest {
protected:
    FtpServer& server(std::optional<FtpServer::Tls> tls = std::nullopt) {
        server_ = std::make_unique<FtpServer>(path("served"), std::move(tls));
        return *server_;
    }

    template <class Server>
    qz::Options optionsFor(const Server& s) const {
        qz::Options o;
        o.setFtpServer(s.host(), s.port());
        o.setUsernameAndPassword(s.user(), s.password());
        return o;
    }

    // A tree with what trips uploaders up: nesting, an empty file and an
    // empty folder, a file of a few MB, spaces, UTF-8 and URL-special characters.
    std::vector<std::string> writeTree() {
        const std::vector<std::pair<std::string, std::size_t>> files = {
            {"tree/plain.txt", 100},
            {"tree/empty", 0},
            {"tree/a/b/c/deep.bin", 70000},
            {"tree/big.bin", 3 * 1024 * 1024 + 17},
            {"tree/with space/name with space.txt", 10},
            {"tree/ünïcödé ✓/naïve €.txt", 20},
            {"tree/odd #?%+;/file #?%+; &=.txt", 30},
            {"tree/many/1.txt", 1},
            {"tree/many/2.txt", 2},
            {"tree/many/3.txt", 3},
            {"tree/many/4.txt", 4},
            {"tree/many/5.txt", 5},
            {"tree/many/6.txt", 6},
        };
        std::vector<std::string> names;
        unsigned seed = 1;
        for (const auto& [name, size] : files) {
            writeFile(name, pattern(size, seed++));
            names.push_back(name.substr(5));
        }
        fs::create_directories(path("tree/nothing here/nor here"));
        return names;
    }

    void expectSameFile(const std::string& local, const std::string& remote) {
        ASSERT_TRUE(fs::exists(remote)) << remote;
        EXPECT_EQ(fs::file_size(remote), fs::file_size(local)) << remote;
        EXPECT_EQ(qztest::sha256File(remote), qztest::sha256File(local)) << remote;
    }

    std::string summaryLog() const { return readFile(qz::SummaryLog::getLogFilename()); }

    std::unique_ptr<FtpServer> server_;
};

TEST_F(Transfer, FilesAndTreesArriveByteIdenticalOverOneOrSeveralConnections) {
    struct Case {
        const char* name;
        int connections;
        qz::EConnectionMode mode;
    };
    const Case cases[] = {
        {"one passive connection", 1, qz::EConnectionMode::ePassive},
        {"three passive connections", 3, qz::EConnectionMode::ePassive},
        {"one active connection", 1, qz::EConnectionMode::eActive},
    };
    const auto names = writeTree();
    writeFile("single #1.bin", pattern(5000, 99));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FtpServer& s = server();
        qz::Options o = optionsFor(s);
        o.setMultiThreaded(c.connections > 1, c.connections);
        o.setMode(qz::ETransferMode::eParallel, c.mode);
        qz::Control control(o);
        control.prepareSingleFile(qz::Local(path("single #1.bin")));
        control.prepareRecursiveDir(qz::Local(path("tree")), qz::Remote("."));
        Progress progress;
        control.setStatsCallback(Progress::record, &progress);
        control.connect();
        control.upload();
        control.disconnect();
        control.disconnect();

        expectSameFile(path("single #1.bin"), s.root() + "/single #1.bin");
        for (const auto& n : names) expectSameFile(path("tree/" + n), s.root() + "/" + n);
        EXPECT_TRUE(fs::is_directory(s.root() + "/nothing here/nor here"));

        const auto& stats = control.getGlobalStateAndStats();
        EXPECT_EQ(stats.filesDone, names.size() + 1);
        EXPECT_EQ(stats.filesFailed, 0u);
        EXPECT_EQ(stats.totalBytesTransferred, stats.totalBytes);
        EXPECT_TRUE(stats.finished);
        for (const auto& [n, e] : stats.fileMap) {
            EXPECT_EQ(e.result, qz::EFileResult::eDone) << e.remote.full();
            EXPECT_EQ(e.bytesSent, e.fileSize) << e.remote.full();
            EXPECT_EQ(e.attempts, 1) << e.remote.full();
            EXPECT_EQ(e.sha256, qztest::sha256File(e.local.full())) << e.remote.full();
            EXPECT_FALSE(e.verifiedByHash) << e.remote.full();
        }
        // pyftpdlib offers no HASH: the server's byte count checks each file.
        EXPECT_TRUE(contains(summaryLog(), "qz::Control: sent \"single #1.bin\" (5000 bytes, SHA-256 " +
                                               qztest::sha256File(path("single #1.bin")) + ", verified by size)"))
            << summaryLog();

        ASSERT_FALSE(progress.calls.empty());
        EXPECT_TRUE(progress.calls.back().finished);
        EXPECT_EQ(progress.calls.back().totalBytesTransferred, stats.totalBytes);
        for (std::size_t i = 0; i + 1 < progress.calls.size(); ++i) {
            EXPECT_FALSE(progress.calls[i].finished);
            EXPECT_LE(progress.calls[i].totalBytesTransferred, progress.calls[i + 1].totalBytesTransferred);
        }

        // Logged in once per connection, however many files went; and with
        // several connections the files really went over several.
        int logins = 0;
        std::set<std::string> storing;
        for (const auto& line : s.events()) {
            if (line.rfind("login ", 0) == 0) ++logins;
            if (line.rfind("received ", 0) == 0) storing.insert(line.substr(9, line.find(' ', 9) - 9));
        }
        EXPECT_EQ(logins, c.connections);
        EXPECT_EQ(static_cast<int>(storing.size()), c.connections);
        server_.reset();
        fs::remove_all(path("served"));
    }
}

TEST_F(Transfer, ConnectFailsWithTheServersOrLibcurlsWords) {
    struct Case {
        const char* name;
        void (*spoil)(qz::Options&, FtpServer&);
        const char* words;
    };
    const Case cases[] = {
        {"wrong password", [](qz::Options& o, FtpServer& s) { o.setUsernameAndPassword(s.user(), "nope"); }, "530"},
        {"wrong user", [](qz::Options& o, FtpServer& s) { o.setUsernameAndPassword("nobody", s.password()); }, "530"},
        {"closed port", [](qz::Options&, FtpServer& s) { s.stop(); }, "Couldn't connect to server"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FtpServer& s = server();
        qz::Options o = optionsFor(s);
        o.setMultiThreaded(true, 2);
        c.spoil(o, s);
        qz::Control control(o);
        try {
            control.connect();
            ADD_FAILURE() << "connected";
        } catch (const qz::Exception& e) {
            EXPECT_EQ(e.file(), "qz::Control");
            EXPECT_EQ(e.operation(), "connect");
            EXPECT_TRUE(contains(e.what(), c.words)) << e.what();
            EXPECT_TRUE(contains(e.what(), "127.0.0.1:" + std::to_string(s.port()))) << e.what();
        }
        EXPECT_EQ(control.getMap().at("connected"), "false");
        EXPECT_NO_THROW(control.disconnect());
    }
}

TEST_F(Transfer, ServerValuesThatWouldBecomeCommandsAreRefusedBeforeAByteIsSent) {
    using Spoil = void (*)(qz::Options&, const FtpServer&);
    struct Case {
        const char* name;
        Spoil spoil;
        const char* words;
    };
    const Case cases[] = {
        {"user with CR LF",
         [](qz::Options& o, const FtpServer& s) { o.setUsernameAndPassword("tester\r\nMKD injected", s.password()); },
         "the user name (\"u\") holds a control character (0x0D)"},
        {"user with DEL",
         [](qz::Options& o, const FtpServer& s) { o.setUsernameAndPassword("tester\x7f", s.password()); },
         "the user name (\"u\") holds a control character (0x7F)"},
        {"password with LF",
         [](qz::Options& o, const FtpServer& s) { o.setUsernameAndPassword(s.user(), "pa55 word\nMKD injected"); },
         "the password (\"p\") holds a control character (0x0A)"},
        {"host with CR LF",
         [](qz::Options& o, const FtpServer& s) { o.setFtpServer("127.0.0.1\r\nMKD injected", s.port()); },
         "the server host (\"s\") holds a control character (0x0D)"},
        {"host with a path", [](qz::Options& o, const FtpServer& s) { o.setFtpServer("127.0.0.1/injected", s.port()); },
         "the server host (\"s\") is not a plain host name or IP address: it holds \"/\""},
        {"host with a user", [](qz::Options& o, const FtpServer& s) { o.setFtpServer("tester@127.0.0.1", s.port()); },
         "the server host (\"s\") is not a plain host name or IP address: it holds \"@\""},
        {"host with a space", [](qz::Options& o, const FtpServer& s) { o.setFtpServer("127.0.0.1 x", s.port()); },
         "the server host (\"s\") is not a plain host name or IP address: it holds a space"},
        {"host with a port", [](qz::Options& o, const FtpServer& s) { o.setFtpServer("127.0.0.1:21", s.port()); },
         "the server host (\"s\") is neither a host name nor an IP address"},
        {"port 0", [](qz::Options& o, const FtpServer& s) { o.setFtpServer(s.host(), 0); },
         "the server port (\"p1\") is 0, where no server can listen"},
    };
    FtpServer& s = server();
    writeFile("a.txt", "a");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        qz::Options o = optionsFor(s);
        c.spoil(o, s);
        qz::Control control(o);
        control.prepareSingleFile(qz::Local(path("a.txt")));
        // Every way in that connects: connect itself, upload, and the probe.
        const std::vector<void (*)(qz::Control&)> calls = {
            [](qz::Control& k) { k.connect(); }, [](qz::Control& k) { k.upload(); },
            [](qz::Control& k) { k.detectApproximateUploadSpeed(false); }};
        for (auto call : calls) {
            try {
                call(control);
                ADD_FAILURE() << "connected";
            } catch (const qz::Exception& e) {
                EXPECT_EQ(e.operation(), "connect");
                EXPECT_TRUE(contains(e.what(), std::string("cannot connect: ") + c.words + "; nothing was sent"))
                    << e.what();
                EXPECT_FALSE(contains(e.what(), "pa55 word")) << e.what();
                for (const auto& [key, value] : e.diagnostics) EXPECT_FALSE(contains(value, "pa55 word")) << key;
            }
        }
    }
    // The fixture's own check that the server accepts connects, and says nothing.
    for (const auto& line : s.commands()) EXPECT_EQ(line.rfind("command ", 0), std::string::npos) << line;

    // Host names and IPv6 literals pass; the log does see what reaches the server.
    for (const std::string host : {"::1", "[::1]"}) {
        qz::Options o = optionsFor(s);
        o.setFtpServer(host, s.port());
        qz::Control control(o);
        try {
            control.connect();
        } catch (const qz::Exception& e) {
            EXPECT_FALSE(contains(e.what(), "cannot connect: ")) << e.what();
            EXPECT_TRUE(contains(e.what(), "[::1]:" + std::to_string(s.port()))) << e.what();
        }
    }
    qz::Options o = optionsFor(s);
    o.setFtpServer("localhost", s.port());
    qz::Control control(o);
    control.connect();
    const auto seen = s.commands();
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const std::string& line) {
        return contains(line, " USER tester");
    })) << seen.size();
}

TEST_F(Transfer, FtpsIsVerifiedAgainstTheGivenAuthorityAndRefusedWithout) {
    const auto certificates = makeCertificates(dir());
    FtpServer& s = server(FtpServer::tlsOf(certificates));
    writeFile("secret.bin", pattern(300000, 5));

    struct Case {
        const char* name;
        std::string caFile;
        bool fromEnvironment;
        bool works;
    };
    const Case cases[] = {
        {"authority given", certificates.caFile, false, true},
        {"authority from QZ_CA_FILE", certificates.caFile, true, true},
        {"no authority", "", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(s.root() + "/secret.bin");
        if (c.fromEnvironment) ::setenv("QZ_CA_FILE", c.caFile.c_str(), 1);
        qz::Options o;
        ::unsetenv("QZ_CA_FILE");
        o.setFtpServer(s.host(), s.port());
        o.setUsernameAndPassword(s.user(), s.password());
        o.setEncryption(true, true);
        if (!c.fromEnvironment) o.setCertificateAuthority(c.caFile);
        o.setMultiThreaded(true, 2);
        qz::Control control(o);
        control.prepareSingleFile(qz::Local(path("secret.bin")));
        if (c.works) {
            control.connect();
            control.upload();
            expectSameFile(path("secret.bin"), s.root() + "/secret.bin");
        } else {
            try {
                control.connect();
                ADD_FAILURE() << "connected without the authority";
            } catch (const qz::Exception& e) {
                EXPECT_TRUE(contains(e.what(), "certificate")) << e.what();
            }
        }
    }
}

// What a server holds back costs no file an attempt: one that does not
// take EPSV, whether it offers it or not, gets PASV on the same
// connections; one that takes
// fewer connections than asked for is not asked again while those it took
// carry the files.
TEST_F(Transfer, AServerThatHoldsSomethingBackGetsEveryFileInOneAttempt) {
    struct Case {
        const char* name;
        FtpServer::Faults faults;
        const char* command;  // seen by the server, "" for none in particular
    };
    FtpServer::Faults noEpsv;
    noEpsv.refuseEpsv = true;
    FtpServer::Faults listedEpsv;
    listedEpsv.refuseListedEpsv = true;
    FtpServer::Faults twoConnections;
    twoConnections.maxPerAddress = 2;
    const Case cases[] = {{"no EPSV", noEpsv, " PASV"},
                          {"EPSV offered, then refused", listedEpsv, " PASV"},
                          {"two connections of three", twoConnections, ""}};
    const auto names = writeTree();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FtpServer& s = server();
        s.setFaults(c.faults);
        qz::Options o = optionsFor(s);
        o.setMultiThreaded(true, 3);
        qz::Control control(o);
        control.prepareRecursiveDir(qz::Local(path("tree")), qz::Remote("."));
        control.upload();
        for (const auto& n : names) expectSameFile(path("tree/" + n), s.root() + "/" + n);
        for (const auto& [n, e] : control.getFileMap()) {
            EXPECT_EQ(e.result, qz::EFileResult::eDone) << e.remote.full();
            EXPECT_EQ(e.sha256, qztest::sha256File(e.local.full())) << e.remote.full();
            EXPECT_EQ(e.attempts, 1) << e.remote.full();
        }
        const auto commands = s.commands();
        EXPECT_TRUE(std::any_of(commands.begin(), commands.end(),
                                [&c](const std::string& line) { return contains(line, c.command); }));
        server_.reset();
        fs::remove_all(path("served"));
    }
}

TEST_F(Transfer, FtpsWorksWithServersThatRefuseTls13DataOrSpeakOnlyTls13) {
    const auto certificates = makeCertificates(dir());
    struct Case {
        const char* name;
        bool refuseTls13Data;
        bool tls13Only;
        bool protectData;
    };
    const Case cases[] = {{"refuses TLS 1.3 data connections", true, false, true},
                          {"TLS 1.3 only", false, true, true},
                          {"TLS on the control connection only", false, false, false}};
    for (int i = 0; i < 6; ++i) {
        writeFile("set/" + std::to_string(i) + ".bin", pattern(50000, 20u + static_cast<unsigned>(i)));
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FtpServer::Tls tls = FtpServer::tlsOf(certificates);
        tls.refuseTls13Data = c.refuseTls13Data;
        tls.tls13Only = c.tls13Only;
        tls.plainData = !c.protectData;
        FtpServer& s = server(tls);
        qz::Options o = optionsFor(s);
        o.setEncryption(true, c.protectData);
        o.setCertificateAuthority(certificates.caFile);
        o.setMultiThreaded(true, 2);
        qz::Control control(o);
        control.prepareRecursiveDir(qz::Local(path("set")), qz::Remote("."));
        EXPECT_GT(control.detectApproximateUploadSpeed(false), 0u);
        control.upload();
        const auto commands = s.commands();
        const auto asked = [&commands](const char* prot) {
            return std::any_of(commands.begin(), commands.end(), [prot](const auto& l) { return contains(l, prot); });
        };
        EXPECT_TRUE(asked(c.protectData ? " PROT P" : " PROT C"));
        EXPECT_FALSE(asked(c.protectData ? " PROT C" : " PROT P"));
        for (int i = 0; i < 6; ++i) {
            const std::string name = std::to_string(i) + ".bin";
            expectSameFile(path("set/" + name), s.root() + "/" + name);
        }
        for (const auto& [n, e] : control.getFileMap()) EXPECT_EQ(e.attempts, 1) << e.remote.full();
        server_.reset();
        fs::remove_all(path("served"));
    }
}

TEST_F(Transfer, WhereTheServerHashesStoredFilesEveryFileIsVerifiedByItsSha256) {
    const auto names = writeTree();
    const auto certificates = makeCertificates(dir());
    constexpr std::uint64_t kHashLimit = 1000000;
    struct Case {
        const char* name;
        bool tls;
        std::uint64_t hashLimit;
    };
    const Case cases[] = {
        {"plain FTP", false, 0},
        {"FTPS", true, 0},
        // Only tree/big.bin is larger: the server refuses to hash it.
        {"a server that hashes no file over 1 MB", false, kHashLimit},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        qz::SummaryLog::truncateLogFile();
        fs::remove_all(path("proftpd"));
        fs::remove_all(path("proftpd.proftpd"));
        qztest::ProftpdServer::Settings settings;
        if (c.tls) settings.tls = certificates;
        settings.hashLimit = c.hashLimit;
        qztest::ProftpdServer s(path("proftpd"), settings);
        qz::Options o = optionsFor(s);
        if (c.tls) {
            o.setEncryption(true, true);
            o.setCertificateAuthority(certificates.caFile);
        }
        o.setMultiThreaded(true, 2);
        qz::Control control(o);
        control.prepareRecursiveDir(qz::Local(path("tree")), qz::Remote("."));
        control.upload();
        const auto& stats = control.getGlobalStateAndStats();
        EXPECT_EQ(stats.filesDone, names.size());
        const std::string log = summaryLog();
        for (const auto& [n, e] : stats.fileMap) {
            SCOPED_TRACE(e.remote.full());
            expectSameFile(e.local.full(), s.root() + "/" + e.remote.full());
            EXPECT_EQ(e.sha256, qztest::sha256File(e.local.full()));
            EXPECT_EQ(e.attempts, 1) << log;
            const bool refused = c.hashLimit > 0 && e.fileSize > c.hashLimit;
            EXPECT_EQ(e.verifiedByHash, !refused);
            const std::string how = refused ? "verified by size, the server did not hash it: 556 " + e.remote.full() +
                                                  ": Operation not permitted"
                                            : "verified by hash";
            EXPECT_TRUE(contains(log, "qz::Control: sent \"" + e.remote.full() + "\" (" + std::to_string(e.fileSize) +
                                          " bytes, SHA-256 " + e.sha256 + ", " + how + ")"))
                << log;
        }
        // Switched off, on the same connections, the server's byte count alone
        // checks the next file.
        qz::SummaryLog::truncateLogFile();
        o.setServerHashCheck(false);
        EXPECT_EQ(o.getMap(false)["server hash check"], "false");
        control.setNewOptions(o);
        writeFile("again.txt", "unchecked by hash");
        control.prepareSingleFile(qz::Local(path("again.txt")));
        control.upload();
        control.disconnect();
        const auto& again = control.getFileMap().rbegin()->second;
        EXPECT_EQ(again.result, qz::EFileResult::eDone);
        EXPECT_FALSE(again.verifiedByHash);
        EXPECT_EQ(again.sha256, qztest::sha256File(path("again.txt")));
        EXPECT_TRUE(contains(
            summaryLog(), "qz::Control: sent \"again.txt\" (17 bytes, SHA-256 " + again.sha256 + ", verified by size)"))
            << summaryLog();
    }
}

TEST_F(Transfer, AServerRestartDuringAnUploadResumesTheFile) {
    FtpServer& s = server();
    const std::size_t size = 4 * 1024 * 1024;
    writeFile("large.bin", pattern(size, 7));
    writeFile("after.txt", "after the restart");
    qz::Options o = optionsFor(s);
    o.setBandwidth(32'000'000, 0);  // 4 MB/s: the restart comes mid-file
    qz::Control control(o);
    control.prepareSingleFile(qz::Local(path("large.bin")));
    control.prepareSingleFile(qz::Local(path("after.txt")));
    qztest::StopServerAt restart{&s, size / 3, true};
    control.setStatsCallback(qztest::StopServerAt::check, &restart);
    control.upload();

    ASSERT_TRUE(restart.done);
    expectSameFile(path("large.bin"), s.root() + "/large.bin");
    expectSameFile(path("after.txt"), s.root() + "/after.txt");
    const auto& large = control.getFileMap().at(1);
    EXPECT_EQ(large.result, qz::EFileResult::eDone);
    EXPECT_GE(large.attempts, 2);
    // The part sent before the restart is in the hash too.
    EXPECT_EQ(large.sha256, qztest::sha256File(path("large.bin")));
    const std::string log = summaryLog();
    EXPECT_TRUE(contains(log, "qz::Control: retrying \"large.bin\" (attempt 2) after: ")) << log;
    const std::string resuming = "qz::Control: resuming \"large.bin\" at byte ";
    const auto at = log.find(resuming);
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_NE(log.compare(at + resuming.size(), 2, "0 "), 0) << log;
}

TEST_F(Transfer, AFileThatVanishesOrChangesIsNamedAndTheOthersArrive) {
    struct Case {
        const char* name;
        void (*spoil)(const std::string&);
        const char* words;
    };
    const Case cases[] = {
        {"deleted", [](const std::string& p) { fs::remove(p); }, "vanished after it was queued"},
        {"grown", [](const std::string& p) { std::ofstream(p, std::ios::app) << "more"; },
         "changed size after it was queued: 6 bytes then, 10 now"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FtpServer& s = server();
        writeFile("set/a.txt", "aaaaaa");
        writeFile("set/b.txt", "bbbbbb");
        writeFile("set/c.txt", "cccccc");
        qz::Control control(optionsFor(s));
        control.prepareRecursiveDir(qz::Local(path("set")), qz::Remote("/up"));  // from the login root
        c.spoil(path("set/b.txt"));
        try {
            control.upload();
            ADD_FAILURE() << "no error";
        } catch (const qz::Exception& e) {
            EXPECT_EQ(e.operation(), "upload");
            EXPECT_TRUE(contains(e.what(), "could not send 1 of 3 files: \"" + path("set/b.txt") + "\" " + c.words))
                << e.what();
        }
        const auto& map = control.getFileMap();
        EXPECT_EQ(map.at(1).result, qz::EFileResult::eDone);
        EXPECT_EQ(map.at(2).result, qz::EFileResult::eFailed);
        EXPECT_EQ(map.at(3).result, qz::EFileResult::eDone);
        EXPECT_EQ(control.getGlobalStateAndStats().totalBytesTransferred, 12u);
        EXPECT_EQ(control.getGlobalStateAndStats().filesFailed, 1u);
        expectSameFile(path("set/a.txt"), s.root() + "/up/a.txt");
        expectSameFile(path("set/c.txt"), s.root() + "/up/c.txt");
        EXPECT_FALSE(fs::exists(s.root() + "/up/b.txt"));
        server_.reset();
        fs::remove_all(path("served"));
        fs::remove_all(path("set"));
    }
}

TEST_F(Transfer, AServerThatStaysAwayEndsTheUploadWithTheFilesNamed) {
    FtpServer& s = server();
    writeFile("x.txt", "x");
    writeFile("y.txt", "y");
    qz::Options o = optionsFor(s);
    o.setUnreachableTimeout(2);
    qz::Control control(o);
    control.prepareSingleFile(qz::Local(path("x.txt")));
    control.prepareSingleFile(qz::Local(path("y.txt")));
    control.connect();
    s.stop();
    try {
        control.upload();
        ADD_FAILURE() << "no error";
    } catch (const qz::Exception& e) {
        EXPECT_TRUE(contains(e.what(), "could not send 2 of 2 files: \"" + path("x.txt") + "\"")) << e.what();
        EXPECT_TRUE(contains(e.what(), "\"" + path("y.txt") + "\"")) << e.what();
        EXPECT_TRUE(contains(
            e.what(), " was not sent: the server 127.0.0.1:" + std::to_string(s.port()) + " could not be reached for "))
            << e.what();
        EXPECT_EQ(e.diagnostics.at("files done"), "0");
    }
    for (const auto& [n, e] : control.getFileMap()) {
        EXPECT_EQ(e.result, qz::EFileResult::eFailed);
        EXPECT_EQ(e.bytesSent, 0u);
    }
    EXPECT_EQ(control.getGlobalStateAndStats().totalBytesTransferred, 0u);
    // Waiting for the server cost no file an attempt of its own.
    EXPECT_TRUE(contains(summaryLog(), "qz::Control: cannot reach 127.0.0.1:")) << summaryLog();
    EXPECT_FALSE(contains(summaryLog(), "qz::Control: retrying ")) << summaryLog();
    EXPECT_TRUE(contains(summaryLog(), "waiting up to 2 s for an unreachable server")) << summaryLog();

    // Once the server is back, the same queue goes.
    s.restart();
    control.upload();
    expectSameFile(path("x.txt"), s.root() + "/x.txt");
    expectSameFile(path("y.txt"), s.root() + "/y.txt");
    EXPECT_EQ(control.getGlobalStateAndStats().filesDone, 2u);
}

struct CallsIn {
    qz::Control* control = nullptr;
    std::string extra;
    static void disconnect(const qz::GlobalStateAndStats&, void* user) {
        static_cast<CallsIn*>(user)->control->disconnect();
    }
    static void queue(const qz::GlobalStateAndStats&, void* user) {
        auto* calls = static_cast<CallsIn*>(user);
        calls->control->prepareSingleFile(qz::Local(calls->extra));
    }
};

TEST_F(Transfer, ACallbackCannotPullTheConnectionsOrTheQueueFromUnderTheUpload) {
    struct Case {
        qz::StatsCallback callback;
        const char* error;
    };
    for (const Case& c : {Case{CallsIn::disconnect, "cannot disconnect while an upload runs"},
                          Case{CallsIn::queue, "cannot prepareSingleFile while an upload runs"}}) {
        SCOPED_TRACE(c.error);
        FtpServer& s = server();
        writeFile("z.bin", pattern(100000, 8));
        qz::Control control(optionsFor(s));
        control.prepareSingleFile(qz::Local(path("z.bin")));
        CallsIn calls{&control, writeFile("extra.txt", "extra")};
        control.setStatsCallback(c.callback, &calls);
        try {
            control.upload();
            ADD_FAILURE() << "no error";
        } catch (const qz::Exception& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
        control.setStatsCallback(nullptr, nullptr);
        control.upload();
        expectSameFile(path("z.bin"), s.root() + "/z.bin");
        EXPECT_EQ(control.getFileMap().size(), 1u);
    }
}

TEST_F(Transfer, OneRemoteNameQueuedTwiceKeepsTheFirstFile) {
    FtpServer& s = server();
    writeFile("first/same.bin", pattern(3000000, 1));
    writeFile("second/same.bin", pattern(300000, 2));
    qz::Options o = optionsFor(s);
    o.setMultiThreaded(true, 2);
    qz::Control control(o);
    control.prepareSingleFile(qz::Local(path("first/same.bin")));
    EXPECT_THROW(control.prepareSingleFile(qz::Local(path("second/same.bin"))), qz::Exception);
    control.upload();
    expectSameFile(path("first/same.bin"), s.root() + "/same.bin");
}

TEST_F(Transfer, ProgressRisesToTheTotalUnderARateCapAndEndsFinished) {
    FtpServer& s = server();
    writeFile("one.bin", pattern(600000, 3));
    writeFile("two.bin", pattern(600000, 4));
    qz::Options o = optionsFor(s);
    o.setBandwidth(8'000'000, 0);  // 1 MB/s: several progress calls on the way
    qz::Control control(o);
    control.prepareSingleFile(qz::Local(path("one.bin")));
    control.prepareSingleFile(qz::Local(path("two.bin")));
    Progress progress;
    control.setStatsCallback(Progress::record, &progress);
    control.upload();

    ASSERT_GE(progress.calls.size(), 2u);
    std::uint64_t previous = 0;
    for (std::size_t i = 0; i < progress.calls.size(); ++i) {
        const auto& call = progress.calls[i];
        EXPECT_EQ(call.finished, i + 1 == progress.calls.size());
        EXPECT_GE(call.totalBytesTransferred, previous);
        EXPECT_LE(call.totalBytesTransferred, call.totalBytes);
        EXPECT_EQ(call.filesTotal, 2u);
        previous = call.totalBytesTransferred;
    }
    EXPECT_LT(progress.calls.front().totalBytesTransferred, 1200000u);
    EXPECT_EQ(progress.calls.back().totalBytesTransferred, 1200000u);
    EXPECT_EQ(progress.calls.back().filesDone, 2u);
    EXPECT_GT(progress.calls.back().currentRate, 0u);
    EXPECT_GT(progress.calls.back().elapsedSeconds, 0.0);
}

TEST_F(Transfer, ClientDefaultRatesRampAndUploadEverything) {
    FtpServer& s = server();
    writeFile("ramp.bin", pattern(8 * 1024 * 1024, 11));
    qz::Options o = optionsFor(s);
    o.setBandwidth(100'000'000'000ull, 100'000'000);
    o.setCongestionControl(true, 5);
    qz::Control control(o);
    control.prepareSingleFile(qz::Local(path("ramp.bin")));
    control.upload();
    expectSameFile(path("ramp.bin"), s.root() + "/ramp.bin");
    EXPECT_TRUE(contains(summaryLog(), "qz::Control: rate now ")) << summaryLog();
}

TEST_F(Transfer, SpeedProbeMeasuresAndCleansUp) {
    FtpServer& s = server();
    for (bool keep : {false, true}) {
        SCOPED_TRACE(keep);
        qz::Control control(optionsFor(s));
        EXPECT_GT(control.detectApproximateUploadSpeed(keep), 0u);
        std::vector<std::string> left;
        for (const auto& e : fs::directory_iterator(s.root())) left.push_back(e.path().filename().string());
        if (keep) {
            ASSERT_EQ(left.size(), 1u);
            EXPECT_EQ(left[0].rfind(".qz-probe-", 0), 0u);
        } else {
            EXPECT_TRUE(left.empty());
        }
    }
}

}  // namespace
