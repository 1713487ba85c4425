#include <boost/version.hpp>
#include <curlpp/cURLpp.hpp>
#include <libxml/xmlversion.h>

#include "qz/ws.hpp"
#include "qzws_version.hpp"

namespace qz {

WS::StringMap WS::library_info() {
    std::string engine = libqzVersionStr();
    std::string curl = curlpp::libcurlVersion();
    std::string openssl = opensslVersionStr();
    std::string boost = std::to_string(BOOST_VERSION / 100000) + "." + std::to_string(BOOST_VERSION / 100 % 1000) +
                        "." + std::to_string(BOOST_VERSION % 100);
    return {
        {"Veltrane", QZWS_VERSION "-1152"},
        {"QZ++ library", engine},
        {"XML2 library", LIBXML_DOTTED_VERSION},
        {"cURLpp wrapper", LIBCURLPP_VERSION},
        {"cURL library", curl},
        {"OpenSSL library", openssl},
        {"Build type", "Linux-64-release"},
        {"Build date", __DATE__ " " __TIME__},
        {"Boost library", boost},
    };
}

}  // namespace qz
