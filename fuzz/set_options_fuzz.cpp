// Arbitrary "ftp" elements: the transfer settings either apply or refuse
// with the client's error. Input: lines of NAME=VALUE, the attributes.
#include <cstdint>
#include <cstdlib>
#include <string>

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
    std::size_t start = 0;
    while (start < input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        std::string line = input.substr(start, end - start);
        std::size_t eq = line.find('=');
        std::string name = line.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
        // Attribute names and values are C strings in the tree.
        if (name.find('\0') == std::string::npos && value.find('\0') == std::string::npos &&
            xmlValidateNCName(BAD_CAST name.c_str(), 0) == 0) {
            xmlSetProp(ftp, BAD_CAST name.c_str(), BAD_CAST value.c_str());
        }
        start = end + 1;
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
