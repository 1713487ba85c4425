#include "key_generator.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <set>

namespace qz::detail {

namespace {
constexpr std::uint64_t kModulus = 2147483647;  // 2^31 - 1
constexpr std::uint64_t kMultiplier = 16807;
constexpr std::uint64_t kLargestAccepted = 2147483391;  // keeps all 256 bytes equally likely

std::uint64_t splitmix64(std::uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void appendDrawsUntil(ByteGenerator& generator, std::string& text, std::size_t length) {
    while (text.size() < length) text += std::to_string(generator.next());
}
}  // namespace

std::uint8_t ByteGenerator::next() {
    for (;;) {
        x_ = (x_ * kMultiplier) % kModulus;
        std::uint64_t u = x_ - 1;
        if (u <= kLargestAccepted) return static_cast<std::uint8_t>(u & 0xFF);
    }
}

std::uint32_t seedFromClockCount(std::int64_t count) {
    auto seed = static_cast<std::uint32_t>(static_cast<std::uint64_t>(count) & 0xFF);
    return seed == 0 ? 1 : seed;
}

std::int64_t clockCount() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

std::uint32_t uniqueClientSeed() {
    constexpr std::uint64_t kSeeds = kModulus - 1;  // valid seeds are 1 .. 2^31 - 2
    // An odd step below kSeeds that shares no factor with it (kSeeds = 2 * 3^2 * 7 * 11 * 31 * 151 * 331),
    // so the first kSeeds counter values give distinct seeds.
    constexpr std::uint64_t kStep = 1'234'567'891ull;
    static const std::uint64_t processStart = [] {
        std::random_device device;
        std::uint64_t r = (static_cast<std::uint64_t>(device()) << 32) ^ device();
        return splitmix64(r ^ static_cast<std::uint64_t>(clockCount()) ^
                          (static_cast<std::uint64_t>(::getpid()) << 40)) %
               kSeeds;
    }();
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t n = counter.fetch_add(1, std::memory_order_relaxed) % kSeeds;
    return static_cast<std::uint32_t>(1 + (processStart + n * kStep) % kSeeds);
}

KeyAndCookieFile drawKeyAndCookieFile(std::uint32_t seed) {
    ByteGenerator generator(seed);
    KeyAndCookieFile out;
    appendDrawsUntil(generator, out.key, 32);
    appendDrawsUntil(generator, out.cookieFile, 16);
    out.cookieFile += "_cookies.txt";
    return out;
}

namespace {
std::mutex heldMutex;
std::set<std::string>& heldNames() {
    static std::set<std::string> names;
    return names;
}
}  // namespace

KeyAndCookieFile drawClientKeyAndCookieFile() {
    std::lock_guard<std::mutex> lock(heldMutex);
    for (;;) {
        KeyAndCookieFile drawn = drawKeyAndCookieFile(uniqueClientSeed());
        struct stat info {};
        if (heldNames().count(drawn.cookieFile) || ::lstat(drawn.cookieFile.c_str(), &info) == 0) continue;
        heldNames().insert(drawn.cookieFile);
        return drawn;
    }
}

void releaseCookieFile(const std::string& name) {
    std::lock_guard<std::mutex> lock(heldMutex);
    heldNames().erase(name);
}

}  // namespace qz::detail
