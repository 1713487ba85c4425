// Whole jobs: the reference job server, a real FTP server, and the client's
// one upload call in between. What arrives is compared byte for byte.
#include <atomic>
#include <random>
#include <thread>

#include "e2e/servers.hpp"
#include "qz/ws.hpp"
#include "support/digest.hpp"

namespace {

using qztest::sha256File;

class Upload : public qztest::WithServers {
protected:
    static void SetUpTestSuite() { qz::WS::initialize_third_party_libs(); }

    std::string randomFile(const std::string& name, std::size_t size) {
        std::string content(size, '\0');
        std::mt19937_64 random(size);
        for (std::size_t i = 0; i + 8 <= size; i += 8) {
            std::uint64_t r = random();
            std::memcpy(&content[i], &r, 8);
        }
        return writeFile(name, content);
    }

    void loginAndCreate(qz::WS& ws) {
        ws.login(jobs->baseUrl(), "alice", "wonderland");
        ws.createJob("Sequencing run", {{"project", "e2e"}});
    }

    // What the callback saw.
    struct Seen {
        std::vector<std::uint64_t> bytes;
        int finishedCalls = 0;
        std::uint64_t total = 0;
        std::atomic<std::uint64_t> latest{0};
    };
    static void record(const qz::GlobalStateAndStats& s, void* user) {
        auto* seen = static_cast<Seen*>(user);
        seen->bytes.push_back(s.totalBytesTransferred);
        seen->latest = s.totalBytesTransferred;
        seen->total = s.totalBytes;
        if (s.finished) ++seen->finishedCalls;
    }
};

TEST_F(Upload, AWholeJobArrivesByteForByte) {
    startServers();
    const std::string single = randomFile("input/single report.pdf", 123457);
    randomFile("input/tree/big.bin", 50u << 20);
    randomFile("input/tree/run 1/lane 2/reads.fastq", 700000);
    writeFile("input/tree/run 1/grüße & notes #1.txt", "Grüße");
    writeFile("input/tree/empty.txt", "");
    std::filesystem::create_directories(path("input/tree/no files here"));

    qz::WS ws;
    loginAndCreate(ws);
    ws.queueSingleFile(single).queueRecursiveDirectory(path("input/tree"));
    Seen seen;
    qz::GlobalStateAndStats done = ws.uploadQueuedFiles(&Upload::record, &seen);
    EXPECT_EQ(ws.get_state(), qz::WS::eFinished);

    const std::vector<std::pair<std::string, std::string>> expected = {
        {"single report.pdf", single},
        {"big.bin", path("input/tree/big.bin")},
        {"empty.txt", path("input/tree/empty.txt")},
        {"run 1/grüße & notes #1.txt", path("input/tree/run 1/grüße & notes #1.txt")},
        {"run 1/lane 2/reads.fastq", path("input/tree/run 1/lane 2/reads.fastq")},
    };
    std::uint64_t total = 0;
    for (const auto& [remote, local] : expected) {
        const std::string arrived = ftp->root() + "/" + remote;
        ASSERT_TRUE(std::filesystem::exists(arrived)) << remote;
        EXPECT_EQ(sha256File(arrived), sha256File(local)) << remote;
        total += std::filesystem::file_size(local);
    }
    EXPECT_TRUE(std::filesystem::is_directory(ftp->root() + "/no files here"));
    EXPECT_EQ(done.totalBytesTransferred, total);
    EXPECT_EQ(done.filesDone, expected.size());
    for (const auto& [n, file] : done.fileMap) EXPECT_EQ(file.result, qz::EFileResult::eDone) << file.remote.full();

    // Progress rose to the total, and the last call said so.
    ASSERT_FALSE(seen.bytes.empty());
    EXPECT_TRUE(std::is_sorted(seen.bytes.begin(), seen.bytes.end()));
    EXPECT_EQ(seen.bytes.back(), total);
    EXPECT_EQ(seen.total, total);
    EXPECT_EQ(seen.finishedCalls, 1);

    auto job = theJob();
    EXPECT_EQ(job["state"], "finalized");
    EXPECT_EQ(job["totalSize"], total);
    ASSERT_EQ(job["files"].size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(job["files"][i]["name"], expected[i].first);
    EXPECT_TRUE(job["finalization"]["success"].get<bool>());
    const std::string log = job["log"];
    EXPECT_NE(log.find("qz::WS: done uploading queued files"), std::string::npos);
}

TEST_F(Upload, OverFtpsWithTheTestsCertificateAuthority) {
    startServers({true, {}, ""});
    const std::string file = randomFile("secure.bin", 300000);
    ::setenv("QZ_CA_FILE", certificates.caFile.c_str(), 1);
    qz::WS ws;
    loginAndCreate(ws);
    ::unsetenv("QZ_CA_FILE");
    EXPECT_EQ(ws.options.getMap(false)["encrypt data"], "true");
    ws.queueSingleFile(file);
    ws.uploadQueuedFiles(nullptr, nullptr);
    EXPECT_EQ(ws.get_state(), qz::WS::eFinished);
    EXPECT_EQ(sha256File(ftp->root() + "/secure.bin"), sha256File(file));
}

TEST_F(Upload, FtpsWithoutTheAuthorityIsRefused) {
    startServers({true, {}, ""});
    qz::WS ws;
    loginAndCreate(ws);
    ws.queueSingleFile(randomFile("secure.bin", 1000));
    EXPECT_THROW(ws.uploadQueuedFiles(nullptr, nullptr), qz::Exception);
    EXPECT_EQ(ws.message.rfind("failed to establish a connection to the ftp server: ", 0), 0u) << ws.message;
    EXPECT_EQ(ws.get_state(), qz::WS::eFileQueue);
}

TEST_F(Upload, ATransferServerThatRestartsMidFile) {
    // 40 Mbit/s: the 16 MB file takes some three seconds.
    startServers({false, {{"bandwidth", "40"}, {"congestionControlStartRate", "40"}}, ""});
    const std::string file = randomFile("large.bin", 16u << 20);
    qz::WS ws;
    loginAndCreate(ws);
    ws.queueSingleFile(file);
    Seen seen;
    std::thread saboteur([&] {
        while (seen.latest < (4u << 20)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ftp->stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ftp->restart();
    });
    qz::GlobalStateAndStats done;
    EXPECT_NO_THROW(done = ws.uploadQueuedFiles(&Upload::record, &seen));
    saboteur.join();
    EXPECT_EQ(ws.get_state(), qz::WS::eFinished);
    EXPECT_EQ(sha256File(ftp->root() + "/large.bin"), sha256File(file));
    EXPECT_GE(done.fileMap.at(1).attempts, 2);
}

TEST_F(Upload, TransferServerFailuresBeforeAnyByte) {
    struct Case {
        const char* name;
        std::string givenPassword;
        bool stopServer;
        const char* words;
    };
    const Case cases[] = {
        {"server gone", "", true, "Couldn't connect"},
        {"wrong password", "not the password", false, "530"},
        // The job server's answer carries it as "&#13;&#10;": no byte of it may reach the server.
        {"password that would become a command", "pa55 word\r\nMKD injected", false,
         "cannot connect: the password (\"p\") holds a control character (0x0D); nothing was sent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        startServers({false, {}, c.givenPassword});
        if (c.stopServer) ftp->stop();
        qz::WS ws;
        loginAndCreate(ws);
        ws.queueSingleFile(writeFile("a.txt", "a"));
        try {
            ws.uploadQueuedFiles(nullptr, nullptr);
            ADD_FAILURE() << "uploaded";
        } catch (const qz::Exception& e) {
            EXPECT_EQ(ws.message, std::string("failed to establish a connection to the ftp server: ") + e.what());
            EXPECT_NE(std::string(e.what()).find(c.words), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).find("MKD injected"), std::string::npos) << e.what();
        }
        for (const auto& line : ftp->commands()) {
            EXPECT_EQ(line.find("injected"), std::string::npos) << line;
        }
        EXPECT_EQ(ws.get_state(), qz::WS::eFileQueue);
        EXPECT_EQ(theJob()["state"], "created");
        jobs.reset();
        ftp.reset();
    }
}

TEST_F(Upload, NamesTheJobCouldNotReportAreRefusedWhenQueued) {
    startServers();
    const std::string good = writeFile("in/good.txt", "good");
    qz::WS ws;
    loginAndCreate(ws);
    ws.queueSingleFile(good);
    for (const std::string name : {"a#,#b.txt", "tab\t.txt", "cr\r.txt", "lf\n.txt"}) {
        const std::string bad = writeFile("bad/" + name, "bad");
        EXPECT_THROW(ws.queueSingleFile(bad), qz::Exception);
        EXPECT_THROW(ws.queueRecursiveDirectory(path("bad")), qz::Exception);
        std::filesystem::remove(bad);
    }
    EXPECT_EQ(ws.control.getFileMap().size(), 1u);
    ws.uploadQueuedFiles(nullptr, nullptr);
    EXPECT_EQ(ws.get_state(), qz::WS::eFinished);
    auto job = theJob();
    EXPECT_EQ(job["state"], "finalized");
    ASSERT_EQ(job["files"].size(), 1u);
    EXPECT_EQ(job["files"][0]["name"], "good.txt");
    std::vector<std::string> served;
    for (const auto& e : std::filesystem::directory_iterator(ftp->root())) served.push_back(e.path().filename());
    EXPECT_EQ(served, std::vector<std::string>{"good.txt"});
}

TEST_F(Upload, AFileThatVanishedIsNamedAndTheOthersArrive) {
    startServers();
    const std::string kept = writeFile("in/kept.txt", "kept");
    const std::string gone = writeFile("in/gone.txt", "gone");
    qz::WS ws;
    loginAndCreate(ws);
    ws.queueRecursiveDirectory(path("in"));
    std::filesystem::remove(gone);
    try {
        ws.uploadQueuedFiles(nullptr, nullptr);
        ADD_FAILURE() << "a vanished file counted as sent";
    } catch (const qz::Exception& e) {
        EXPECT_NE(std::string(e.what()).find("gone.txt"), std::string::npos) << e.what();
        EXPECT_EQ(ws.message.rfind("file upload failed: ", 0), 0u);
    }
    EXPECT_EQ(ws.get_state(), qz::WS::eUploading);
    EXPECT_EQ(qztest::readFile(ftp->root() + "/kept.txt"), "kept");
    EXPECT_FALSE(std::filesystem::exists(ftp->root() + "/gone.txt"));
    for (const auto& [n, f] : ws.control.getFileMap()) {
        EXPECT_EQ(f.result, f.remote.full() == "kept.txt" ? qz::EFileResult::eDone : qz::EFileResult::eFailed);
    }
    EXPECT_EQ(theJob()["state"], "created");  // nothing reported as finished
}

}  // namespace
