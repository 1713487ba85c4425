// Uploads against each FTP server that users run (vsftpd, proftpd, pure-ftpd,
// pyftpdlib, inetutils-ftpd, Twisted), over plain FTP and FTPS where the
// server speaks it, with pipelining on and off: a tree with awkward names
// arrives name for name and byte for byte, every file in one attempt; on a
// server that stores some names otherwise than sent, each file either arrives
// so or fails naming it, never reported done under another name; and a
// server that goes away in the middle of a large file gets the rest of it
// appended once it is back. Labelled "servers" for ctest -L.

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/engine_test_support.hpp"
#include "qz/engine.hpp"
#include "support/certificates.hpp"
#include "support/digest.hpp"
#include "support/ftp_server.hpp"
#include "support/inetutils_ftpd_server.hpp"
#include "support/proftpd_server.hpp"
#include "support/pure_ftpd_server.hpp"
#include "support/temp_dir.hpp"
#include "support/twisted_ftp_server.hpp"
#include "support/vsftpd_server.hpp"

namespace {

namespace fs = std::filesystem;
using qztest::Certificates;
using qztest::pattern;
using qztest::readFile;

enum class Kind { vsftpd, proftpd, pureFtpd, pyftpdlib, inetutilsFtpd, twisted };

// One running server of any kind, as the rows see it.
class AnyServer {
public:
    virtual ~AnyServer() = default;
    virtual std::string host() const = 0;
    virtual std::uint16_t port() const = 0;
    virtual std::string user() const = 0;
    virtual std::string password() const = 0;
    virtual std::string root() const = 0;
    // Stops the server, ending its sessions, and starts it on the same port.
    virtual void restart() = 0;
};

template <class Server>
class Running final : public AnyServer {
public:
    template <class... Args>
    explicit Running(Args&&... args) : server_(std::forward<Args>(args)...) {}
    std::string host() const override { return server_.host(); }
    std::uint16_t port() const override { return server_.port(); }
    std::string user() const override { return server_.user(); }
    std::string password() const override { return server_.password(); }
    std::string root() const override { return server_.root(); }
    void restart() override { server_.restart(); }

private:
    Server server_;
};

const char* nameOf(Kind kind) {
    switch (kind) {
        case Kind::vsftpd: return "vsftpd";
        case Kind::proftpd: return "proftpd";
        case Kind::pureFtpd: return "pure_ftpd";
        case Kind::pyftpdlib: return "pyftpdlib";
        case Kind::inetutilsFtpd: return "inetutils_ftpd";
        case Kind::twisted: return "twisted";
    }
    return "";
}

std::unique_ptr<AnyServer> start(Kind kind, const std::string& root, const std::optional<Certificates>& tls) {
    switch (kind) {
        case Kind::vsftpd: return std::make_unique<Running<qztest::VsftpdServer>>(root, tls);
        case Kind::proftpd: {
            qztest::ProftpdServer::Settings settings;
            settings.tls = tls;
            return std::make_unique<Running<qztest::ProftpdServer>>(root, settings);
        }
        case Kind::pureFtpd: return std::make_unique<Running<qztest::PureFtpdServer>>(root, tls);
        case Kind::pyftpdlib: {
            std::optional<qztest::FtpServer::Tls> serverTls;
            if (tls) serverTls = qztest::FtpServer::tlsOf(*tls);
            return std::make_unique<Running<qztest::FtpServer>>(root, serverTls);
        }
        case Kind::inetutilsFtpd:
        case Kind::twisted: {
            if (tls) throw std::invalid_argument(std::string(nameOf(kind)) + " speaks no TLS: its rows are plain FTP");
            if (kind == Kind::twisted) return std::make_unique<Running<qztest::TwistedFtpServer>>(root);
            return std::make_unique<Running<qztest::InetutilsFtpdServer>>(root);
        }
    }
    return nullptr;
}

// Why the server cannot run for this test process, "" when it can.
std::string cannotRun(Kind kind) {
    switch (kind) {
        case Kind::pureFtpd: return qztest::PureFtpdServer::cannotRunBecause();
        case Kind::inetutilsFtpd: return qztest::InetutilsFtpdServer::cannotRunBecause();
        default: return "";
    }
}

struct Row {
    Kind server;
    bool tls;
    bool pipelining;
    bool active = false;  // the server connects to us for the data
};

std::string rowName(const testing::TestParamInfo<Row>& info) {
    return std::string(nameOf(info.param.server)) + (info.param.tls ? "_ftps" : "_ftp") +
           (info.param.pipelining ? "_pipelined" : "_one_command_at_a_time") + (info.param.active ? "_active" : "");
}

// Every path below `root` with a file's SHA-256 or "folder", so that two trees
// compare name for name and byte for byte.
std::map<std::string, std::string> treeOf(const std::string& root) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(entry.path(), root).string();
        tree[name] = entry.is_directory() ? "folder" : qztest::sha256File(entry.path().string());
    }
    return tree;
}

