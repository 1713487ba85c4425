// Pipelined uploads over one control connection against real servers: every
// file arrives whole, is checked by SIZE (and HASH where the server offers
// it), and each file costs one write on the control connection.
#include <gtest/gtest.h>

#include <chrono>

#include "ftp_pipeline.hpp"
#include "support/digest.hpp"
#include "support/ftp_server.hpp"
#include "support/proftpd_server.hpp"
#include "support/temp_dir.hpp"

namespace {

using qz::EPipelineFile;

// With a CA file, the login asks for TLS on control and data connections.
template <class Server>
qz::FtpLogin loginOf(const Server& server, const std::string& caFile = "") {
    qz::FtpLogin login;
    login.host = server.host();
    login.port = server.port();
    login.user = server.user();
    login.password = server.password();
    login.tls = !caFile.empty();
    login.caFile = caFile;
    return login;
}

class FtpPipelineTest : public qztest::TempDirTest {
protected:
    // Files of a few sizes; the empty one and the one of several blocks are
    // the edges of the data connection's loop.
    std::vector<qz::PipelineFile> someFiles() {
        std::vector<qz::PipelineFile> files;
        const std::pair<const char*, std::size_t> shapes[] = {
            {"a.bin", 16384}, {"empty", 0}, {"b c.bin", 200 * 1024 + 7}, {"d.bin", 1}, {"e.bin", 16384}};
        for (const auto& [name, size] : shapes) {
            std::string content(size, '\0');
            for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 131 + size) % 251);
            files.push_back({writeFile(std::string("local/") + name, content), name});
        }
        return files;
    }

    template <class Server>
    void uploadAndCompare(Server& server, bool byHash, const std::string& caFile = "") {
        auto files = someFiles();
        auto link = qz::CurlControlLink::login(loginOf(server, caFile));
        qz::FtpPipeline pipeline(*link, files);
        qz::runPipelines({&pipeline}, std::chrono::seconds(60));
        ASSERT_EQ(pipeline.fault(), "");
        for (std::size_t i = 0; i < files.size(); ++i) {
            const auto& result = pipeline.results()[i];
            EXPECT_EQ(result.state, EPipelineFile::eConfirmed) << files[i].remoteName << ": " << result.fault;
            EXPECT_EQ(result.checkedByHash, byHash) << files[i].remoteName;
            EXPECT_EQ(qztest::sha256File(server.root() + "/" + files[i].remoteName),
                      qztest::sha256File(files[i].localPath));
            EXPECT_EQ(result.sha256, qztest::sha256File(files[i].localPath));
            EXPECT_EQ(result.resumedTls, !caFile.empty()) << files[i].remoteName;
        }
        // TYPE and FEAT, one write per file, the last file's checks.
        EXPECT_EQ(pipeline.controlWrites(), files.size() + 2);
    }
};

TEST_F(FtpPipelineTest, EveryFileArrivesWholeWithOneControlWriteEach) {
    qztest::FtpServer server(path("served"));
    uploadAndCompare(server, false);
}

TEST_F(FtpPipelineTest, OverTlsEveryDataConnectionResumesTheLoginSession) {
    const auto certificates = qztest::makeCertificates(dir());
    qztest::FtpServer server(path("served"), qztest::FtpServer::tlsOf(certificates));
    uploadAndCompare(server, false, certificates.caFile);
}

TEST_F(FtpPipelineTest, AServerThatHashesChecksEveryFileByItsSha256) {
    qztest::ProftpdServer server(path("served"));
    uploadAndCompare(server, true);
}

TEST_F(FtpPipelineTest, AFileThatCannotBeSentFailsAloneByName) {
    qztest::FtpServer server(path("served"));
    auto files = someFiles();
    files[1].localPath = path("local/missing");
    files[3].remoteName = "bad\tname";
    auto link = qz::CurlControlLink::login(loginOf(server));
    qz::FtpPipeline pipeline(*link, files);
    qz::runPipelines({&pipeline}, std::chrono::seconds(60));
    ASSERT_EQ(pipeline.fault(), "");
    const auto& results = pipeline.results();
    EXPECT_EQ(results[1].state, EPipelineFile::eFailed);
    EXPECT_NE(results[1].fault.find("missing"), std::string::npos) << results[1].fault;
    EXPECT_EQ(results[3].state, EPipelineFile::eFailed);
    EXPECT_NE(results[3].fault.find("\"bad\\x09name\""), std::string::npos) << results[3].fault;
    for (std::size_t i : {0u, 2u, 4u}) {
        EXPECT_EQ(results[i].state, EPipelineFile::eConfirmed) << results[i].fault;
        EXPECT_EQ(qztest::sha256File(server.root() + "/" + files[i].remoteName),
                  qztest::sha256File(files[i].localPath));
    }
}

// Whatever breaks, a file counts as sent only when it is whole on the server.
TEST_F(FtpPipelineTest, AServerThatFailsMidwayNeverGetsAPartialFileConfirmed) {
    struct Case {
        const char* name;
        qztest::FtpServer::Faults faults;
        std::string fileFault;        // in the fault of the first file that fails, "" for none
        bool connectionStops;
    };
    qztest::FtpServer::Faults fullDisk;
    fullDisk.quota = 40000;
    qztest::FtpServer::Faults restart;
    restart.unavailableAfter = 2;
    restart.unavailableFor = 5;
    const Case cases[] = {
        {"full disk", fullDisk, "Insufficient storage space", false},
        {"restart", restart, "", true},
    };
    for (const Case& c : cases) {
        qztest::FtpServer server(path(std::string("served-") + c.name));
        server.setFaults(c.faults);
        auto files = someFiles();
        auto link = qz::CurlControlLink::login(loginOf(server));
        qz::FtpPipeline pipeline(*link, files);
        // The restart leaves the connection open and mute after its last
        // reply: only the stall limit ends the wait.
        qz::runPipelines({&pipeline}, std::chrono::seconds(5));
        EXPECT_EQ(pipeline.fault().empty(), !c.connectionStops) << c.name << ": " << pipeline.fault();
        std::size_t confirmed = 0;
        bool firstFailure = true;
        for (std::size_t i = 0; i < files.size(); ++i) {
            const auto& result = pipeline.results()[i];
            if (result.state == EPipelineFile::eConfirmed) {
                ++confirmed;
                EXPECT_EQ(qztest::sha256File(server.root() + "/" + files[i].remoteName),
                          qztest::sha256File(files[i].localPath)) << c.name << ": " << files[i].remoteName;
            } else if (result.state == EPipelineFile::eFailed && firstFailure) {
                firstFailure = false;
                EXPECT_NE(result.fault.find(c.fileFault), std::string::npos) << c.name << ": " << result.fault;
            } else {
                EXPECT_TRUE(result.state == EPipelineFile::eFailed || result.state == EPipelineFile::eWaiting)
                    << c.name << ": " << files[i].remoteName;
            }
        }
        EXPECT_GT(confirmed, 0u) << c.name;
        EXPECT_LT(confirmed, files.size()) << c.name;
    }
}

}  // namespace
