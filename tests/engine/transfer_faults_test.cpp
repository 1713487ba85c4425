// Uploads that meet a fault: a full disk, a stalled data connection, a file
// that changes while it is read, a server that goes away. Each ends in a
// complete, verified upload or in an error naming what failed, and the
// statistics claim no byte the server does not hold.
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "qz/engine.hpp"
#include "support/digest.hpp"
#include "engine/engine_test_support.hpp"
#include "support/ftp_server.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using qztest::FtpServer;
using qztest::contains;
using qztest::pattern;
using qztest::readFile;
using qztest::sha256File;

std::uint64_t sizeOnServer(const std::string& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    return ec ? 0 : static_cast<std::uint64_t>(size);
}

class TransferFaults : public qztest::EngineLogTest {
protected:

    // A fresh server (and summary log) for each case.
    FtpServer& server(const FtpServer::Faults& faults = {}) {
        qz::SummaryLog::truncateLogFile();
        server_.reset();
        fs::remove_all(path("served"));
        server_ = std::make_unique<FtpServer>(path("served"));
        if (faults.quota > 0 || faults.stallAfter > 0) server_->setFaults(faults);
        return *server_;
    }

    qz::Options optionsFor(const FtpServer& s) const {
        qz::Options o;
        o.setFtpServer(s.host(), s.port());
        o.setUsernameAndPassword(s.user(), s.password());
        return o;
    }

    // The message of the error that upload must raise, "" (and a failure) without one.
    static std::string uploadError(qz::Control& control) {
        try {
            control.upload();
        } catch (const qz::Exception& e) {
            EXPECT_EQ(e.operation(), "upload");
            return e.what();
        }
        ADD_FAILURE() << "the upload reported no error";
        return "";
    }

    // What every fault must leave: a file reported done is on the server
    // byte for byte; a failed one is named with its reason in the error and
    // claims no more bytes than the server holds; the total adds up.
    void expectHonestStatistics(const qz::Control& control, const std::string& error) {
        const auto& stats = control.getGlobalStateAndStats();
        std::uint64_t total = 0;
        std::uint64_t done = 0;
        std::uint64_t failed = 0;
        for (const auto& [number, e] : stats.fileMap) {
            SCOPED_TRACE(e.remote.full());
            const std::string remote = server_->root() + "/" + e.remote.full();
            total += e.bytesSent;
            if (e.result == qz::EFileResult::eDone) {
                ++done;
                EXPECT_EQ(e.bytesSent, e.fileSize);
                ASSERT_TRUE(fs::exists(remote));
                EXPECT_EQ(sha256File(remote), sha256File(e.local.full()));
            } else {
                ASSERT_EQ(e.result, qz::EFileResult::eFailed);
                ++failed;
                EXPECT_LE(e.bytesSent, sizeOnServer(remote));
                EXPECT_TRUE(contains(e.errorText, "\"" + e.local.full() + "\"")) << e.errorText;
                EXPECT_TRUE(contains(error, e.errorText)) << error;
            }
        }
        EXPECT_EQ(stats.totalBytesTransferred, total);
        EXPECT_EQ(stats.filesDone, done);
        EXPECT_EQ(stats.filesFailed, failed);
        EXPECT_TRUE(stats.finished);
    }

    std::string summaryLog() const { return readFile(qz::SummaryLog::getLogFilename()); }

    std::unique_ptr<FtpServer> server_;
};

TEST_F(TransferFaults, AFullDiskFailsTheFilesThatDoNotFitWithTheServersWordsAndTheOthersArrive) {
    struct Case { const char* name; int reply; };
    const Case cases[] = {{"552, exceeded storage allocation", 552}, {"452, insufficient storage", 452}};
    writeFile("set/a.bin", pattern(100000, 1));
    writeFile("set/b.bin", pattern(100000, 2));
    writeFile("set/c.bin", pattern(400000, 3));
    writeFile("set/d.txt", "no room for me");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FtpServer::Faults full;
        full.quota = 300000;
        full.quotaReply = c.reply;
        FtpServer& s = server(full);
        qz::Control control(optionsFor(s));
        control.prepareRecursiveDir(qz::Local(path("set")), qz::Remote("."));
        const std::string error = uploadError(control);
        expectHonestStatistics(control, error);

        const std::string words = std::to_string(c.reply) + " Insufficient storage space";
        const std::string where = " on 127.0.0.1:" + std::to_string(s.port()) + ": " + words;
        EXPECT_TRUE(contains(error, "could not send 2 of 4 files: ")) << error;
        const auto& map = control.getFileMap();
        EXPECT_EQ(map.at(1).result, qz::EFileResult::eDone);
        EXPECT_EQ(map.at(2).result, qz::EFileResult::eDone);
        const auto& big = map.at(3);
        EXPECT_EQ(big.result, qz::EFileResult::eFailed);
        EXPECT_TRUE(contains(big.errorText, "\"" + path("set/c.bin") + "\": cannot store \"c.bin\"" + where))
            << big.errorText;
        // The server kept what fitted; the resume that learnt it is the only retry.
        EXPECT_EQ(big.bytesSent, 100000u);
        EXPECT_EQ(sizeOnServer(s.root() + "/c.bin"), 100000u);
        EXPECT_LE(big.attempts, 2);
        const auto& small = map.at(4);
        EXPECT_EQ(small.result, qz::EFileResult::eFailed);
        EXPECT_EQ(small.attempts, 1);
        EXPECT_TRUE(contains(small.errorText, "cannot store \"d.txt\"" + where)) << small.errorText;

        // With room again, the next upload resumes the cut file and sends the rest.
        s.setFaults({});
        control.upload();
        expectHonestStatistics(control, "");
        EXPECT_EQ(control.getGlobalStateAndStats().filesDone, 4u);
        EXPECT_TRUE(contains(summaryLog(), "qz::Control: resuming \"c.bin\" at byte 100000 of 400000"))
            << summaryLog();
    }
}