class ServerMatrix : public qztest::EngineLogTest, public testing::WithParamInterface<Row> {
protected:
    void SetUp() override {
        qztest::EngineLogTest::SetUp();
        const std::string cannot = cannotRun(GetParam().server);
        if (!cannot.empty()) GTEST_SKIP() << cannot;
        if (GetParam().tls) certificates_ = qztest::makeCertificates(dir());
        server_ = start(GetParam().server, path("served"), certificates_);
    }

    qz::Options options() const {
        qz::Options o;
        o.setFtpServer(server_->host(), server_->port());
        o.setUsernameAndPassword(server_->user(), server_->password());
        o.setPipelining(GetParam().pipelining);
        if (GetParam().active) o.setMode(qz::ETransferMode::eParallel, qz::EConnectionMode::eActive);
        if (certificates_) {
            o.setEncryption(true, true);
            o.setCertificateAuthority(certificates_->caFile);
        }
        return o;
    }

    std::string summaryLog() const { return readFile(qz::SummaryLog::getLogFilename()); }

    // What trips servers up in names: spaces, "#", umlauts, CJK; an empty file;
    // folders; files of every size from a few bytes to a few MiB.
    void writeTree(const std::string& tree) const {
        const std::vector<std::string> folders = {"", "with space/", "hash #1/", "grüße/", "資料/"};
        for (unsigned i = 0; i < 30; ++i) {
            const std::vector<std::string> names = {"file " + std::to_string(i) + ".txt",
                                                    "#" + std::to_string(i) + " notes.txt",
                                                    "über " + std::to_string(i) + ".txt", "文件" + std::to_string(i)};
            writeFile(tree + "/" + folders[i % folders.size()] + names[i % names.size()], pattern(i * 97, i));
        }
        writeFile(tree + "/medium/a.bin", pattern(150'000, 101));
        writeFile(tree + "/medium/b b.bin", pattern(400'000, 102));
        writeFile(tree + "/medium/ü #c.bin", pattern(900'001, 103));
        writeFile(tree + "/large file.bin", pattern(4 * 1024 * 1024 + 3, 104));
    }

    // Writes the tree and uploads it over three connections; returns what
    // the upload threw, "" when nothing.
    std::string uploadTree(qz::Control& control) const {
        writeTree("tree");
        control.prepareRecursiveDir(qz::Local(path("tree")), qz::Remote("."));
        std::string error;
        try {
            control.connect();
            control.upload();
        } catch (const qz::Exception& e) {
            error = e.what();
        }
        control.disconnect();
        return error;
    }

    qz::Options treeOptions() const {
        qz::Options o = options();
        o.setMultiThreaded(true, 3);
        return o;
    }

    std::optional<Certificates> certificates_;
    std::unique_ptr<AnyServer> server_;
};

class ServerMatrixUpload : public ServerMatrix {};

TEST_P(ServerMatrixUpload, EveryFileArrivesWholeUnderItsNameInOneAttempt) {
    qz::Control control(treeOptions());
    EXPECT_EQ(uploadTree(control), "");

    EXPECT_EQ(treeOf(server_->root()), treeOf(path("tree"))) << summaryLog();
    const auto& stats = control.getGlobalStateAndStats();
    EXPECT_EQ(stats.filesFailed, 0u);
    EXPECT_EQ(stats.totalBytesTransferred, stats.totalBytes);
    for (const auto& [number, e] : stats.fileMap) {
        EXPECT_EQ(e.result, qz::EFileResult::eDone) << e.remote.full() << ": " << e.errorText;
        EXPECT_EQ(e.attempts, 1) << e.remote.full() << "\n" << summaryLog();
    }
}

const Row kUploadRows[] = {
    {Kind::vsftpd, false, true},        {Kind::vsftpd, false, false},        {Kind::vsftpd, true, true},
    {Kind::vsftpd, true, false},        {Kind::proftpd, false, true},        {Kind::proftpd, false, false},
    {Kind::proftpd, true, true},        {Kind::proftpd, true, false},        {Kind::pureFtpd, false, true},
    {Kind::pureFtpd, false, false},     {Kind::pureFtpd, true, true},        {Kind::pureFtpd, true, false},
    {Kind::pyftpdlib, false, true},     {Kind::pyftpdlib, false, false},     {Kind::pyftpdlib, true, true},
    {Kind::pyftpdlib, true, false},     {Kind::vsftpd, false, true, true},   {Kind::vsftpd, true, false, true},
    {Kind::inetutilsFtpd, false, true}, {Kind::inetutilsFtpd, false, false},
};
INSTANTIATE_TEST_SUITE_P(Servers, ServerMatrixUpload, testing::ValuesIn(kUploadRows), rowName);

bool isAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A server that stores some names otherwise than they were sent (one that
// decodes command lines as Latin-1 keeps "ü" as "Ã¼"): every file either
// arrives byte for byte under the name sent and is done, or fails with an
// error that names it. A file the server holds under another name is never
// reported done. Names in ASCII arrive.
class ServerMatrixRenamingUpload : public ServerMatrix {};

TEST_P(ServerMatrixRenamingUpload, EveryFileArrivesUnderItsNameOrFailsNamingIt) {
    qz::Control control(treeOptions());
    const std::string error = uploadTree(control);

    const auto served = treeOf(server_->root());
    const auto& stats = control.getGlobalStateAndStats();
    std::uint64_t elsewhere = 0;
    for (const auto& [number, e] : stats.fileMap) {
        const std::string name = fs::relative(e.local.full(), path("tree")).string();
        const auto found = served.find(name);
        if (found != served.end() && found->second == qztest::sha256File(e.local.full())) {
            EXPECT_EQ(e.result, qz::EFileResult::eDone) << name << ": " << e.errorText;
            continue;
        }
        ++elsewhere;
        EXPECT_FALSE(isAscii(name)) << name << " did not arrive";
        if (e.result != qz::EFileResult::eFailed) {
            ADD_FAILURE() << name << " is not on the server under that name, yet " << qz::to_string(e.result);
        } else {
            EXPECT_NE(e.errorText.find(e.remote.base()), std::string::npos) << name << ": " << e.errorText;
        }
    }
    EXPECT_GT(elsewhere, 0u) << "the server kept every name: the row shows nothing";
    EXPECT_EQ(stats.filesFailed, elsewhere);
    const std::string failed = "could not send " + std::to_string(elsewhere) + " of " +
                               std::to_string(stats.fileMap.size()) + " files: ";
    EXPECT_EQ(error.rfind(failed, 0), 0u) << error;
    EXPECT_TRUE(qztest::contains(summaryLog(), "does not list UTF8 in its FEAT answer: "));
    if (HasFailure()) ADD_FAILURE() << "the upload's summary log:\n" << summaryLog();
}

// Pipelined, Twisted also fails a STOR that comes with its PASV (see
// twisted_ftp_server.hpp): the files in ASCII must arrive all the same.
const Row kRenamingRows[] = {{Kind::twisted, false, true}, {Kind::twisted, false, false}};
INSTANTIATE_TEST_SUITE_P(Servers, ServerMatrixRenamingUpload, testing::ValuesIn(kRenamingRows), rowName);

// A statistics callback that restarts the server, ending every session, once
// `at` bytes have gone.
struct RestartServerAt {
    AnyServer* server = nullptr;
    std::uint64_t at = 0;
    bool done = false;
    static void check(const qz::GlobalStateAndStats& s, void* user) {
        auto* r = static_cast<RestartServerAt*>(user);
        if (r->done || s.totalBytesTransferred < r->at) return;
        r->done = true;
        r->server->restart();
    }
};

class ServerMatrixResume : public ServerMatrix {};

TEST_P(ServerMatrixResume, AServerRestartMidFileResumesIt) {
    const std::size_t size = 4 * 1024 * 1024;
    writeFile("large file.bin", pattern(size, 7));
    writeFile("after.txt", "after the restart");
    qz::Options o = options();
    o.setBandwidth(32'000'000, 0);  // 4 MB/s: the restart comes mid-file
    qz::Control control(o);
    control.prepareSingleFile(qz::Local(path("large file.bin")));
    control.prepareSingleFile(qz::Local(path("after.txt")));
    RestartServerAt restart{server_.get(), size / 3};
    control.setStatsCallback(RestartServerAt::check, &restart);
    control.upload();
    control.disconnect();

    ASSERT_TRUE(restart.done);
    const std::string log = summaryLog();
    EXPECT_EQ(treeOf(server_->root()),
              (std::map<std::string, std::string>{{"large file.bin", qztest::sha256File(path("large file.bin"))},
                                                  {"after.txt", qztest::sha256File(path("after.txt"))}}))
        << log;
    const auto& large = control.getFileMap().at(1);
    EXPECT_EQ(large.result, qz::EFileResult::eDone) << large.errorText;
    EXPECT_GE(large.attempts, 2);
    EXPECT_EQ(large.sha256, qztest::sha256File(path("large file.bin")));
    const std::string resuming = "qz::Control: resuming \"large file.bin\" at byte ";
    const auto at = log.find(resuming);
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_NE(log.compare(at + resuming.size(), 2, "0 "), 0) << log;
}

const Row kResumeRows[] = {
    {Kind::vsftpd, false, true},        {Kind::vsftpd, false, false},        {Kind::vsftpd, true, true},
    {Kind::proftpd, false, true},       {Kind::proftpd, false, false},       {Kind::proftpd, true, true},
    {Kind::pureFtpd, false, true},      {Kind::pureFtpd, false, false},      {Kind::pureFtpd, true, true},
    {Kind::pyftpdlib, false, true},     {Kind::pyftpdlib, false, false},     {Kind::pyftpdlib, true, true},
    {Kind::inetutilsFtpd, false, true}, {Kind::inetutilsFtpd, false, false},
};
INSTANTIATE_TEST_SUITE_P(Servers, ServerMatrixResume, testing::ValuesIn(kResumeRows), rowName);

// Names honest servers store as sent but that their listings show (or hide)
// in their own ways: a dot file, folders and files beginning with "-", glob
// characters.
class ServerMatrixListedNames : public ServerMatrix {};

TEST_P(ServerMatrixListedNames, EveryFileStoredAsSentEndsDone) {
    // (pure-ftpd stores " lead" as "_lead", and proftpd takes "*" in MKD as a
    // pattern: both left out here.)
    const std::vector<std::string> names = {".hidden",        "-dash.txt",       "[1] x.txt",
                                            "-l/in dash.txt", "-l/sub/deep.txt", "-rf/a.txt",
                                            "[d]/b.txt",      ".dotdir/c.txt",   "-l/[2].txt"};
    for (std::size_t i = 0; i < names.size(); ++i)
        writeFile("tree/" + names[i], pattern(100 + i, static_cast<unsigned>(7 + i)));
    qz::Options o = options();
    qz::Control control(o);
    control.prepareRecursiveDir(qz::Local(path("tree")), qz::Remote("."));
    control.connect();
    try {
        control.upload();
    } catch (const qz::Exception& e) {
        ADD_FAILURE() << e.what();
    }
    control.disconnect();
    for (const auto& [number, e] : control.getFileMap()) {
        EXPECT_EQ(e.result, qz::EFileResult::eDone) << "\"" << e.remote.full() << "\": " << e.errorText;
    }
    EXPECT_EQ(treeOf(server_->root()), treeOf(path("tree"))) << summaryLog();
}

const Row kNameRows[] = {
    {Kind::vsftpd, false, true},
    {Kind::proftpd, false, true},
    {Kind::pureFtpd, false, true},
    {Kind::pyftpdlib, false, true},
};
INSTANTIATE_TEST_SUITE_P(Servers, ServerMatrixListedNames, testing::ValuesIn(kNameRows), rowName);

}  // namespace
