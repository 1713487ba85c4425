#include "ftp_reply.hpp"

#include <cctype>
#include <utility>

#include "qz/quoted.hpp"

namespace qz {

namespace {

// "ddd" with a first digit 1 to 5; -1 for anything else.
int codeOf(const std::string& line) {
    if (line.size() < 3) return -1;
    for (int i = 0; i < 3; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(line[i]))) return -1;
    }
    if (line[0] < '1' || line[0] > '5') return -1;
    return std::stoi(line.substr(0, 3));
}

// Digits only, within 1..65535.
std::optional<std::uint16_t> portNumber(const std::string& digits) {
    if (digits.empty() || digits.size() > 5) return std::nullopt;
    unsigned long value = 0;
    for (char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

std::optional<std::uint16_t> epsvPort(const std::string& line) {
    const auto open = line.find('(');
    if (open == std::string::npos || open + 1 >= line.size()) return std::nullopt;
    const char delimiter = line[open + 1];
    const std::string prefix(3, delimiter);
    if (line.compare(open + 1, 3, prefix) != 0) return std::nullopt;
    const auto end = line.find(delimiter, open + 4);
    if (end == std::string::npos || end + 1 >= line.size() || line[end + 1] != ')') return std::nullopt;
    return portNumber(line.substr(open + 4, end - open - 4));
}

std::optional<std::uint16_t> pasvPort(const std::string& line) {
    const auto open = line.find('(');
    const auto close = line.find(')', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos) return std::nullopt;
    std::vector<std::string> parts(1);
    for (std::size_t i = open + 1; i < close; ++i) {
        if (line[i] == ',') {
            parts.emplace_back();
        } else {
            parts.back() += line[i];
        }
    }
    if (parts.size() != 6) return std::nullopt;
    unsigned value[6];
    for (std::size_t i = 0; i < 6; ++i) {
        if (parts[i].empty() || parts[i].size() > 3) return std::nullopt;
        value[i] = 0;
        for (char c : parts[i]) {
            if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
            value[i] = value[i] * 10 + static_cast<unsigned>(c - '0');
        }
        if (value[i] > 255) return std::nullopt;
    }
    return portNumber(std::to_string(value[4] * 256 + value[5]));
}

}  // namespace

bool FtpReplyReader::feed(const char* data, std::size_t length) {
    if (!fault_.empty()) return false;
    for (std::size_t i = 0; i < length; ++i) {
        if (data[i] != '\n') {
            if (partial_.size() >= kMaxLine) {
                fault_ = "the server sent a reply line longer than " + std::to_string(kMaxLine) + " bytes";
                return false;
            }
            partial_ += data[i];
            continue;
        }
        if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
        std::string line;
        line.swap(partial_);
        if (!takeLine(std::move(line))) return false;
    }
    return true;
}

bool FtpReplyReader::takeLine(std::string line) {
    if (open_.lines.empty()) {
        const int code = codeOf(line);
        if (code < 0 || line.size() < 4 || (line[3] != ' ' && line[3] != '-')) {
            fault_ = "the server sent " + quoted(line.substr(0, 80)) + ", which starts no reply";
            return false;
        }
        open_.code = code;
        open_.lines.push_back(std::move(line));
        if (open_.lines.back()[3] == ' ') ready_.push_back(std::exchange(open_, FtpReply{}));
        return true;
    }
    if (open_.lines.size() >= kMaxLines) {
        fault_ = "the server sent a reply of more than " + std::to_string(kMaxLines) + " lines";
        return false;
    }
    const bool ends = line.size() >= 4 && codeOf(line) == open_.code && line[3] == ' ';
    open_.lines.push_back(std::move(line));
    if (ends) ready_.push_back(std::exchange(open_, FtpReply{}));
    return true;
}

std::optional<FtpReply> FtpReplyReader::next() {
    if (ready_.empty()) return std::nullopt;
    FtpReply reply = std::move(ready_.front());
    ready_.pop_front();
    return reply;
}

std::optional<std::uint64_t> sizeInReply(const FtpReply& reply) {
    const std::string& line = reply.last();
    if (reply.code != 213 || line.size() < 5 || line.size() > 4 + 20 || line[3] != ' ') return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 4; i < line.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(line[i]))) return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(line[i] - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::uint16_t> passivePort(const FtpReply& reply) {
    if (reply.code == 229) return epsvPort(reply.last());
    if (reply.code == 227) return pasvPort(reply.last());
    return std::nullopt;
}

}  // namespace qz
