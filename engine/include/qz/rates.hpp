#pragma once
// Transfer rates: the table of common line speeds and their display text.
//
//   std::uint64_t max = qz::bps(qz::ECommonBandwidth::e10Gbit);   // 10'000'000'000
//   qz::formatTransferRate(max);                                  // "10.00 Gbit/s"

#include <cstdint>
#include <string>

namespace qz {

// Common line speeds. Value 1 is the unit in which job servers state rates
// (1 Mbit/s); value 18 is 10 Gigabit Ethernet. The numbers are stable: servers
// and stored settings refer to them.
enum class ECommonBandwidth : int {
    e1Mbit = 1,      //        1 000 000 bit/s, the rate unit
    eT1 = 2,         //        1 544 000
    eE1 = 3,         //        2 048 000
    e10Mbit = 4,     //       10 000 000
    eE3 = 5,         //       34 368 000
    eT3 = 6,         //       44 736 000
    e100Mbit = 7,    //      100 000 000
    eOC3 = 8,        //      155 520 000
    e250Mbit = 9,    //      250 000 000
    e500Mbit = 10,   //      500 000 000
    eOC12 = 11,      //      622 080 000
    e1Gbit = 12,     //    1 000 000 000
    eOC24 = 13,      //    1 244 160 000
    eOC48 = 14,      //    2 488 320 000
    e2500Mbit = 15,  //    2 500 000 000
    eOC96 = 16,      //    4 976 640 000
    eOC192 = 17,     //    9 953 280 000
    e10Gbit = 18,    //   10 000 000 000
    e25Gbit = 19,    //   25 000 000 000
    e40Gbit = 20,    //   40 000 000 000
    e100Gbit = 21,   //  100 000 000 000
};

// Bits per second of a common line speed; 0 for a value outside the table.
//
//   qz::bps(qz::ECommonBandwidth::e1Mbit) == 1000000
std::uint64_t bps(ECommonBandwidth speed);

// Display text of a rate in bits per second, in decimal units with two
// decimals: "0 bit/s", "999 bit/s", "1.50 kbit/s", "100.00 Mbit/s", "10.00 Gbit/s".
std::string formatTransferRate(std::uint64_t bitsPerSecond);

}  // namespace qz
