// Arbitrary "ftp" elements: the transfer settings either apply or refuse
// with the client's error. Input: lines of NAME=VALUE, the attributes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "key_value_lines.hpp"
#include "qz/ws.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static char dir[] = "/tmp/qzws-fuzz-XXXXXX";
    if (mkdtemp(dir)) setenv("QZ_LOG_DIR", dir, 1);
    qz::WS::initialize_third_party_libs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    xmlDoc* doc = xmlNewDoc(BAD_CAST "1.0");
    xmlNode* root = xmlNewNode(nullptr, BAD_CAST "result");
    xmlDocSetRootElement(doc, root);
    xmlNode* ftp = xmlNewChild(root, nullptr, BAD_CAST "ftp", nullptr);
    for (const auto& [name, value] : keyValueLines(input)) {
        // Attribute names and values are C strings in the tree.
        if (name.find('\0') == std::string::npos && value.find('\0') == std::string::npos &&
            xmlValidateNCName(BAD_CAST name.c_str(), 0) == 0) {
            xmlSetProp(ftp, BAD_CAST name.c_str(), BAD_CAST value.c_str());
        }
    }
    static qz::WS* ws = new qz::WS;
    try {
        ws->set_options(doc);
    } catch (const qz::Exception& e) {
        if (ws->message != e.what()) __builtin_trap();
    }
    xmlFreeDoc(doc);
    return 0;
}
