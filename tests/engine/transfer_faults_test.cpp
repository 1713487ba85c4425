// Uploads that meet a fault: a full disk, a stalled data connection, a file
// that changes while it is read or stops being a file, a stored copy that is
// not what was sent, a server slow to hash it, a server that goes away.
// Each ends in a complete, verified upload or in an error naming what
// failed, and the statistics claim no byte the server does not hold.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "qz/engine.hpp"
#include "support/digest.hpp"
#include "engine/engine_test_support.hpp"
#include "support/ftp_server.hpp"
#include "support/proftpd_server.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using qztest::contains;
using qztest::FtpServer;
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
    FtpServer& server(const FtpServer::Faults& faults = {}, std::optional<FtpServer::Tls> tls = std::nullopt) {
        stopServers();
        server_ = std::make_unique<FtpServer>(path("served"), std::move(tls));
        if (faults.quota > 0 || faults.stallAfter > 0 || faults.wrongHash || faults.keepFirst >= 0 ||
            !faults.listing.empty()) {
            server_->setFaults(faults);
        }
        return *server_;
    }

    qztest::ProftpdServer& proftpd(const qztest::ProftpdServer::Settings& settings) {
        stopServers();
        proftpd_ = std::make_unique<qztest::ProftpdServer>(path("served"), settings);
        return *proftpd_;
    }

    void stopServers() {
        qz::SummaryLog::truncateLogFile();
        server_.reset();
        proftpd_.reset();
        fs::remove_all(path("served"));
        fs::remove_all(path("served.proftpd"));
    }

    const std::string& servedRoot() const { return proftpd_ ? proftpd_->root() : server_->root(); }

    template <class Server>
    qz::Options optionsFor(const Server& s) const {
        qz::Options o;
        o.setFtpServer(s.host(), s.port());
        o.setUsernameAndPassword(s.user(), s.password());
        // The suite runs a second time with one command at a time (see CMakeLists.txt).
        if (std::getenv("QZTEST_NO_PIPELINING")) o.setPipelining(false);
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
            const std::string remote = servedRoot() + "/" + e.remote.full();
            total += e.bytesSent;
            if (e.result == qz::EFileResult::eDone) {
                ++done;
                EXPECT_EQ(e.bytesSent, e.fileSize);
                ASSERT_TRUE(fs::exists(remote));
                EXPECT_EQ(sha256File(remote), sha256File(e.local.full()));
                EXPECT_EQ(e.sha256, sha256File(e.local.full()));
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
    std::unique_ptr<qztest::ProftpdServer> proftpd_;
};

TEST_F(TransferFaults, AFullDiskFailsTheFilesThatDoNotFitWithTheServersWordsAndTheOthersArrive) {
    struct Case {
        const char* name;
        int reply;
    };
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
        EXPECT_TRUE(contains(summaryLog(), "qz::Control: resuming \"c.bin\" at byte 100000 of 400000")) << summaryLog();
    }
}

