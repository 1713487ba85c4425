#include "password.hpp"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>

namespace qzcli {

namespace {

std::string withoutLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

std::optional<std::string> promptWithoutEcho(const std::string& prompt) {
    if (!::isatty(STDIN_FILENO)) return std::nullopt;
    termios saved{};
    if (::tcgetattr(STDIN_FILENO, &saved) != 0) return std::nullopt;
    termios quiet = saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    std::cerr << prompt << std::flush;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::string line;
    bool got = static_cast<bool>(std::getline(std::cin, line));
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << "\n";
    if (!got) return std::nullopt;
    return withoutLineEnd(line);
}

}  // namespace

std::optional<std::string> findPassword(const std::string& passwordFile, const std::string& prompt) {
    if (const char* fromEnvironment = std::getenv("QZWS_PASSWORD"); fromEnvironment && *fromEnvironment) {
        return std::string(fromEnvironment);
    }
    if (!passwordFile.empty()) {
        std::ifstream in(passwordFile);
        std::string line;
        if (!in || !std::getline(in, line)) {
            throw std::runtime_error("cannot read the password file \"" + passwordFile +
                                     "\": " + (in ? "it is empty" : std::strerror(errno)));
        }
        return withoutLineEnd(line);
    }
    return promptWithoutEcho(prompt);
}

}  // namespace qzcli
