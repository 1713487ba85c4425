// Arbitrary documents: every lookup ends, and the search finds what its
// definition finds. Input: one line with the wanted name, then the document.
#include <libxml/parser.h>

#include <cstdint>
#include <string>

#include "qz/xml.hpp"

namespace {

void ignoreError(void*, xmlErrorPtr) {}

// "The node, else the search from its next sibling, else from its first
// child", with entity references as leaves.
xmlNode* byDefinition(xmlNode* n, const std::string& name, int depth) {
    if (!n || name.empty() || depth > 5000) return nullptr;
    if (n->name && name == reinterpret_cast<const char*>(n->name)) return n;
    if (xmlNode* r = byDefinition(n->next, name, depth + 1)) return r;
    return n->type == XML_ENTITY_REF_NODE ? nullptr : byDefinition(n->children, name, depth + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool quiet = (xmlSetStructuredErrorFunc(nullptr, ignoreError), true);
    (void)quiet;
    std::string input(reinterpret_cast<const char*>(data), size);
    auto newline = input.find('\n');
    std::string name = newline == std::string::npos ? "status" : input.substr(0, newline);
    std::string text = newline == std::string::npos ? input : input.substr(newline + 1);
    xmlDoc* doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "fuzz.xml", nullptr, XML_PARSE_NONET);
    if (doc == nullptr) return 0;
    xmlNode* found = qz::findAnyNodeWithName(doc, name);
    if (found != byDefinition(doc->children, name, 0)) __builtin_trap();
    qz::findImmediateChildWithName(doc, name);
    for (xmlNode* n : qz::findAllSiblingsWithName(doc, name)) {
        qz::getNodeAttributes(n);
        qz::findImmediateChildWithName(n, name);
    }
    qz::findAnyNodeAndGetAttribs(doc, name);
    qz::findAnyNodeAndGetAttribs(xmlDocGetRootElement(doc), name);
    xmlFreeDoc(doc);
    return 0;
}
