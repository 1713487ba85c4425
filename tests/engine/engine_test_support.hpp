#pragma once
// What the engine's transfer tests share: file contents, a text check, and a
// server saboteur, and a fixture with every kind of engine log line switched on.

#include <cstdlib>
#include <string>

#include "qz/engine.hpp"
#include "support/ftp_server.hpp"
#include "support/temp_dir.hpp"

namespace qztest {

// `size` bytes that differ from file to file (`seed`), cheap to make.
inline std::string pattern(std::size_t size, unsigned seed) {
    std::string s(size, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A statistics callback that stops the server once `at` bytes have
// arrived (as a crash would), and starts it again on the same port when
// `restart` is set.
struct StopServerAt {
    FtpServer* server = nullptr;
    std::uint64_t at = 0;
    bool restart = false;
    bool done = false;
    static void check(const qz::GlobalStateAndStats& s, void* user) {
        auto* r = static_cast<StopServerAt*>(user);
        if (r->done || s.totalBytesTransferred < r->at) return;
        r->done = true;
        r->server->stop();
        if (r->restart) r->server->restart();
    }
};

class EngineLogTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ::unsetenv("QZ_CA_FILE");
        for (auto type :
             {qz::Logging::EType::eSummary, qz::Logging::EType::eTransfers, qz::Logging::EType::eWarnings}) {
            qz::Logging::enable(type, qz::Options(), "");
        }
        qz::SummaryLog::truncateLogFile();
    }
};

}  // namespace qztest