TEST_F(TransferFaults, AStoredCopyWhoseHashDiffersIsSentAgainFromByteZeroThenFailsNamed) {
    writeFile("a.bin", pattern(100000, 4));
    // proftpd's disk alters the first byte of every stored copy, and notes
    // it, before the server replies to STOR: the copy it hashes is not the one sent.
    const std::string alteredCopies = path("altered copies");
    qztest::ProftpdServer::Settings alteringDisk;
    alteringDisk.afterStore = "printf X | dd of='%f' bs=1 count=1 conv=notrunc 2>/dev/null; echo >> '" + alteredCopies +
                              "'";
    std::string altered = pattern(100000, 4);
    altered[0] = 'X';
    writeFile("altered.bin", altered);
    const std::string alteredSha256 = sha256File(path("altered.bin"));

    struct Case {
        const char* name;
        bool realServer;
    };
    const Case cases[] = {{"a server that answers HASH with a wrong SHA-256", false},
                          {"proftpd, whose stored copies are altered", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        qz::Options o;
        if (c.realServer) {
            fs::remove(alteredCopies);
            o = optionsFor(proftpd(alteringDisk));
        } else {
            FtpServer::Faults wrongHash;
            wrongHash.wrongHash = true;
            o = optionsFor(server(wrongHash));
        }
        qz::Control control(o);
        control.prepareSingleFile(qz::Local(path("a.bin")));
        const std::string error = uploadError(control);
        expectHonestStatistics(control, error);

        const auto& a = control.getFileMap().at(1);
        EXPECT_EQ(a.result, qz::EFileResult::eFailed);
        EXPECT_EQ(a.attempts, 5);
        EXPECT_EQ(a.bytesSent, 0u);
        EXPECT_EQ(a.sha256, "");
        EXPECT_TRUE(contains(a.errorText, "\"" + path("a.bin") +
                                              "\" as \"a.bin\": the server's SHA-256 of the "
                                              "stored file is "))
            << a.errorText;
        EXPECT_TRUE(
            contains(a.errorText, ", the file's is " + sha256File(path("a.bin")) + " (gave up after 5 attempts)"))
            << a.errorText;
        const std::string log = summaryLog();
        EXPECT_TRUE(contains(log, "qz::Control: retrying \"a.bin\" (attempt 2) after: the server's SHA-256")) << log;
        // Every attempt sent the whole file anew: nothing of a copy that failed its check is resumed.
        EXPECT_FALSE(contains(log, "resuming")) << log;
        int stored = 0;
        if (c.realServer) {
            EXPECT_TRUE(contains(a.errorText, "the server's SHA-256 of the stored file is " + alteredSha256))
                << a.errorText;
            std::ifstream copies(alteredCopies);
            for (std::string line; std::getline(copies, line);) ++stored;
        } else {
            for (const auto& line : server_->events()) stored += line.rfind("received ", 0) == 0;
        }
        EXPECT_EQ(stored, 5);
    }
}

// A server that confirms transfers but keeps only a part, answers no SIZE
// and offers no HASH, or whose listing tells another story than its
// replies: a file counts as verified only by what was compared, and the
// folder listing catches the copies the other checks miss. A listing that
// cannot be read is skipped with a log line, never taken for a failure.
TEST_F(TransferFaults, AFileIsVerifiedOnlyByWhatWasComparedAndTheListingFindsWhatRepliesHide) {
    writeFile("job/data.bin", pattern(300000, 12));
    writeFile("job/sub/hidden name.bin", pattern(2000, 13));
    writeFile("job/sub/small.bin", pattern(100, 14));
    writeFile("job/hidden dir/x.bin", pattern(50, 15));
    FtpServer::Faults truncating;
    truncating.keepFirst = 1000;
    truncating.refuseSize = true;
    truncating.noMlsd = true;
    FtpServer::Faults unreadable = truncating;
    unreadable.listing = "unreadable";
    FtpServer::Faults hiding;
    hiding.listing = "hides-hidden";
    struct Case {
        const char* name;
        FtpServer::Faults faults;
        bool requireVerified;
        const char* file;  // the file looked at
        qz::EFileResult result;
        qz::EVerifiedBy verifiedBy;
        const char* text;  // in its error text, or in the summary log where it is done
    };
    const Case cases[] = {
        {"truncated, no SIZE, an unreadable LIST", unreadable, false, "data.bin", qz::EFileResult::eDone,
         qz::EVerifiedBy::eTransferReply,
         "cannot read the listing of the login folder (it begins \"1000 bytes: data.bin\")"},
        {"the same, verification required", unreadable, true, "data.bin", qz::EFileResult::eFailed,
         qz::EVerifiedBy::eNone,
         "\"data.bin\" could not be verified: the server gave neither its size nor its SHA-256"},
        {"truncated, no SIZE, LIST", truncating, false, "data.bin", qz::EFileResult::eFailed, qz::EVerifiedBy::eNone,
         "the listing of the login folder shows \"data.bin\" with 1000 bytes, not 300000 (gave up after 5 attempts)"},
        {"no SIZE, LIST of a whole copy", truncating, true, "sub/small.bin", qz::EFileResult::eDone,
         qz::EVerifiedBy::eListing, "sent \"sub/small.bin\" (100 bytes"},
        {"MLSD without a name SIZE confirms", hiding, false, "sub/hidden name.bin", qz::EFileResult::eFailed,
         qz::EVerifiedBy::eNone, "the server did not store \"sub/hidden name.bin\" under that name"},
        {"MLSD without a folder SIZE confirms the files in", hiding, false, "hidden dir/x.bin",
         qz::EFileResult::eFailed, qz::EVerifiedBy::eNone,
         "the server did not store \"hidden dir/x.bin\" under that name (its folder \"hidden dir\" is not in the "
         "listing of the login folder)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        qz::Control control(optionsFor(server(c.faults)));
        control.setRequireVerified(c.requireVerified);
        control.prepareRecursiveDir(qz::Local(path("job")), qz::Remote("."));
        std::string error;
        try {
            control.upload();
        } catch (const qz::Exception& e) {
            error = e.what();
        }
        const qz::TransferStats* file = nullptr;
        for (const auto& [number, e] : control.getFileMap()) {
            if (e.remote.full() == c.file) file = &e;
        }
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->result, c.result) << file->errorText;
        EXPECT_EQ(file->verifiedBy, c.verifiedBy);
        const std::string& where = c.result == qz::EFileResult::eFailed ? file->errorText : summaryLog();
        EXPECT_TRUE(contains(where, c.text)) << where;
        // Short copies pass only where nothing could be compared.
        if (c.faults.listing != "unreadable") expectHonestStatistics(control, error);
    }
}

TEST_F(TransferFaults, AServerSlowToHashGetsTheFileOnceAndItIsVerifiedByHashOrElseBySize) {
    // proftpd says nothing for 2 s before it answers HASH, as while it hashes
    // a big stored file; any other silence of 1 s is a stall.
    qztest::ProftpdServer::Settings slowHash;
    slowHash.hashDelay = 2;
    struct Case {
        const char* name;
        std::size_t size;
        bool byHash;
    };
    const Case cases[] = {
        // 1 s more for each 16 MiB: 6 s for the reply.
        {"the reply comes within a wait grown with the file's size", 80 * 1024 * 1024, true},
        {"the reply comes too late, twice", 1024 * 1024, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile("big.bin", pattern(c.size, 5));
        qztest::ProftpdServer& s = proftpd(slowHash);
        qz::Options o = optionsFor(s);
        o.setStallTimeout(1);
        qz::Control control(o);
        control.prepareSingleFile(qz::Local(path("big.bin")));
        control.upload();
        expectHonestStatistics(control, "");
        const auto& big = control.getFileMap().at(1);
        EXPECT_EQ(big.attempts, 1) << summaryLog();
        EXPECT_EQ(big.verifiedByHash, c.byHash);
        const std::string log = summaryLog();
        EXPECT_TRUE(contains(log, "qz::Control: sent \"big.bin\" (" + std::to_string(c.size) + " bytes, SHA-256 " +
                                      big.sha256 +
                                      (c.byHash ? ", verified by hash)"
                                                : ", verified by size, the server did not hash it "
                                                  "in time)")))
            << log;
        EXPECT_EQ(contains(log,
                           "qz::Control: asking again for the SHA-256 of \"big.bin\": the server sent none "
                           "within 1 s"),
                  !c.byHash)
            << log;
        std::istringstream commands(readFile(s.commandLog()));
        int stored = 0;
        for (std::string line; std::getline(commands, line);) stored += line == "STOR";
        EXPECT_EQ(stored, 1);
    }
}

TEST_F(TransferFaults, AStalledTransferIsAbortedAndResumedOrTheFileFailsNamed) {
    // Larger than the socket buffers, the file stalls while it is written;
    // smaller, it is written whole and then waits for a reply that never comes.
    struct Case {
        const char* name;
        std::size_t size;
        int connections;
        bool always;
        bool arrives;
        const char* words;
        bool tls = false;
    };
    const Case cases[] = {
        {"stalls once while the bytes go", 48 * 1024 * 1024, 1, false, true, "nothing moved for 1 s"},
        {"stalls once, three connections", 48 * 1024 * 1024, 3, false, true, "nothing moved for 1 s"},
        {"stalls once before the server's reply", 1024 * 1024, 1, false, true, "FTP response timeout"},
        {"stalls every time", 1024 * 1024, 1, true, false, "stalled at byte "},
        // The retry resumes over TLS on a connection that logged in again.
        {"stalls once over FTPS", 8 * 1024 * 1024, 1, false, true, "nothing moved for 1 s", true},
    };
    const auto certificates = qztest::makeCertificates(dir());
    writeFile("small.txt", "after the stall");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile("big.bin", pattern(c.size, 4));
        FtpServer::Faults stall;
        stall.stallAfter = 128 * 1024;
        stall.stallAlways = c.always;
        FtpServer& s = server(stall, c.tls ? std::optional(FtpServer::tlsOf(certificates)) : std::nullopt);
        qz::Options o = optionsFor(s);
        if (c.tls) {
            o.setEncryption(true, true);
            o.setCertificateAuthority(certificates.caFile);
        }
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
            EXPECT_TRUE(contains(log, "qz::Control: retrying \"big.bin\" (attempt 2) after: the transfer " + stalled))
                << log;
            EXPECT_TRUE(contains(log, c.words)) << log;
            if (c.tls) EXPECT_TRUE(contains(log, "qz::Control: resuming \"big.bin\" at byte ")) << log;
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
    struct Case {
        const char* name;
        void (*meddle)(Meddler&);
        const char* words;
        bool sameSize;
    };
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
    struct Case {
        const char* name;
        bool rewrittenMeanwhile;
    };
    const Case cases[] = {{"the file as it was", false}, {"the file rewritten meanwhile", true}};
    const std::size_t size = 4 * 1024 * 1024;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FtpServer& s = server();
        writeFile("large.bin", pattern(size, 7));
        qz::Options o = optionsFor(s);
        o.setBandwidth(32'000'000, 0);  // 4 MB/s: the kill comes mid-file
        o.setUnreachableTimeout(1);
        qz::Control control(o);
        control.prepareSingleFile(qz::Local(path("large.bin")));
        qztest::StopServerAt stop{&s, size / 3, false};
        control.setStatsCallback(qztest::StopServerAt::check, &stop);
        const std::string error = uploadError(control);
        ASSERT_TRUE(stop.done);
        expectHonestStatistics(control, error);
        const auto& large = control.getFileMap().at(1);
        EXPECT_EQ(large.result, qz::EFileResult::eFailed);
        EXPECT_TRUE(contains(large.errorText, "\" was not sent: the server 127.0.0.1:" + std::to_string(s.port()) +
                                                  " could not be reached for "))
            << large.errorText;
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
        const std::string resumed = "qz::Control: resuming \"large.bin\" at byte " + std::to_string(held) + " of " +
                                    std::to_string(size);
        const std::string restarted = "qz::Control: sending \"large.bin\" from its first byte: the local file changed";
        EXPECT_EQ(contains(log, resumed), !c.rewrittenMeanwhile) << log;
        EXPECT_EQ(contains(log, restarted), c.rewrittenMeanwhile) << log;
    }
}

// Stops the server once `at` bytes have arrived, as a crash would, and
// starts it again on the same port `away` later, while the upload goes on.
struct Outage {
    FtpServer* server = nullptr;
    std::uint64_t at = 0;
    std::chrono::milliseconds away{0};
    bool begun = false;
    std::thread restarter;

    static void check(const qz::GlobalStateAndStats& s, void* user) {
        auto* o = static_cast<Outage*>(user);
        if (o->begun || s.totalBytesTransferred < o->at) return;
        o->begun = true;
        o->server->stop();
        o->restarter = std::thread([o] {
            std::this_thread::sleep_for(o->away);
            o->server->restart();
        });
    }
    ~Outage() {
        if (restarter.joinable()) restarter.join();
    }
};

TEST_F(TransferFaults, AServerAwayForSecondsIsWaitedForAndEveryFileArrivesWhole) {
    const auto certificates = qztest::makeCertificates(dir());
    // A played restart: the server drops every connection once the first
    // file arrived, then greets new ones with 421 (or drops them unheard)
    // for three seconds; no attempt of a file may be counted against it.
    enum Played { eKilled, eAnswers421, eDropsUnheard };
    struct Case {
        const char* name;
        bool tls;
        bool fromTheStart;
        Played played;
    };
    const Case cases[] = {
        {"ftp, away mid-job", false, false, eKilled},
        {"ftps, away mid-job", true, false, eKilled},
        {"ftp, away as the upload begins (folders first)", false, true, eKilled},
        {"ftp, restarting mid-job with 421 to new connections", false, false, eAnswers421},
        {"ftp, restarting mid-job, closing new connections unheard", false, false, eDropsUnheard},
    };
    for (int i = 0; i < 6; ++i)
        writeFile("job/" + std::to_string(i) + ".bin", pattern(500000, 30u + static_cast<unsigned>(i)));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        qz::SummaryLog::truncateLogFile();
        server_.reset();
        fs::remove_all(path("served"));
        server_ = std::make_unique<FtpServer>(
            path("served"), c.tls ? std::optional<FtpServer::Tls>(FtpServer::tlsOf(certificates)) : std::nullopt);
        FtpServer& s = *server_;
        if (c.played != eKilled) {
            FtpServer::Faults restart;
            restart.unavailableAfter = 1;
            restart.unavailableFor = 3;
            restart.unavailableCloses = c.played == eDropsUnheard;
            s.setFaults(restart);
        }
        qz::Options o = optionsFor(s);
        if (c.tls) {
            o.setEncryption(true, true);
            o.setCertificateAuthority(certificates.caFile);
        }
        o.setMultiThreaded(true, 3);
        o.setBandwidth(16'000'000, 0);  // 2 MB/s: the server goes away mid-job, files half sent
        // The played restart leaves the connection that brought the first
        // file waiting for a data transfer it will not begin.
        o.setStallTimeout(5);
        qz::Control control(o);
        control.prepareRecursiveDir(qz::Local(path("job")), qz::Remote("in/here"));
        Outage outage;
        outage.server = &s;
        outage.at = 1000000;
        outage.away = std::chrono::seconds(3);
        if (c.played != eKilled) {
            control.upload();
        } else if (c.fromTheStart) {
            control.connect();
            outage.at = 0;
            Outage::check(control.getGlobalStateAndStats(), &outage);
            control.upload();
        } else {
            control.setStatsCallback(Outage::check, &outage);
            control.upload();
        }
        if (outage.restarter.joinable()) outage.restarter.join();

        if (c.played == eKilled) {
            ASSERT_TRUE(outage.begun);
        } else {
            bool refused = false;
            for (const auto& line : s.commands()) refused = refused || line.rfind("unavailable ", 0) == 0;
            ASSERT_TRUE(refused) << "no connection met the restart" << summaryLog();
        }
        expectHonestStatistics(control, "");
        EXPECT_EQ(control.getGlobalStateAndStats().filesDone, 6u);
        const std::string log = summaryLog();
        const std::string waited = c.fromTheStart ? "qz::Control: could not create folders, trying again in "
                                                  : "qz::Control: cannot reach 127.0.0.1:" + std::to_string(s.port());
        EXPECT_TRUE(contains(log, waited)) << log;
        if (c.played == eKilled) EXPECT_EQ(contains(log, "qz::Control: resuming "), !c.fromTheStart) << log;
        if (c.played == eAnswers421) {
            EXPECT_TRUE(contains(log, "is not available (it said: 421 Service not available")) << log;
        }
        if (c.played == eDropsUnheard) EXPECT_TRUE(contains(log, "closed the connection before it said a word")) << log;
        if (c.played != eKilled) EXPECT_FALSE(contains(log, "Timeout was reached")) << log;
    }
}