TEST_F(TransferFaults, AStalledTransferIsAbortedAndResumedOrTheFileFailsNamed) {
    // Larger than the socket buffers, the file stalls while it is written;
    // smaller, it is written whole and then waits for a reply that never comes.
    struct Case {
        const char* name; std::size_t size; int connections; bool always; bool arrives; const char* words;
    };
    const Case cases[] = {
        {"stalls once while the bytes go", 48 * 1024 * 1024, 1, false, true, "nothing moved for 1 s"},
        {"stalls once, three connections", 48 * 1024 * 1024, 3, false, true, "nothing moved for 1 s"},
        {"stalls once before the server's reply", 1024 * 1024, 1, false, true, "FTP response timeout"},
        {"stalls every time", 1024 * 1024, 1, true, false, "stalled at byte "},
    };
    writeFile("small.txt", "after the stall");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile("big.bin", pattern(c.size, 4));
        FtpServer::Faults stall;
        stall.stallAfter = 128 * 1024;
        stall.stallAlways = c.always;
        FtpServer& s = server(stall);
        qz::Options o = optionsFor(s);
        o.setStallTimeout(1);
        o.setMultiThreaded(c.connections > 1, c.connections);
        qz::Control control(o);
        control.prepareSingleFile(qz::Local(path("big.bin")));
        control.prepareSingleFile(qz::Local(path("small.txt")));
        const auto& big = control.getFileMap().at(1);
        const std::string stalled = "stalled at byte ";
        if (c.arrives) {
            control.upload();
            expectHonestStatistics(control, "");
            EXPECT_GE(big.attempts, 2);
            const std::string log = summaryLog();
            EXPECT_TRUE(contains(log, "qz::Control: retrying \"big.bin\" (attempt 2 of 5) after: the transfer " +
                                          stalled)) << log;
            EXPECT_TRUE(contains(log, c.words)) << log;
            // The connection that resumed a file goes on replacing the
            // server's copies, not appending to them.
            control.clearQueue();
            control.prepareSingleFile(qz::Local(path("small.txt")));
            control.upload();
            expectHonestStatistics(control, "");
            EXPECT_EQ(control.getFileMap().at(1).attempts, 1);
        } else {
            const std::string error = uploadError(control);
            expectHonestStatistics(control, error);
            EXPECT_EQ(big.result, qz::EFileResult::eFailed);
            EXPECT_TRUE(contains(error, "could not send 1 of 2 files: \"" + path("big.bin") + "\" as \"big.bin\": "))
                << error;
            EXPECT_TRUE(contains(big.errorText, stalled)) << big.errorText;
            EXPECT_TRUE(contains(big.errorText, " on 127.0.0.1:" + std::to_string(s.port()) + ": ")) << big.errorText;
            EXPECT_TRUE(contains(big.errorText, "(gave up after 5 attempts)")) << big.errorText;
            EXPECT_EQ(control.getFileMap().at(2).result, qz::EFileResult::eDone);
        }
    }
}

// Changes the file under the engine once it has begun to send it.
struct Meddler {
    std::string path;
    void (*meddle)(Meddler&) = nullptr;
    bool begun = false;
    std::atomic<bool> stop{false};
    std::thread writer;

    static void onProgress(const qz::GlobalStateAndStats& s, void* user) {
        auto* m = static_cast<Meddler*>(user);
        if (m->begun || s.finished || s.totalBytesTransferred == 0) return;
        m->begun = true;
        m->meddle(*m);
    }
    ~Meddler() {
        stop = true;
        if (writer.joinable()) writer.join();
    }
};

