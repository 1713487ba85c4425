// Pipelined uploads over one control connection against real servers: every
// file arrives whole, is checked by SIZE (and HASH where the server offers
// it), and each file costs one write on the control connection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "ftp_data_connection.hpp"
#include "ftp_pipeline.hpp"
#include "support/digest.hpp"
#include "support/ftp_server.hpp"
#include "support/proftpd_server.hpp"
#include "support/temp_dir.hpp"
#include "unique_fd.hpp"

namespace {

using qz::EPipelineEnd;

// With a CA file, the login asks for TLS on control and data connections.
template <class Server>
qz::FtpLogin loginOf(const Server& server, const std::string& caFile = "") {
    qz::FtpLogin login;
    login.host = server.host();
    login.port = server.port();
    login.user = server.user();
    login.password = server.password();
    login.tls = login.protectData = !caFile.empty();
    login.caFile = caFile;
    return login;
}

struct ListedFile {
    std::string localPath;
    std::string remoteName;
    bool resume = false;
};

// Hands out a list of files in order, from memory; a file that cannot be
// read fails when its bytes are asked for.
class ListSource : public qz::PipelineSource {
public:
    explicit ListSource(std::vector<ListedFile> files) : files_(std::move(files)), at_(files_.size(), 0) {}

    std::optional<qz::PipelineJob> nextFile(qz::FtpPipeline&) override {
        if (next_ == files_.size()) return std::nullopt;
        const unsigned long id = next_++;
        std::error_code error;
        const auto size = std::filesystem::file_size(files_[id].localPath, error);
        return qz::PipelineJob{id, files_[id].remoteName, error ? 0 : size, files_[id].resume};
    }
    std::uint64_t resumeAt(unsigned long id, std::optional<std::uint64_t> held) override {
        at_[id] = held.value_or(0);
        return at_[id];
    }
    std::int64_t read(unsigned long id, qz::SharedBlock& block, std::size_t room) override {
        std::ifstream in(files_[id].localPath, std::ios::binary);
        if (!in) return kFailed;
        in.seekg(static_cast<std::streamoff>(at_[id]));
        block = blocks_.take(room);
        in.read(block.data(), static_cast<std::streamsize>(room));
        at_[id] += static_cast<std::size_t>(in.gcount());
        return in.gcount();
    }
    void settled(qz::FtpPipeline&, const qz::PipelineOutcome& outcome) override { outcomes[outcome.id] = outcome; }

    bool allSettled() const { return outcomes.size() == files_.size(); }
    std::map<unsigned long, qz::PipelineOutcome> outcomes;

private:
    std::vector<ListedFile> files_;
    std::vector<std::size_t> at_;
    qz::BlockPool blocks_{1 << 20};
    std::size_t next_ = 0;
};

// Drives the pipeline until every file settled or the connection stopped; a
// connection on which nothing moved for `stallLimit` is abandoned.
void drive(qz::FtpPipeline& pipeline, const ListSource& source, std::chrono::seconds stallLimit) {
    auto moved = std::chrono::steady_clock::now();
    while (!source.allSettled() && !pipeline.stopped()) {
        std::vector<pollfd> set = pipeline.pollSet();
        if (::poll(set.data(), set.size(), 200) > 0) moved = std::chrono::steady_clock::now();
        pipeline.advance();
        if (std::chrono::steady_clock::now() - moved > stallLimit) pipeline.abandon("nothing moved");
    }
}

class FtpPipelineTest : public qztest::TempDirTest {
protected:
    // Files of a few sizes; the empty one and the one of several blocks are
    // the edges of the data connection's loop.
    std::vector<ListedFile> someFiles() {
        std::vector<ListedFile> files;
        const std::pair<const char*, std::size_t> shapes[] = {
            {"a.bin", 16384}, {"empty", 0}, {"b c.bin", 600 * 1024 + 7}, {"d.bin", 1}, {"e.bin", 16384}};
        for (const auto& [name, size] : shapes) {
            std::string content(size, '\0');
            for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 131 + size) % 251);
            files.push_back({writeFile(std::string("local/") + name, content), name});
        }
        return files;
    }

    // Two files are resumed: one the server holds a part of (APPE after it),
    // one it does not have (STOR from byte 0).
    template <class Server>
    void uploadAndCompare(Server& server, bool byHash, const std::string& caFile = "", bool active = false) {
        auto files = someFiles();
        files[0].resume = files[2].resume = true;
        const std::size_t held = 100000;
        {
            std::ifstream whole(files[2].localPath, std::ios::binary);
            std::string part(held, '\0');
            whole.read(part.data(), static_cast<std::streamsize>(held));
            std::ofstream(server.root() + "/" + files[2].remoteName, std::ios::binary) << part;
        }
        auto link = qz::CurlControlLink::login(loginOf(server, caFile));
        ListSource source(files);
        qz::PipelineSettings settings;
        settings.active = active;
        qz::FtpPipeline pipeline(*link, source, settings);
        drive(pipeline, source, std::chrono::seconds(60));
        ASSERT_EQ(pipeline.fault(), "");
        for (std::size_t i = 0; i < files.size(); ++i) {
            const auto& outcome = source.outcomes.at(i);
            const std::string sha = qztest::sha256File(files[i].localPath);
            EXPECT_EQ(outcome.end, EPipelineEnd::eChecked) << files[i].remoteName << ": " << outcome.fault;
            EXPECT_EQ(outcome.offset, i == 2 ? held : 0u) << files[i].remoteName;
            EXPECT_EQ(outcome.serverSize, std::optional<std::uint64_t>(outcome.offset + outcome.bytes))
                << files[i].remoteName;
            EXPECT_EQ(outcome.hashReply.find(sha) != std::string::npos, byHash) << outcome.hashReply;
            EXPECT_EQ(qztest::sha256File(server.root() + "/" + files[i].remoteName), sha);
        }
        // TYPE and FEAT, one write per file (two in active mode: the STOR
        // waits for the reply to EPRT) and one more per resume, the last file's checks.
        EXPECT_EQ(pipeline.controlWrites(), files.size() * (active ? 2 : 1) + 2 + 2);
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

TEST_F(FtpPipelineTest, InActiveModeTheServerConnectsToAPortOfOurs) {
    qztest::ProftpdServer server(path("served"));
    uploadAndCompare(server, true, "", true);
}

// Without TCP_NODELAY a small file's last segment waits for the server's
// delayed acknowledgement of the one before: each file costs tens of
// milliseconds. Both ways a data connection comes about must set it.
TEST(DataConnection, ConnectedAndAcceptedSocketsSendAtOnce) {
    const auto noDelay = [](int fd) {
        int on = 0;
        socklen_t length = sizeof on;
        return ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &length) == 0 && on != 0;
    };
    sockaddr_storage loopback{};
    auto& in = reinterpret_cast<sockaddr_in&>(loopback);
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto finish = [](qz::DataConnection& data) {
        for (int turn = 0; turn < 1000 && !data.isOpen(); ++turn) {
            pollfd p{data.fd(), data.events(), 0};
            ::poll(&p, 1, 10);
            ASSERT_NE(data.progress(), qz::EIo::eFailed) << data.fault();
        }
        ASSERT_TRUE(data.isOpen());
    };

    // Passive: we connect to the server's port.
    const qz::UniqueFd server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    socklen_t length = sizeof in;
    ASSERT_EQ(::bind(server.get(), reinterpret_cast<sockaddr*>(&in), length), 0);
    ASSERT_EQ(::listen(server.get(), 1), 0);
    sockaddr_storage peer{};
    ASSERT_EQ(::getsockname(server.get(), reinterpret_cast<sockaddr*>(&peer), &length), 0);
    qz::DataConnection connected;
    ASSERT_TRUE(connected.open(peer, length, nullptr)) << connected.fault();
    finish(connected);
    EXPECT_TRUE(noDelay(connected.fd()));

    // Active: the server connects to ours.
    qz::DataConnection accepted;
    ASSERT_TRUE(accepted.listen(loopback, loopback, nullptr)) << accepted.fault();
    const qz::UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    in.sin_port = htons(accepted.listeningPort());
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&in), sizeof in), 0);
    finish(accepted);
    EXPECT_TRUE(noDelay(accepted.fd()));
}

