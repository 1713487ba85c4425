// Arbitrary settings: setX never raises, and a TLS check only changes for a
// value that holds digits. Input: lines of KEY=VALUE.
#include <cstdint>
#include <map>
#include <string>

#include "key_value_lines.hpp"
#include "qz/ws.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::map<std::string, std::string> settings;
    for (auto& [key, value] : keyValueLines(input)) settings[key] = value;
    static qz::WS* ws = new qz::WS;
    ws->reset();
    ws->setX(settings);
    for (const char* key : {"sslverifyhost", "sslverifypeer"}) {
        auto it = settings.find(key);
        bool digits = it != settings.end() && it->second.find_first_of("0123456789") != std::string::npos;
        std::int32_t value = std::string(key) == "sslverifyhost" ? ws->sslVerifyHost : ws->sslVerifyPeer;
        std::int32_t fallback = std::string(key) == "sslverifyhost" ? 2 : 1;
        if (!digits && value != fallback) __builtin_trap();
    }
    std::map<std::string, std::string> read = {{"useragent", ""}, {"cookies", ""}};
    ws->getX(read);
    if (read["cookies"] != ws->cookieFile) __builtin_trap();
    return 0;
}
