#include "probe.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "throughput.hpp"

namespace qz {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kProbeDuration{1000};
constexpr std::uint64_t kProbeMaxBytes = 512ull * 1024 * 1024;
// A link that stalls must not hold the caller long for an estimate.
constexpr std::chrono::milliseconds kProbeTimeout{10000};
constexpr std::chrono::milliseconds kDeleteTimeout{5000};

// Bytes from memory until the time or the byte budget is spent.
class Probe : public PipelineSource {
public:
    explicit Probe(std::string name) : name_(std::move(name)) {}

    std::optional<PipelineJob> nextFile(FtpPipeline&) override {
        if (std::exchange(given_, true)) return std::nullopt;
        return PipelineJob{1, name_, kProbeMaxBytes, false, false};
    }
    std::int64_t read(unsigned long, SharedBlock& block, std::size_t room) override {
        const Clock::time_point now = Clock::now();
        if (!begun_) {
            begun_ = true;
            first_ = now;
        }
        last_ = now;
        if (now - first_ >= kProbeDuration || sent_ >= kProbeMaxBytes) return 0;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(room, kProbeMaxBytes - sent_));
        // One block of zeros, shared with the pipeline each time.
        if (zeros_.capacity() < n) {
            zeros_ = pool_.take(n);
            std::memset(zeros_.data(), 0, zeros_.capacity());
        }
        block = zeros_;
        sent_ += n;
        return static_cast<std::int64_t>(n);
    }
    std::uint64_t resumeAt(unsigned long, std::optional<std::uint64_t>) override { return 0; }
    void settled(FtpPipeline&, const PipelineOutcome& outcome) override { outcome_ = outcome; }

    const std::optional<PipelineOutcome>& outcome() const { return outcome_; }
    std::uint64_t sent() const { return sent_; }
    double seconds() const { return std::max(1e-6, std::chrono::duration<double>(last_ - first_).count()); }

private:
    std::string name_;
    BlockPool pool_{0};
    SharedBlock zeros_;
    bool given_ = false;
    bool begun_ = false;
    std::uint64_t sent_ = 0;
    Clock::time_point first_;
    Clock::time_point last_;
    std::optional<PipelineOutcome> outcome_;
};

// Gives no file: the pipeline only carries commands.
class NoFiles : public PipelineSource {
public:
    std::optional<PipelineJob> nextFile(FtpPipeline&) override { return std::nullopt; }
    std::int64_t read(unsigned long, SharedBlock&, std::size_t) override { return kFailed; }
    std::uint64_t resumeAt(unsigned long, std::optional<std::uint64_t>) override { return 0; }
    void settled(FtpPipeline&, const PipelineOutcome&) override {}
};

// Drives `pipeline` until `finished` says so or `timeout` passes; false then.
template <typename Finished>
bool driveUntil(FtpPipeline& pipeline, std::chrono::milliseconds timeout, Finished finished) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (!finished()) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline || pipeline.stopped()) return finished();
        std::vector<pollfd> set = pipeline.pollSet();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        if (::poll(set.data(), set.size(), static_cast<int>(std::min<long long>(left, 100) + 1)) < 0 &&
            errno != EINTR) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        pipeline.advance();
    }
    return true;
}

}  // namespace

ProbeResult sendProbe(ControlLink& link, PipelineSettings settings, const std::string& name, bool keep) {
    // The estimate is of the line: the server's hash would only add its own time.
    settings.askHash = false;
    Probe probe(name);
    FtpPipeline pipeline(link, probe, settings);
    ProbeResult r;
    if (!driveUntil(pipeline, kProbeTimeout, [&] { return probe.outcome().has_value(); })) {
        pipeline.abandon("no reply within " + std::to_string(kProbeTimeout.count() / 1000) + " s");
    }
    const PipelineOutcome outcome = probe.outcome().value_or(PipelineOutcome{});
    const bool checked = probe.outcome() && outcome.end == EPipelineEnd::eChecked;
    r.held = outcome.serverSize ? static_cast<std::int64_t>(*outcome.serverSize)
                                : static_cast<std::int64_t>(checked ? probe.sent() : 0);
    // The probe may have got as far as the server; take it away again.
    if (!keep && outcome.storeSent) {
        if (!pipeline.stopped()) {
            pipeline.removeFile(name);
            driveUntil(pipeline, kDeleteTimeout, [&] { return pipeline.quiet(); });
            r.removeRefused = pipeline.removeRefused();
        }
        r.left = !pipeline.quiet();
    }
    r.linkUsable = !pipeline.stopped() && pipeline.quiet();
    if (!checked) {
        r.failure = !pipeline.fault().empty() ? pipeline.fault()
                    : !outcome.fault.empty()  ? outcome.fault
                    : !outcome.reply.empty()  ? "the server said: " + outcome.reply
                                              : "the probe upload did not end";
        return r;
    }
    if (r.held <= 0) {
        r.failure = "the server holds no byte of the probe upload";
        return r;
    }
    if (static_cast<std::uint64_t>(r.held) > probe.sent()) {
        r.failure = "the server says it holds " + std::to_string(r.held) + " bytes of the " +
                    std::to_string(probe.sent()) + " sent";
        return r;
    }
    r.bitsPerSecond = bitsPerSecond(static_cast<std::uint64_t>(r.held), probe.seconds());
    return r;
}

std::string removeProbe(ControlLink& link, PipelineSettings settings, const std::string& name) {
    NoFiles none;
    FtpPipeline pipeline(link, none, settings);
    pipeline.removeFile(name);
    if (!driveUntil(pipeline, kDeleteTimeout, [&] { return pipeline.quiet(); })) return "no reply to DELE";
    if (pipeline.stopped()) return pipeline.fault();
    return pipeline.removeRefused();
}

}  // namespace qz
