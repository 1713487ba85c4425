#pragma once
// The byte generator behind each client's key and cookie file name, and the
// keep-alive request's random value: the minimal standard (Park-Miller)
// generator, one byte from the low 8 bits of each accepted output.

#include <cstdint>
#include <string>

namespace qz::detail {

class ByteGenerator {
public:
    // `seed` must lie in 1 to 2147483646.
    explicit ByteGenerator(std::uint32_t seed) : x_(seed) {}
    std::uint8_t next();

private:
    std::uint64_t x_;
};

// The low 8 bits of a clock count, 0 taken as 1: 255 possible seeds.
std::uint32_t seedFromClockCount(std::int64_t count);

// A seed for a client's key and cookie file name. Seeds drawn in one process
// are all distinct (a process-wide counter), and processes start at
// unrelated points (a random device, the clock and the process id), so that
// two clients never share a cookie file.
std::uint32_t uniqueClientSeed();

struct KeyAndCookieFile {
    std::string key;         // 32 to 34 decimal digits
    std::string cookieFile;  // 16 to 18 decimal digits and "_cookies.txt"
};
KeyAndCookieFile drawKeyAndCookieFile(std::uint32_t seed);

// A key and cookie file name for a client. Seeds have 31 bits, so among
// thousands of clients two names may still agree: a name that a live client
// of this process holds, or whose file exists in the working directory, is
// drawn again with the next seed. The name stays held until released.
KeyAndCookieFile drawClientKeyAndCookieFile();
void releaseCookieFile(const std::string& name);

// Nanoseconds since the Unix epoch.
std::int64_t clockCount();

}  // namespace qz::detail