// A server that logs every new connection in and drops it before it takes
// a file gives no file to count the attempts against: the logins go in
// rounds like any other outage, and the upload ends once it has lasted
// the unreachable timeout, instead of logging in again and again.
TEST_F(TransferFaults, AServerThatDropsEveryConnectionAfterItsLoginIsAnOutageThatEnds) {
    FtpServer& s = server();
    FtpServer::Faults faults;
    faults.unavailableAfter = 1;
    faults.unavailableFor = 600;
    faults.unavailableAfterLogin = true;
    s.setFaults(faults);
    for (int i = 0; i < 4; ++i) writeFile("job/" + std::to_string(i) + ".bin", pattern(100000, 50u + unsigned(i)));
    qz::Options o = optionsFor(s);
    o.setMultiThreaded(true, 3);
    o.setUnreachableTimeout(2);
    o.setStallTimeout(3);  // a connection the server leaves hanging is given up soon
    qz::Control control(o);
    control.prepareRecursiveDir(qz::Local(path("job")), qz::Remote("in"));
    const std::string error = uploadError(control);
    expectHonestStatistics(control, error);
    EXPECT_LT(control.getGlobalStateAndStats().filesDone, 4u);
    EXPECT_TRUE(contains(error, "could not be reached for")) << error;
    std::size_t refused = 0;
    for (const auto& line : s.commands()) refused += line.rfind("unavailable ", 0) == 0 ? 1 : 0;
    EXPECT_GT(refused, 0u);
    // Logins with pauses growing from 0.5 s: a handful, not one after another.
    EXPECT_LT(refused, 40u) << summaryLog();
}

