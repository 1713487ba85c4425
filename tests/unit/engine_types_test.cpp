// The engine's value types, logs and queue.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "qz/engine.hpp"
#include "support/temp_dir.hpp"

namespace {

using qztest::readFile;

class EngineTypes : public qztest::TempDirTest {};

TEST(Options, MapMasksPasswordUnlessAsked) {
    qz::Options o;
    o.setUsernameAndPassword("alice", "s3cret");
    EXPECT_EQ(o.getMap(false).at("password"), "********");
    EXPECT_EQ(o.getMap(true).at("password"), "s3cret");
    EXPECT_EQ(o.getMap(false).at("username"), "alice");
    o.setUsernameAndPassword("alice", "");
    EXPECT_EQ(o.getMap(false).at("password"), "");
}

TEST(Options, ResetRestoresDefaultsAndCopiesAreIndependent) {
    qz::Options o;
    const auto defaults = o.getMap(true);
    o.setFtpServer("ftp.example.net", 2121);
    o.setMultiThreaded(true, 3);
    o.setBandwidth(1000, 10);
    o.setStallTimeout(0);  // no stall check at all would let a frozen server hold the upload
    EXPECT_EQ(o.getMap(true).at("stall timeout"), "1");
    o.setUnreachableTimeout(0);  // a server must get at least a moment to come back
    EXPECT_EQ(o.getMap(true).at("unreachable timeout"), "1");
    qz::Options copy;
    copy = o;
    o.reset();
    EXPECT_EQ(o.getMap(true), defaults);
    EXPECT_EQ(defaults.at("stall timeout"), "30");
    EXPECT_EQ(defaults.at("unreachable timeout"), "120");
    EXPECT_EQ(copy.getMap(true).at("host"), "ftp.example.net");
    EXPECT_EQ(copy.getMap(true).at("port"), "2121");
    EXPECT_EQ(copy.effectiveConnections(), 3);
}

TEST(Options, ParallelConnectionsNeedModeAndFlag) {
    struct Case { bool multi; int count; qz::ETransferMode mode; int expected; };
    const Case cases[] = {
        {false, 3, qz::ETransferMode::eParallel, 1},
        {true, 3, qz::ETransferMode::eSequential, 1},
        {true, 3, qz::ETransferMode::eParallel, 3},
        {true, 0, qz::ETransferMode::eParallel, 1},
        {true, 1000, qz::ETransferMode::eParallel, 16},
    };
    for (const auto& c : cases) {
        qz::Options o;
        o.setMultiThreaded(c.multi, c.count);
        o.setMode(c.mode, qz::EConnectionMode::ePassive);
        EXPECT_EQ(o.effectiveConnections(), c.expected) << c.multi << " " << c.count;
    }
}

TEST(Rates, TableAndDisplay) {
    EXPECT_EQ(qz::bps(qz::ECommonBandwidth::e1Mbit), 1000000u);
    EXPECT_EQ(qz::bps(static_cast<qz::ECommonBandwidth>(18)), 10000000000u);
    EXPECT_EQ(qz::bps(static_cast<qz::ECommonBandwidth>(0)), 0u);
    EXPECT_EQ(qz::bps(static_cast<qz::ECommonBandwidth>(99)), 0u);
    const std::pair<std::uint64_t, const char*> shown[] = {
        {0, "0 bit/s"},          {999, "999 bit/s"},         {1500, "1.50 kbit/s"},
        {100000000, "100.00 Mbit/s"}, {10000000000ull, "10.00 Gbit/s"},
        {UINT64_MAX, "18.45 Ebit/s"},
    };
    for (const auto& [rate, text] : shown) EXPECT_EQ(qz::formatTransferRate(rate), text);
}

TEST(Names, FullAndBase) {
    qz::Local l("/data/run 1/a.txt");
    EXPECT_EQ(l.full(), "/data/run 1/a.txt");
    EXPECT_EQ(l.base(), "a.txt");
    EXPECT_EQ(qz::Remote("plain").base(), "plain");
    EXPECT_EQ(qz::Remote("dir/").base(), "");
}

TEST(Exception, CarriesEverythingAndCopies) {
    qz::Exception e("QZWS", 42, "login", "base URL cannot be empty", {{"k", "v"}});
    qz::Exception copy = e;
    EXPECT_STREQ(copy.what(), "base URL cannot be empty");
    EXPECT_EQ(copy.file(), "QZWS");
    EXPECT_EQ(copy.line(), 42);
    EXPECT_EQ(copy.operation(), "login");
    EXPECT_EQ(copy.diagnostics.at("k"), "v");
}

TEST(Version, TextsComeFromTheLinkedLibraries) {
    EXPECT_EQ(qz::libqzVersionStr().rfind("libqz ", 0), 0u);
    EXPECT_EQ(qz::opensslVersionStr().rfind("OpenSSL 3", 0), 0u);
}

TEST_F(EngineTypes, LogsAreOwnerOnlyFilesInTheLogFolder) {
    qz::SummaryLog::truncateLogFile();
    qz::SummaryLog::add("first");
    qz::SummaryLog::add("second");
    const std::string summary = qz::SummaryLog::getLogFilename();
    EXPECT_EQ(summary.rfind(dir() + "/qz-summary-", 0), 0u);
    EXPECT_EQ(readFile(summary), "first\nsecond\n");
    struct stat info {};
    ASSERT_EQ(::stat(summary.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    qz::SummaryLog::truncateLogFile();
    EXPECT_EQ(readFile(summary), "");

    qz::Exception::createLogFile(true);
    qz::Exception("file", 7, "op", "went wrong", {});
    qz::Exception::createLogFile(false);
    qz::Exception("file", 8, "op", "not logged", {});
    EXPECT_EQ(readFile(qz::Exception::getLogFilename()), "file:7 op: went wrong\n");
}

TEST_F(EngineTypes, QueueRecordsPathsRemoteNamesAndSizes) {
    writeFile("single.bin", std::string(10, 'x'));
    writeFile("tree/b.txt", "bb");
    writeFile("tree/a dir/ü 1.txt", "a");
    writeFile("tree/empty", "");
    std::filesystem::create_directories(path("tree/no files/deeper"));

    qz::Control c{qz::Options()};
    c.prepareSingleFile(qz::Local(path("single.bin")));
    c.prepareRecursiveDir(qz::Local(path("tree")), qz::Remote("."));
    c.prepareRecursiveDir(qz::Local(path("tree") + "/"), qz::Remote("up"));

    std::vector<std::tuple<unsigned long, std::string, std::string, std::uint64_t>> got;
    for (const auto& [n, s] : c.getFileMap()) got.emplace_back(n, s.local.full(), s.remote.full(), s.fileSize);
    const decltype(got) expected = {
        {1, path("single.bin"), "single.bin", 10},
        {2, path("tree/a dir/ü 1.txt"), "a dir/ü 1.txt", 1},
        {3, path("tree/b.txt"), "b.txt", 2},
        {4, path("tree/empty"), "empty", 0},
        {5, path("tree/a dir/ü 1.txt"), "up/a dir/ü 1.txt", 1},
        {6, path("tree/b.txt"), "up/b.txt", 2},
        {7, path("tree/empty"), "up/empty", 0},
    };
    EXPECT_EQ(got, expected);
    const auto& stats = c.getGlobalStateAndStats();
    EXPECT_EQ(stats.filesTotal, 7u);
    EXPECT_EQ(stats.totalBytes, 16u);
    EXPECT_EQ(c.getMap().at("files queued"), "7");

    c.clearQueue();
    EXPECT_TRUE(c.getFileMap().empty());
    EXPECT_EQ(c.getGlobalStateAndStats().totalBytes, 0u);
}

TEST_F(EngineTypes, QueueRefusesWhatCannotBeSentAndNamesIt) {
    writeFile("dir/ok.txt", "ok");
    std::filesystem::create_symlink(path("nowhere"), path("dangling"));
    ::mkfifo(path("fifo").c_str(), 0600);
    int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sockPath = path("sock");
    ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
    std::copy(sockPath.begin(), sockPath.end(), addr.sun_path);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    struct Case { std::string path; std::string reason; };
    const Case cases[] = {
        {path("missing.txt"), "No such file or directory"},
        {path("dangling"), "dangling link"},
        {path("fifo"), "not a regular file"},
        {path("sock"), "not a regular file"},
        {path("dir"), "is a folder, not a file"},
        {"", "No such file or directory"},
    };
    qz::Control c{qz::Options()};
    for (const auto& k : cases) {
        try {
            c.prepareSingleFile(qz::Local(k.path));
            ADD_FAILURE() << "queued " << k.path;
        } catch (const qz::Exception& e) {
            EXPECT_EQ(std::string(e.what()), "cannot queue \"" + k.path + "\": " + k.reason);
            EXPECT_EQ(e.operation(), "prepareSingleFile");
        }
    }
    EXPECT_THROW(c.prepareRecursiveDir(qz::Local(path("missing")), qz::Remote(".")), qz::Exception);
    EXPECT_THROW(c.prepareRecursiveDir(qz::Local(path("dir/ok.txt")), qz::Remote(".")), qz::Exception);

    // One bad entry refuses the whole tree, so nothing is half queued.
    std::filesystem::rename(path("fifo"), path("dir/fifo"));
    try {
        c.prepareRecursiveDir(qz::Local(path("dir")), qz::Remote("."));
        ADD_FAILURE() << "queued a tree holding a FIFO";
    } catch (const qz::Exception& e) {
        EXPECT_EQ(std::string(e.what()), "cannot queue \"" + path("dir/fifo") + "\": not a regular file");
    }
    EXPECT_TRUE(c.getFileMap().empty());
    ::close(sock);
}

// Runs `check` as a user who may not read what root made owner-only: as root
// in a child that gives up root first, otherwise right here.
template <typename Check>
void asUnprivilegedUser(Check check) {
    if (::geteuid() != 0) {
        check();
        return;
    }
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        check();
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the unprivileged check failed";
}

TEST_F(EngineTypes, UnreadablePathsAreNamed) {
    const std::string secret = writeFile("open/secret.txt", "s");
    const std::string closed = path("closed");
    std::filesystem::create_directories(closed + "/inner");
    writeFile("closed/inner/x.txt", "x");
    ::chmod(dir().c_str(), 0755);
    ::chmod(path("open").c_str(), 0755);
    ::chmod(secret.c_str(), 0600);
    ::chmod(closed.c_str(), 0700);
    if (::geteuid() != 0) {
        ::chmod(secret.c_str(), 0000);
        ::chmod(closed.c_str(), 0000);
    }
    asUnprivilegedUser([&] {
        qz::Control c{qz::Options()};
        try {
            c.prepareSingleFile(qz::Local(secret));
            ADD_FAILURE() << "queued an unreadable file";
        } catch (const qz::Exception& e) {
            EXPECT_EQ(std::string(e.what()), "cannot queue \"" + secret + "\": Permission denied");
        }
        try {
            c.prepareRecursiveDir(qz::Local(path("open")), qz::Remote("."));
            ADD_FAILURE() << "queued a tree with an unreadable file";
        } catch (const qz::Exception& e) {
            EXPECT_EQ(std::string(e.what()), "cannot queue \"" + secret + "\": Permission denied");
        }
        EXPECT_THROW(c.prepareRecursiveDir(qz::Local(closed), qz::Remote(".")), qz::Exception);
        EXPECT_TRUE(c.getFileMap().empty());
    });
    ::chmod(closed.c_str(), 0700);
}

TEST(Control, TransferCallsFailAgainstAClosedPort) {
    // Port 1 on the loopback: nothing listens there.
    qz::Options o;
    o.setFtpServer("127.0.0.1", 1);
    qz::Control c{o};
    EXPECT_THROW(c.connect(), qz::Exception);
    EXPECT_THROW(c.upload(), qz::Exception);
    EXPECT_THROW(c.detectApproximateUploadSpeed(false), qz::Exception);
    EXPECT_NO_THROW(c.disconnect());
    EXPECT_NO_THROW(c.disconnect());
}

}  // namespace
