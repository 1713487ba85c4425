// How the command line shows sizes, times and progress.
#include <gtest/gtest.h>

#include <cstdio>
#include <limits>

#include "progress.hpp"

namespace {

qz::GlobalStateAndStats stats(std::uint64_t sent, std::uint64_t total, std::uint64_t bitsPerSecond,
                              std::uint64_t done = 3, std::uint64_t files = 10) {
    qz::GlobalStateAndStats s;
    s.totalBytesTransferred = sent;
    s.totalBytes = total;
    s.currentRate = bitsPerSecond;
    s.filesDone = done;
    s.filesTotal = files;
    return s;
}

TEST(Progress, Sizes) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "0 B"},
        {999, "999 B"},
        {1000, "1.00 kB"},
        {1500, "1.50 kB"},
        {12345678, "12.3 MB"},
        {999999999, "1000 MB"},
        {1073741824, "1.07 GB"},
        {UINT64_MAX, "18.4 EB"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(qzcli::formatBytes(bytes), text) << bytes;
}

TEST(Progress, Durations) {
    const std::pair<double, const char*> cases[] = {
        {0, "0:00"},       {7.4, "0:07"}, {754, "12:34"},
        {3723, "1:02:03"}, {-1, "--:--"}, {std::numeric_limits<double>::infinity(), "--:--"},
    };
    for (const auto& [seconds, text] : cases) EXPECT_EQ(qzcli::formatDuration(seconds), text) << seconds;
}

TEST(Progress, BarAndLine) {
    EXPECT_EQ(qzcli::progressBar(stats(35, 100, 8000), 20),
              "[#######.............]  35%  35 B / 100 B  3/10 files  1.00 kB/s  0:00 left");
    EXPECT_EQ(qzcli::progressLine(stats(50'000'000, 100'000'000, 80'000'000)),
              "50% 50.0 MB / 100 MB, 3/10 files, 10.0 MB/s, 0:05 left");
    EXPECT_EQ(qzcli::progressLine(stats(0, 100, 0)), "0% 0 B / 100 B, 3/10 files, 0 B/s, --:-- left");
    EXPECT_EQ(qzcli::progressLine(stats(0, 0, 0, 0, 0)), "0% 0 B / 0 B, 0/0 files, 0 B/s, 0:00 left");
    auto finished = stats(0, 0, 0, 0, 0);
    finished.finished = true;
    EXPECT_EQ(qzcli::progressLine(finished).substr(0, 4), "100%");
}

TEST(Progress, PlainLinesAreThrottledButTheLastIsShown) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    qzcli::ProgressDisplay display(qzcli::ProgressDisplay::EStyle::ePlain, out);
    for (int tenth = 0; tenth <= 120; ++tenth) {
        auto s = stats(static_cast<std::uint64_t>(tenth), 120, 8);
        s.elapsedSeconds = tenth / 10.0;
        s.finished = tenth == 120;
        qzcli::ProgressDisplay::onStats(s, &display);
    }
    display.finish();
    std::fclose(out);
    std::string shown(text, size);
    std::free(text);
    // At 0 s, 5 s and 10 s, and the final one at 12 s.
    EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 4) << shown;
    EXPECT_NE(shown.find("qzws: 100% 120 B / 120 B"), std::string::npos) << shown;
}

}  // namespace
