// The engine's value types, logs and queue.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <functional>
#include <tuple>
#include <utility>

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
    struct Case {
        bool multi;
        int count;
        qz::ETransferMode mode;
        int expected;
    };
    const Case cases[] = {
        {false, 3, qz::ETransferMode::eParallel, 1},    {true, 3, qz::ETransferMode::eSequential, 1},
        {true, 3, qz::ETransferMode::eParallel, 3},     {true, 0, qz::ETransferMode::eParallel, 1},
        {true, 1000, qz::ETransferMode::eParallel, 16},
    };
    for (const auto& c : cases) {
        qz::Options o;
        o.setMultiThreaded(c.multi, c.count);
        o.setMode(c.mode, qz::EConnectionMode::ePassive);
        EXPECT_EQ(o.effectiveConnections(), c.expected) << c.multi << " " << c.count;
    }
}

// Fields set directly skip the setters: the engine must still see every value
// within its range (a negative encoder count would read ahead without end, an
// aggression of 100 would back the rate off below zero).
TEST(Options, AControlHoldsEveryValueWithinItsRange) {
    using Values = std::array<int, 7>;  // connections, unit, block, encoders, aggression, stall, unreachable
    const std::pair<Values, Values> cases[] = {
        {{0, 0, 0, -1, 0, 0, -5}, {1, 1, 16384, 0, 1, 1, 1}},
        {{1000, 1 << 30, 1 << 30, 1000, 100, 7, 9}, {16, 2097152, 2097152, 64, 10, 7, 9}},
    };
    for (const auto& [raw, within] : cases) {
        qz::Options o;
        std::tie(o.connections, o.unitSize, o.blockSize, o.encoders, o.congestionAggression, o.stallTimeout,
                 o.unreachableTimeout) = std::tuple_cat(raw);
        qz::Control fromStart(o);
        qz::Control fromLater(qz::Options{});
        fromLater.setNewOptions(o);
        for (const qz::Options* held : {&fromStart.getOptions(), &fromLater.getOptions()}) {
            EXPECT_EQ((Values{held->connections, held->unitSize, held->blockSize, held->encoders,
                              held->congestionAggression, held->stallTimeout, held->unreachableTimeout}),
                      within)
                << raw[0];
        }
    }
    qz::Options o;
    o.setLimits(50000, 1);  // the unit is bounded by the block size in force
    EXPECT_EQ(std::make_pair(o.unitSize, o.blockSize), std::make_pair(16384, 16384));
}