TEST_F(TransferFaults, AQueuedFileThatBecomesAFifoSocketOrDeviceFailsByNameWithoutBlocking) {
    struct Case {
        const char* name;
        bool beforeUpload;
        void (*turn)(const std::string&, int&);
        const char* kind;
    };
    const Case cases[] = {
        {"a FIFO before the upload", true, [](const std::string& p, int&) { ::mkfifo(p.c_str(), 0600); }, "a FIFO"},
        {"a FIFO while the one before it is sent", false, [](const std::string& p, int&) { ::mkfifo(p.c_str(), 0600); },
         "a FIFO"},
        {"a socket while the one before it is sent", false,
         [](const std::string& p, int& fd) {
             fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un a{};
             a.sun_family = AF_UNIX;
             p.copy(a.sun_path, sizeof a.sun_path - 1);
             EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
             EXPECT_EQ(::listen(fd, 1), 0);
         },
         "a socket"},
        {"a link to a device before the upload", true,
         [](const std::string& p, int&) { fs::create_symlink("/dev/zero", p); }, "a character device"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FtpServer& s = server();
        writeFile("set/1.bin", pattern(1000000, 11));
        writeFile("set/2.txt", "to become something else");
        writeFile("set/3.txt", "after it");
        qz::Options o = optionsFor(s);
        o.setBandwidth(8'000'000, 0);  // one connection, a second for the first file
        qz::Control control(o);
        control.prepareRecursiveDir(qz::Local(path("set")), qz::Remote("."));
        const std::string turned = path("set/2.txt");
        int socketFd = -1;
        struct Turn {
            const Case* c;
            std::string path;
            int* fd;
            bool done = false;
            static void onProgress(const qz::GlobalStateAndStats& st, void* user) {
                auto* t = static_cast<Turn*>(user);
                if (t->done || st.totalBytesTransferred == 0) return;
                t->done = true;
                fs::remove(t->path);
                t->c->turn(t->path, *t->fd);
            }
        } turn{&c, turned, &socketFd};
        if (c.beforeUpload) {
            turn.done = true;
            fs::remove(turned);
            c.turn(turned, socketFd);
        } else {
            control.setStatsCallback(Turn::onProgress, &turn);
        }
        const std::string error = uploadError(control);
        if (socketFd >= 0) ::close(socketFd);
        ASSERT_TRUE(turn.done);
        expectHonestStatistics(control, error);
        const auto& map = control.getFileMap();
        EXPECT_EQ(map.at(2).result, qz::EFileResult::eFailed);
        EXPECT_EQ(map.at(2).errorText, "\"" + turned + "\" is no longer a regular file: it is " + c.kind);
        EXPECT_TRUE(contains(error, "could not send 1 of 3 files: \"" + turned + "\"")) << error;
        EXPECT_EQ(map.at(1).result, qz::EFileResult::eDone);
        EXPECT_EQ(map.at(3).result, qz::EFileResult::eDone);
        fs::remove_all(path("set"));
    }
}

// A folder missing from a listing long enough to have been cut short is
// listed by its own name, which a server that renames both ways answers
// well: that listing may find faults but confirms nothing (here, with no
// SIZE either, nothing confirms the file).
TEST_F(TransferFaults, AFolderMissingFromALongListingIsNotVouchedForByItsOwn) {
    FtpServer::Faults hiding;
    hiding.listing = "hides-hidden";
    hiding.refuseSize = true;
    FtpServer& s = server(hiding);
    for (int i = 0; i < 1000; ++i) writeFile("served/other" + std::to_string(i) + ".txt", "x");
    writeFile("job/hidden dir/x.bin", pattern(50, 15));
    qz::Control control(optionsFor(s));
    control.prepareRecursiveDir(qz::Local(path("job")), qz::Remote("."));
    control.upload();
    const qz::TransferStats& file = control.getFileMap().at(1);
    EXPECT_EQ(file.result, qz::EFileResult::eDone);
    EXPECT_EQ(file.verifiedBy, qz::EVerifiedBy::eTransferReply);
}

}  // namespace
