#pragma once
// Replies of an FTP server read from the raw bytes of a control connection,
// as they arrive in pieces. The bytes come from the server and are held to
// the reply grammar: a line that is too long, a reply with too many lines or
// a line that starts no reply is a fault, never a guess.
//
//   FtpReplyReader reader;
//   reader.feed("213 16384\r\n229 Entering Extended Passive Mode (|||2", n);
//   reader.next()->code == 213;   // the second reply is not whole yet
//   passivePort(*reader.next()) == 23139, once the rest has arrived

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace qz {

struct FtpReply {
    int code = 0;                    // 100 to 599
    std::vector<std::string> lines;  // without their line ends; the last carries "ddd "

    const std::string& last() const { return lines.back(); }
};

class FtpReplyReader {
public:
    static constexpr std::size_t kMaxLine = 8192;
    static constexpr std::size_t kMaxLines = 1000;

    // Takes the next bytes of the control connection. False once they broke
    // the grammar; fault() then says how, and nothing more is read.
    bool feed(const char* data, std::size_t length);
    // The oldest whole reply not taken yet.
    std::optional<FtpReply> next();
    const std::string& fault() const { return fault_; }

private:
    bool takeLine(std::string line);

    std::string partial_;  // bytes of a line without its end yet
    FtpReply open_;        // a multi-line reply still open
    std::deque<FtpReply> ready_;
    std::string fault_;
};

// The data port of a 229 ("(|||port|)") or 227 ("(h1,h2,h3,h4,p1,p2)")
// reply. The address of a 227 reply is not taken: data connections go to the
// address of the control connection, so a server cannot send them elsewhere.
std::optional<std::uint16_t> passivePort(const FtpReply& reply);

// The size in a "213 <digits>" reply to SIZE; nullopt for any other shape.
std::optional<std::uint64_t> sizeInReply(const FtpReply& reply);

}  // namespace qz
