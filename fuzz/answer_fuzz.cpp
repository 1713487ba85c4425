// Arbitrary answers from a job server: reading them ends with a clear
// result. Input: two bytes of HTTP status, then the body.
#include <cstdint>
#include <string>

#include "answer.hpp"
#include "qz/scrambling.hpp"
#include "qz/xml.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const long code = 100 + (data[0] | data[1] << 8) % 500;
    std::string body(reinterpret_cast<const char*>(data + 2), size - 2);
    static const std::string key = "16624021641129199215253667615184";
    auto answer = qz::detail::readAnswer(body, code, "http://127.0.0.1/x.do", [](const std::string& t) {
        return qz::scramble(t, key, qz::EShift::eBackward);
    });
    if (!answer.message.empty() && answer.message.rfind("server ", 0) != 0) __builtin_trap();
    if (answer.document && answer.text.empty()) __builtin_trap();
    if (answer.success && answer.document == nullptr && answer.text.rfind("yay\r\n", 0) != 0) __builtin_trap();
    if (answer.document) qz::findAnyNodeWithName(answer.document.get(), "absent");
    return 0;
}
