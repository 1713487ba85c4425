#pragma once
// How the command line shows an upload's progress: a bar redrawn in place on
// a terminal, or a plain line every few seconds in logs and pipes.

#include <cstdint>
#include <cstdio>
#include <string>

#include "qz/stats.hpp"

namespace qzcli {

// "0 B", "999 B", "1.5 kB", "12.3 MB", "1.07 GB" (decimal units).
std::string formatBytes(std::uint64_t bytes);
// "0:07", "12:34", "1:02:03"; "--:--" when unknown.
std::string formatDuration(double seconds);

// "[#######.............]  35%  12.3 MB / 35.0 MB  3/10 files  85.2 MB/s  0:12 left"
std::string progressBar(const qz::GlobalStateAndStats& stats, int barWidth);
// "35% 12.3 MB / 35.0 MB, 3/10 files, 85.2 MB/s, 0:12 left"
std::string progressLine(const qz::GlobalStateAndStats& stats);

class ProgressDisplay {
public:
    enum class EStyle { eBar, ePlain, eNone };
    ProgressDisplay(EStyle style, std::FILE* out) : style_(style), out_(out) {}

    // The engine's statistics callback; `user` is the ProgressDisplay.
    static void onStats(const qz::GlobalStateAndStats& stats, void* user);
    // Ends a bar's line so that later output starts on a line of its own.
    void finish();

private:
    void show(const qz::GlobalStateAndStats& stats);
    // Flushes; after a failed write nothing more is shown.
    void stopOnFailedWrite();

    EStyle style_;
    std::FILE* out_;
    double lastShown_ = -1e9;
    bool drawn_ = false;
};

}  // namespace qzcli
