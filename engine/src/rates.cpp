#include "qz/rates.hpp"

#include <array>
#include <cstdio>

namespace qz {

std::uint64_t bps(ECommonBandwidth speed) {
    static constexpr std::array<std::uint64_t, 22> table = {
        0,
        1'000'000,
        1'544'000,
        2'048'000,
        10'000'000,
        34'368'000,
        44'736'000,
        100'000'000,
        155'520'000,
        250'000'000,
        500'000'000,
        622'080'000,
        1'000'000'000,
        1'244'160'000,
        2'488'320'000,
        2'500'000'000,
        4'976'640'000,
        9'953'280'000,
        10'000'000'000,
        25'000'000'000,
        40'000'000'000,
        100'000'000'000,
    };
    auto index = static_cast<std::size_t>(static_cast<int>(speed));
    return index < table.size() ? table[index] : 0;
}

std::string formatTransferRate(std::uint64_t bitsPerSecond) {
    static constexpr const char* units[] = {"kbit/s", "Mbit/s", "Gbit/s", "Tbit/s", "Pbit/s", "Ebit/s"};
    if (bitsPerSecond < 1000) return std::to_string(bitsPerSecond) + " bit/s";
    double value = static_cast<double>(bitsPerSecond) / 1000.0;
    std::size_t unit = 0;
    while (value >= 1000.0 && unit + 1 < sizeof(units) / sizeof(units[0])) {
        value /= 1000.0;
        ++unit;
    }
    char text[48];
    std::snprintf(text, sizeof text, "%.2f %s", value, units[unit]);
    return text;
}

}  // namespace qz
