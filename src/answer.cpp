#include "answer.hpp"

#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include "qz/strings.hpp"
#include "qz/xml.hpp"

namespace qz::detail {

namespace {
bool isPlainAnswer(const std::string& body) {
    return starts_with(body, "<?xml") || starts_with(body, "<result") || starts_with(body, "yay\r\n") ||
           starts_with(body, "nay\r\n");
}
void ignoreError(void*, xmlErrorPtr) {}
}  // namespace

DocPtr parseQuietly(const std::string& text) {
    xmlStructuredErrorFunc previous = xmlStructuredError;
    void* previousContext = xmlStructuredErrorContext;
    xmlSetStructuredErrorFunc(nullptr, ignoreError);
    DocPtr doc(xmlParseDoc(reinterpret_cast<const xmlChar*>(text.c_str())));
    xmlSetStructuredErrorFunc(previousContext, previous);
    return doc;
}

Answer readAnswer(const std::string& body, long httpCode, const std::string& url,
                  const std::function<std::string(const std::string&)>& descramble) {
    Answer a;
    a.text = isPlainAnswer(body) ? body : descramble(body);
    if (httpCode != 200) a.message = "server HTTP response code for " + url + " is " + std::to_string(httpCode);

    if (a.text.size() <= 9) {
        a.success = starts_with(a.text, "yay\r\n");
        return a;
    }
    if (a.text[0] != '<') return a;
    a.document = parseQuietly(a.text);
    if (!a.document) return a;
    auto status = findAnyNodeAndGetAttribs(a.document.get(), "status");
    auto success = status.find("success");
    if (success != status.end() && success->second == "true") {
        a.success = true;
        return a;
    }
    a.message = "server response for " + url + " indicates the command failed to run";
    auto comments = status.find("comments");
    if (comments != status.end()) a.message += " (\"" + comments->second + "\")";
    return a;
}

}  // namespace qz::detail
