#pragma once
// A certificate authority and a server certificate for 127.0.0.1, made with
// the openssl command for a test's TLS servers.
//
//   qztest::Certificates certs = qztest::makeCertificates(dir());
//   // certs.caFile signs certs.certFile (key certs.keyFile), valid for 127.0.0.1 and localhost

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace qztest {

struct Certificates {
    std::string caFile;
    std::string certFile;
    std::string keyFile;
};

inline Certificates makeCertificates(const std::string& dir) {
    const std::string curve = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string script =
        "cd '" + dir +
        "' && "
        "openssl req -x509 " +
        curve +
        " -keyout ca.key -out ca.pem -days 2 -subj /CN=qzws-test-ca 2>/dev/null && "
        "openssl req " +
        curve +
        " -keyout server.key -out server.csr -subj /CN=127.0.0.1 2>/dev/null && "
        "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > server.ext && "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
        "-extfile server.ext 2>/dev/null";
    if (std::system(script.c_str()) != 0) throw std::runtime_error("openssl could not make the test certificates");
    return {dir + "/ca.pem", dir + "/server.pem", dir + "/server.key"};
}

}  // namespace qztest
