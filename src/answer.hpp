#pragma once
// Reading a job server's answer: which of its forms it has, whether it
// reports success, and what the client reports. No I/O, so that any byte
// string can be tried against it.

#include <libxml/tree.h>

#include <functional>
#include <memory>
#include <string>

namespace qz::detail {

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

struct Answer {
    std::string text;  // as received, or de-scrambled
    DocPtr document;   // when the text parsed as XML
    bool success = false;
    std::string message;  // "" when the answer is acceptable
};

// Parses `text` as libxml2's xmlParseDoc does, but keeps the parser's
// complaints about bad documents off the standard streams: the host's
// output is its own. The host's error handler is back in place afterwards.
DocPtr parseQuietly(const std::string& text);

// `descramble` turns a scrambled body into its text.
Answer readAnswer(const std::string& body, long httpCode, const std::string& url,
                  const std::function<std::string(const std::string&)>& descramble);

}  // namespace qz::detail
