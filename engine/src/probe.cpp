#include "probe.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "throughput.hpp"

namespace qz {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kProbeDuration{1000};
constexpr std::uint64_t kProbeMaxBytes = 512ull * 1024 * 1024;
constexpr std::chrono::duration<long, std::milli> kProbeTimeout{10000};

// Bytes from memory until the time or the byte budget is spent.
struct Probe {
    std::vector<char> block;
    std::uint64_t sent = 0;
    bool begun = false;
    Clock::time_point first;
    Clock::time_point last;

    static std::size_t onRead(char* buffer, std::size_t size, std::size_t count, void* user) {
        auto* p = static_cast<Probe*>(user);
        const Clock::time_point now = Clock::now();
        if (!p->begun) {
            p->begun = true;
            p->first = now;
        }
        p->last = now;
        if (now - p->first >= kProbeDuration || p->sent >= kProbeMaxBytes) return 0;
        const std::size_t n = std::min(size * count, p->block.size());
        std::memcpy(buffer, p->block.data(), n);
        p->sent += n;
        return n;
    }
};

CURLcode send(FtpSession& session, Channel& c, Probe& probe, const std::string& name, bool keep) {
    probe.block.assign(static_cast<std::size_t>(std::clamp(session.options().blockSize, 16 * 1024, 2 * 1024 * 1024)),
                       '\0');
    c.prepare(session.url(name));
    curl_easy_setopt(c.easy, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(c.easy, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c.easy, CURLOPT_READFUNCTION, Probe::onRead);
    curl_easy_setopt(c.easy, CURLOPT_READDATA, &probe);
    curl_easy_setopt(c.easy, CURLOPT_SEEKFUNCTION, nullptr);
    curl_easy_setopt(c.easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(-1));
    curl_easy_setopt(c.easy, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(0));
    std::vector<std::string> after = {"*SIZE " + name};
    if (!keep) after.push_back("DELE " + name);
    c.setCommands(CURLOPT_POSTQUOTE, after);
    // A link that stalls must not hold the caller long for an estimate.
    curl_easy_setopt(c.easy, CURLOPT_TIMEOUT_MS, kProbeTimeout.count());
    const CURLcode result = session.runAlone({&c})[0];
    curl_easy_setopt(c.easy, CURLOPT_TIMEOUT_MS, 0L);
    return result;
}

}  // namespace

ProbeResult sendProbe(FtpSession& session, const std::string& name, bool keep) {
    Channel& c = session.channel(0);
    Probe probe;
    const CURLcode result = send(session, c, probe, name, keep);
    const std::string why = c.describe(result);
    ProbeResult r;
    r.held = c.lastSize >= 0 ? c.lastSize : static_cast<std::int64_t>(probe.sent);
    if (result != CURLE_OK && !keep) {
        // The probe may have got as far as the server; take it away again.
        session.prepareCommands(c);
        c.setCommands(CURLOPT_QUOTE, {"*DELE " + name});
        session.runAlone({&c});
    }
    c.prepare(session.url(""));
    if (result != CURLE_OK || r.held <= 0) {
        r.failure = result != CURLE_OK ? why : "the server holds no byte of the probe upload";
        return r;
    }
    const double span = std::max(1e-6, std::chrono::duration<double>(probe.last - probe.first).count());
    r.bitsPerSecond = bitsPerSecond(static_cast<std::uint64_t>(r.held), span);
    return r;
}

}  // namespace qz
