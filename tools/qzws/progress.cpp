#include "progress.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace qzcli {

namespace {

constexpr double kBarInterval = 0.1;    // seconds between redraws of the bar
constexpr double kPlainInterval = 5.0;  // seconds between plain lines

double bytesPerSecond(const qz::GlobalStateAndStats& s) { return static_cast<double>(s.currentRate) / 8.0; }

std::string secondsLeft(const qz::GlobalStateAndStats& s) {
    double rate = bytesPerSecond(s);
    if (s.totalBytesTransferred >= s.totalBytes) return formatDuration(0);
    if (rate <= 0) return formatDuration(-1);
    return formatDuration(static_cast<double>(s.totalBytes - s.totalBytesTransferred) / rate);
}

int percentOf(const qz::GlobalStateAndStats& s) {
    if (s.totalBytes == 0) return s.finished ? 100 : 0;
    return static_cast<int>(std::min<std::uint64_t>(100, s.totalBytesTransferred * 100 / s.totalBytes));
}

std::string summary(const qz::GlobalStateAndStats& s, const char* separator) {
    return fmt::format("{} / {}{}{}/{} files{}{}/s{}{} left", formatBytes(s.totalBytesTransferred),
                       formatBytes(s.totalBytes), separator, s.filesDone, s.filesTotal, separator,
                       formatBytes(static_cast<std::uint64_t>(bytesPerSecond(s))), separator, secondsLeft(s));
}

}  // namespace

std::string formatBytes(std::uint64_t bytes) {
    static const char* const units[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
    if (bytes < 1000) return fmt::format("{} B", bytes);
    double value = static_cast<double>(bytes) / 1000.0;
    std::size_t unit = 0;
    while (value >= 1000.0 && unit + 1 < std::size(units)) {
        value /= 1000.0;
        ++unit;
    }
    return fmt::format(value < 10 ? "{:.2f} {}" : value < 100 ? "{:.1f} {}" : "{:.0f} {}", value, units[unit]);
}

std::string formatDuration(double seconds) {
    if (seconds < 0 || !std::isfinite(seconds)) return "--:--";
    auto total = static_cast<long long>(std::llround(seconds));
    long long h = total / 3600, m = total / 60 % 60, s = total % 60;
    return h > 0 ? fmt::format("{}:{:02}:{:02}", h, m, s) : fmt::format("{}:{:02}", m, s);
}

std::string progressBar(const qz::GlobalStateAndStats& stats, int barWidth) {
    int percent = percentOf(stats);
    int filled = barWidth * percent / 100;
    return fmt::format("[{}{}] {:3}%  {}", std::string(static_cast<std::size_t>(filled), '#'),
                       std::string(static_cast<std::size_t>(barWidth - filled), '.'), percent, summary(stats, "  "));
}

std::string progressLine(const qz::GlobalStateAndStats& stats) {
    return fmt::format("{}% {}", percentOf(stats), summary(stats, ", "));
}

void ProgressDisplay::onStats(const qz::GlobalStateAndStats& stats, void* user) {
    static_cast<ProgressDisplay*>(user)->show(stats);
}

void ProgressDisplay::show(const qz::GlobalStateAndStats& stats) {
    if (style_ == EStyle::eNone) return;
    const double interval = style_ == EStyle::eBar ? kBarInterval : kPlainInterval;
    if (!stats.finished && stats.elapsedSeconds - lastShown_ < interval) return;
    lastShown_ = stats.elapsedSeconds;
    if (style_ == EStyle::eBar) {
        // Clear to the end of the line: the new text may be shorter.
        std::fprintf(out_, "\r%s\x1b[K", progressBar(stats, 30).c_str());
        drawn_ = true;
    } else {
        std::fprintf(out_, "qzws: %s\n", progressLine(stats).c_str());
    }
    stopOnFailedWrite();
}

void ProgressDisplay::finish() {
    if (style_ == EStyle::eNone) return;
    if (drawn_) std::fputc('\n', out_);
    drawn_ = false;
    stopOnFailedWrite();
}

void ProgressDisplay::stopOnFailedWrite() {
    // A reader that went away (a closed pipe, a terminal hung up) or a full
    // disk is no reason to stop the upload: the progress just stops.
    if (std::fflush(out_) != 0 || std::ferror(out_)) style_ = EStyle::eNone;
}

}  // namespace qzcli
