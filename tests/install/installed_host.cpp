// A host program built only from the installed headers and libraries.
#include <libxml/parser.h>

#include <cstdio>

#include "qz/strings.hpp"
#include "qz/ws.hpp"
#include "qz/xml.hpp"

int main() {
    qz::WS::initialize_third_party_libs();
    qz::WS ws;
    auto info = qz::WS::library_info();
    auto map = ws.get_map();
    std::string scrambled = ws.encrypt("secret");
    xmlDoc* doc = xmlParseDoc(BAD_CAST "<r><status success=\"true\"/></r>");
    auto status = qz::findAnyNodeAndGetAttribs(doc, "status");
    xmlFreeDoc(doc);
    bool ok = info.size() == 9 && map.at("WS state name (current)") == "unknown" && !scrambled.empty() &&
              status["success"] == "true" && url_encode("a b") == "a%20b";
    std::printf("%s: %zu library rows, %zu map rows\n", ok ? "ok" : "FAILED", info.size(), map.size());
    return ok ? 0 : 1;
}