TEST_F(FtpPipelineTest, AFileThatCannotBeSentFailsAloneByName) {
    qztest::FtpServer server(path("served"));
    auto files = someFiles();
    files[1].localPath = path("local/missing");
    files[3].localPath = path("local/missing too");
    auto link = qz::CurlControlLink::login(loginOf(server));
    ListSource source(files);
    qz::FtpPipeline pipeline(*link, source, {});
    drive(pipeline, source, std::chrono::seconds(60));
    ASSERT_EQ(pipeline.fault(), "");
    EXPECT_EQ(source.outcomes.at(1).end, EPipelineEnd::eLocal);
    EXPECT_EQ(source.outcomes.at(3).end, EPipelineEnd::eLocal);
    for (unsigned long i : {0ul, 2ul, 4ul}) {
        EXPECT_EQ(source.outcomes.at(i).end, EPipelineEnd::eChecked) << source.outcomes.at(i).fault;
        EXPECT_EQ(qztest::sha256File(server.root() + "/" + files[i].remoteName),
                  qztest::sha256File(files[i].localPath));
    }
}

// Whatever breaks, a file counts as sent only when it is whole on the server.
TEST_F(FtpPipelineTest, AServerThatFailsMidwayNeverGetsAPartialFileConfirmed) {
    struct Case {
        const char* name;
        qztest::FtpServer::Faults faults;
        std::string fileFault;  // in the fault of the first file that fails, "" for none
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
        ListSource source(files);
        qz::FtpPipeline pipeline(*link, source, {});
        // The restart leaves the connection open and mute after its last
        // reply: only the stall limit ends the wait.
        drive(pipeline, source, std::chrono::seconds(5));
        EXPECT_EQ(pipeline.fault().empty(), !c.connectionStops) << c.name << ": " << pipeline.fault();
        std::size_t confirmed = 0;
        bool firstFailure = true;
        for (const auto& [i, outcome] : source.outcomes) {
            if (outcome.end == EPipelineEnd::eChecked && outcome.serverSize == outcome.bytes) {
                ++confirmed;
                EXPECT_EQ(qztest::sha256File(server.root() + "/" + files[i].remoteName),
                          qztest::sha256File(files[i].localPath))
                    << c.name << ": " << files[i].remoteName;
            } else if (firstFailure) {
                firstFailure = false;
                EXPECT_NE((outcome.reply + outcome.fault).find(c.fileFault), std::string::npos)
                    << c.name << ": " << outcome.reply << " " << outcome.fault;
            }
        }
        EXPECT_GT(confirmed, 0u) << c.name;
        EXPECT_LT(confirmed, files.size()) << c.name;
    }
}

}  // namespace