TEST_F(TransferFaults, AFileThatChangesWhileItIsSentIsNamedAndNeverReportedAsSent) {
    struct Case { const char* name; void (*meddle)(Meddler&); const char* words; bool sameSize; };
    const Case cases[] = {
        {"rewritten in place",
         [](Meddler& m) { std::ofstream(m.path, std::ios::binary | std::ios::in | std::ios::out) << "changed"; },
         "changed during the upload", true},
        {"grows while it is read",
         [](Meddler& m) {
             m.writer = std::thread([&m] {
                 while (!m.stop) {
                     std::ofstream(m.path, std::ios::binary | std::ios::app) << std::string(1000, 'x');
                     std::this_thread::sleep_for(std::chrono::milliseconds(5));
                 }
             });
         },
         "during the upload", false},
        {"truncated while it is read", [](Meddler& m) { fs::resize_file(m.path, 1000); },
         "shrank during the upload to ", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FtpServer& s = server();
        writeFile("moving.bin", pattern(1000000, 9));
        writeFile("steady.txt", "steady");
        qz::Options o = optionsFor(s);
        o.setBandwidth(8'000'000, 0);  // a second on the way: the change comes mid-file
        qz::Control control(o);
        control.prepareSingleFile(qz::Local(path("moving.bin")));
        control.prepareSingleFile(qz::Local(path("steady.txt")));
        Meddler meddler;
        meddler.path = path("moving.bin");
        meddler.meddle = c.meddle;
        control.setStatsCallback(Meddler::onProgress, &meddler);
        const std::string error = uploadError(control);
        meddler.stop = true;
        if (meddler.writer.joinable()) meddler.writer.join();
        ASSERT_TRUE(meddler.begun);
        expectHonestStatistics(control, error);
        const auto& moving = control.getFileMap().at(1);
        EXPECT_EQ(moving.result, qz::EFileResult::eFailed);
        EXPECT_EQ(moving.attempts, 1);
        EXPECT_TRUE(contains(error, "could not send 1 of 2 files: \"" + path("moving.bin") + "\" ")) << error;
        EXPECT_TRUE(contains(moving.errorText, c.words)) << moving.errorText;
        EXPECT_EQ(control.getFileMap().at(2).result, qz::EFileResult::eDone);

        if (c.sameSize) {
            // Sent again, it goes whole from the first byte: nothing of the
            // earlier content is kept and resumed.
            control.setStatsCallback(nullptr, nullptr);
            control.upload();
            expectHonestStatistics(control, "");
            EXPECT_EQ(readFile(s.root() + "/moving.bin"), readFile(path("moving.bin")));
        }
    }
}

TEST_F(TransferFaults, AServerKilledMidFileThatStaysAwayFailsTheFileAndALaterUploadResumesIt) {
    struct Case { const char* name; bool rewrittenMeanwhile; };
    const Case cases[] = {{"the file as it was", false}, {"the file rewritten meanwhile", true}};
    const std::size_t size = 4 * 1024 * 1024;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FtpServer& s = server();
        writeFile("large.bin", pattern(size, 7));
        qz::Options o = optionsFor(s);
        o.setBandwidth(32'000'000, 0);  // 4 MB/s: the kill comes mid-file
        qz::Control control(o);
        control.prepareSingleFile(qz::Local(path("large.bin")));
        qztest::StopServerAt stop{&s, size / 3, false};
        control.setStatsCallback(qztest::StopServerAt::check, &stop);
        const std::string error = uploadError(control);
        ASSERT_TRUE(stop.done);
        expectHonestStatistics(control, error);
        const auto& large = control.getFileMap().at(1);
        EXPECT_EQ(large.result, qz::EFileResult::eFailed);
        EXPECT_TRUE(contains(large.errorText, "(gave up after 5 attempts)")) << large.errorText;
        EXPECT_TRUE(contains(large.errorText, "127.0.0.1")) << large.errorText;
        const std::uint64_t held = sizeOnServer(s.root() + "/large.bin");
        ASSERT_GT(held, 0u);
        ASSERT_LT(held, size);

        // Same size, other bytes: what the server holds must not be resumed.
        if (c.rewrittenMeanwhile) writeFile("large.bin", pattern(size, 8));
        s.restart();
        control.setStatsCallback(nullptr, nullptr);
        control.upload();
        expectHonestStatistics(control, "");
        EXPECT_EQ(large.result, qz::EFileResult::eDone);
        const std::string log = summaryLog();
        const std::string resumed =
            "qz::Control: resuming \"large.bin\" at byte " + std::to_string(held) + " of " + std::to_string(size);
        const std::string restarted = "qz::Control: sending \"large.bin\" from its first byte: the local file changed";
        EXPECT_EQ(contains(log, resumed), !c.rewrittenMeanwhile) << log;
        EXPECT_EQ(contains(log, restarted), c.rewrittenMeanwhile) << log;
    }
}

}  // namespace