TEST(Rates, TableAndDisplay) {
    EXPECT_EQ(qz::bps(qz::ECommonBandwidth::e1Mbit), 1000000u);
    EXPECT_EQ(qz::bps(static_cast<qz::ECommonBandwidth>(18)), 10000000000u);
    EXPECT_EQ(qz::bps(static_cast<qz::ECommonBandwidth>(0)), 0u);
    EXPECT_EQ(qz::bps(static_cast<qz::ECommonBandwidth>(99)), 0u);
    const std::pair<std::uint64_t, const char*> shown[] = {
        {0, "0 bit/s"},
        {999, "999 bit/s"},
        {1500, "1.50 kbit/s"},
        {100000000, "100.00 Mbit/s"},
        {10000000000ull, "10.00 Gbit/s"},
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
    const qz::Exception logged("file", 7, "op", "went wrong", {});
    qz::Exception::createLogFile(false);
    const qz::Exception unlogged("file", 8, "op", "not logged", {});
    EXPECT_EQ(readFile(qz::Exception::getLogFilename()), "file:7 op: went wrong\n");
}

// Whatever is planted where a log goes is refused and left exactly as it was.
TEST_F(EngineTypes, LogsRefusePlantedLinksAndFilesTheyDidNotMake) {
    const std::string target = writeFile("target.txt", "keep me");
    struct Plant {
        const char* name;
        std::function<void(const std::string&)> plant;
        std::string reason;
    };
    std::vector<Plant> plants = {
        {"link", [&](const std::string& p) { ASSERT_EQ(::symlink(target.c_str(), p.c_str()), 0); },
         "is a symbolic link"},
        {"readable by all",
         [&](const std::string& p) {
             writeFile(p.substr(dir().size() + 1), "planted");
             ::chmod(p.c_str(), 0644);
         },
         "is open to other users"},
        {"fifo", [&](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, "is not a regular file"},
    };
    if (::geteuid() == 0) {
        plants.push_back({"another user's",
                          [&](const std::string& p) {
                              writeFile(p.substr(dir().size() + 1), "planted");
                              ::chmod(p.c_str(), 0600);
                              ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
                          },
                          "belongs to another user"});
    }
    struct Log {
        std::string path;
        std::function<void()> open;
    };
    const Log logs[] = {
        {qz::SummaryLog::getLogFilename(), [] { qz::SummaryLog::truncateLogFile(); }},
        {qz::Exception::getLogFilename(), [] { qz::Exception::createLogFile(true); }},
    };
    for (const auto& log : logs) {
        for (const auto& plant : plants) {
            SCOPED_TRACE(log.path + ": " + plant.name);
            std::filesystem::remove(log.path);
            plant.plant(log.path);
            struct stat before {};
            ASSERT_EQ(::lstat(log.path.c_str(), &before), 0);
            try {
                log.open();
                ADD_FAILURE() << "opened";
            } catch (const qz::Exception& e) {
                EXPECT_EQ(std::string(e.what()), "the log file \"" + log.path + "\" " + plant.reason);
            }
            qz::SummaryLog::add("dropped");
            struct stat after {};
            ASSERT_EQ(::lstat(log.path.c_str(), &after), 0);
            EXPECT_EQ(after.st_mode, before.st_mode);
            EXPECT_EQ(after.st_uid, before.st_uid);
            EXPECT_EQ(after.st_size, before.st_size);
            EXPECT_EQ(readFile(target), "keep me");
        }
        std::filesystem::remove(log.path);
    }
    qz::Exception::createLogFile(false);

    // The folder itself: a link to a folder, or one that others may enter.
    std::filesystem::create_directories(path("private"));
    ::chmod(path("private").c_str(), 0700);
    ASSERT_EQ(::symlink(path("private").c_str(), path("linked").c_str()), 0);
    std::filesystem::create_directories(path("shared"));
    ::chmod(path("shared").c_str(), 0755);
    std::vector<std::pair<std::string, std::string>> folders = {
        {path("linked"), "is not a folder (a link or a file)"},
        {path("shared"), "is open to other users; set QZ_LOG_DIR to a folder of your own"},
    };
    if (::geteuid() == 0) {
        std::filesystem::create_directories(path("others"));
        ::chmod(path("others").c_str(), 0700);
        ASSERT_EQ(::chown(path("others").c_str(), 65534, 65534), 0);
        folders.push_back({path("others"), "belongs to another user; set QZ_LOG_DIR to a folder of your own"});
    }
    for (const auto& [folder, reason] : folders) {
        ::setenv("QZ_LOG_DIR", folder.c_str(), 1);
        try {
            qz::SummaryLog::truncateLogFile();
            ADD_FAILURE() << folder;
        } catch (const qz::Exception& e) {
            EXPECT_EQ(std::string(e.what()), "the log folder \"" + folder + "\" " + reason);
        }
    }
    EXPECT_TRUE(std::filesystem::is_empty(path("private")));
    EXPECT_TRUE(std::filesystem::is_empty(path("shared")));
    if (::geteuid() == 0) EXPECT_TRUE(std::filesystem::is_empty(path("others")));
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

    struct Case {
        std::string path;
        std::string reason;
    };
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

TEST_F(EngineTypes, QueueRefusesNamesTheJobCouldNotReport) {
    struct Case {
        std::string name;
        std::string shown;
        std::string problem;
    };
    const Case cases[] = {
        {"a#,#b", "a#,#b", "holds \"#,#\" or ends in \"#,\", which the job's file list cannot carry"},
        {"ends#,", "ends#,", "holds \"#,#\" or ends in \"#,\", which the job's file list cannot carry"},
        {"tab\there", "tab\\x09here", "holds the control byte 0x09"},
        {"cr\rhere", "cr\\x0Dhere", "holds the control byte 0x0D"},
        {"lf\nhere", "lf\\x0Ahere", "holds the control byte 0x0A"},
        {"caf\xE9", "caf\xE9", "is not valid UTF-8"},
    };
    qz::Control c{qz::Options()};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.shown);
        const std::string file = writeFile("single/" + k.name, "x");
        const std::string expected = "cannot queue \"" + path("single/") + k.shown + "\": its remote name \"" +
                                     k.shown + "\" " + k.problem;
        try {
            c.prepareSingleFile(qz::Local(file));
            ADD_FAILURE() << "queued";
        } catch (const qz::Exception& e) {
            EXPECT_EQ(std::string(e.what()), expected);
        }
        // Deep in a tree the whole call is refused before anything is queued.
        writeFile("tree/fine.txt", "fine");
        writeFile("tree/deeper/" + k.name, "x");
        try {
            c.prepareRecursiveDir(qz::Local(path("tree")), qz::Remote("up"));
            ADD_FAILURE() << "queued";
        } catch (const qz::Exception& e) {
            EXPECT_NE(std::string(e.what()).find("its remote name \"up/deeper/" + k.shown + "\" " + k.problem),
                      std::string::npos)
                << e.what();
        }
        std::filesystem::remove_all(path("tree"));
    }
    writeFile("tree/fine.txt", "fine");
    EXPECT_THROW(c.prepareRecursiveDir(qz::Local(path("tree")), qz::Remote("../up")), qz::Exception);
    EXPECT_TRUE(c.getFileMap().empty());
}

TEST_F(EngineTypes, QueueRefusesASecondFileOnTheSameRemoteName) {
    writeFile("a/run/x.txt", "a");
    writeFile("a/run/only-a.txt", "a");
    writeFile("b/run/x.txt", "b");
    writeFile("b/run/only-b.txt", "b");
    writeFile("c/run", "a file where a folder lands");
    using Call = std::function<void(qz::Control&)>;
    auto file = [this](const std::string& p) {
        return Call([p = path(p)](qz::Control& c) { c.prepareSingleFile(qz::Local(p)); });
    };
    auto tree = [this](const std::string& p, const std::string& remote) {
        return Call([p = path(p), remote](qz::Control& c) { c.prepareRecursiveDir(qz::Local(p), qz::Remote(remote)); });
    };
    struct Case {
        const char* name;
        Call first, second;
        std::string error;  // "" when the second call is accepted
        std::size_t files;  // queued after both calls
    };
    const Case cases[] = {
        {"folders with the same inner layout", tree("a/run", "."), tree("b/run", "."),
         "cannot queue \"" + path("b/run/x.txt") + "\": the remote name \"x.txt\" is already taken by \"" +
             path("a/run/x.txt") + "\"",
         2},
        {"files with the same base name", file("a/run/x.txt"), file("b/run/x.txt"),
         "cannot queue \"" + path("b/run/x.txt") + "\": the remote name \"x.txt\" is already taken by \"" +
             path("a/run/x.txt") + "\"",
         1},
        {"a file where a folder is", tree("a/run", "run"), file("c/run"),
         "cannot queue \"" + path("c/run") + "\": the remote name \"run\" is already taken by \"" + path("a/run") +
             "\" as a folder",
         2},
        {"a folder where a file is", file("c/run"), tree("a", "."),
         "cannot queue \"" + path("a/run") + "\": the remote name \"run\" is already taken by \"" + path("c/run") +
             "\" as a file",
         1},
        {"a name from the root and the same name in the login folder", tree("a/run", "/"), file("b/run/x.txt"),
         "cannot queue \"" + path("b/run/x.txt") + "\": the remote name \"x.txt\" is already taken by \"" +
             path("a/run/x.txt") + "\"",
         2},
        {"the same file again", file("a/run/x.txt"), file("a/run/../run/x.txt"), "", 1},
        {"the same tree again", tree("a/run", "run"), tree("a/run/", "./run/"), "", 2},
        {"folders side by side", tree("a/run", "a"), tree("b/run", "b"), "", 4},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        qz::Control c{qz::Options()};
        k.first(c);
        try {
            k.second(c);
            EXPECT_EQ(k.error, "");
        } catch (const qz::Exception& e) {
            EXPECT_EQ(std::string(e.what()), k.error);
        }
        EXPECT_EQ(c.getFileMap().size(), k.files);
        EXPECT_EQ(c.getGlobalStateAndStats().filesTotal, k.files);
    }
}

TEST_F(EngineTypes, LinksInATreeAreSentSkippedOrFollowed) {
    writeFile("tree/file.txt", "f");
    writeFile("tree/sub/inner.txt", "i");
    ::mkfifo(path("fifo").c_str(), 0600);
    namespace fs = std::filesystem;
    fs::create_symlink("file.txt", path("tree/file-link"));
    fs::create_symlink("sub", path("tree/folder-link"));
    fs::create_symlink("..", path("tree/sub/loop"));
    fs::create_symlink("nowhere", path("tree/dangling"));
    fs::create_symlink("../fifo", path("tree/fifo-link"));

    auto queued = [](const qz::Control& c) {
        std::vector<std::tuple<std::string, std::string, bool>> out;
        for (const auto& [n, s] : c.getFileMap()) out.emplace_back(s.local.full(), s.remote.full(), s.viaLink);
        return out;
    };
    auto skipped = [](const qz::Control& c) {
        std::vector<std::pair<std::string, std::string>> out;
        for (const auto& s : c.getGlobalStateAndStats().skipped) out.emplace_back(s.local, s.reason);
        return out;
    };
    using Files = std::vector<std::tuple<std::string, std::string, bool>>;
    using Skipped = std::vector<std::pair<std::string, std::string>>;
    const Skipped alwaysSkipped = {
        {path("tree/dangling"), "dangling link"},
        {path("tree/fifo-link"), "link to something that is neither a file nor a folder"},
    };

    qz::Control c{qz::Options()};
    c.prepareRecursiveDir(qz::Local(path("tree")), qz::Remote("."));
    EXPECT_EQ(queued(c), (Files{{path("tree/file-link"), "file-link", true},
                                {path("tree/file.txt"), "file.txt", false},
                                {path("tree/sub/inner.txt"), "sub/inner.txt", false}}));
    Skipped expected = alwaysSkipped;
    expected.insert(expected.end(), {{path("tree/folder-link"), "link to a folder, not followed"},
                                     {path("tree/sub/loop"), "link to a folder, not followed"}});
    EXPECT_EQ(skipped(c), expected);

    // Kept across a new configuration and a new queue.
    c.setFolderLinks(qz::eFollowFolderLinks);
    c.setNewOptions(qz::Options());
    c.clearQueue();
    EXPECT_TRUE(skipped(c).empty());
    c.prepareRecursiveDir(qz::Local(path("tree")), qz::Remote("."));
    EXPECT_EQ(queued(c), (Files{{path("tree/file-link"), "file-link", true},
                                {path("tree/file.txt"), "file.txt", false},
                                {path("tree/folder-link/inner.txt"), "folder-link/inner.txt", true},
                                {path("tree/sub/inner.txt"), "sub/inner.txt", false}}));
    expected = alwaysSkipped;
    expected.insert(expected.end(), {{path("tree/folder-link/loop"), "loop: leads back to \"" + path("tree") + "\""},
                                     {path("tree/sub/loop"), "loop: leads back to \"" + path("tree") + "\""}});
    EXPECT_EQ(skipped(c), expected);

    c.prepareSingleFile(qz::Local(path("tree/file-link")));  // kept once: the same file, the same name
    c.clearQueue();
    c.prepareSingleFile(qz::Local(path("tree/file-link")));
    EXPECT_EQ(queued(c), (Files{{path("tree/file-link"), "file-link", true}}));
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
