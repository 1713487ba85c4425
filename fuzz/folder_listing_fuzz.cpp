// Arbitrary folder listings from a transfer server, read as MLSD facts and
// as LIST lines: a listing is read whole or not at all, and every name
// taken from it is a whole, non-empty line's end.
#include <cstdint>
#include <string_view>

#include "folder_listing.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const bool machine : {true, false}) {
        const auto files = qz::readListing(text, machine);
        if (!files) continue;
        for (const auto& f : *files) {
            if (f.name.empty() || f.name.find('\n') != std::string::npos) __builtin_trap();
            if (text.find(f.name) == std::string_view::npos) __builtin_trap();
        }
    }
    return 0;
}
