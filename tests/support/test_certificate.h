#ifndef TESTS_SUPPORT_TEST_CERTIFICATE_H
#define TESTS_SUPPORT_TEST_CERTIFICATE_H

#include <string>

namespace test_certificate {

// A self-signed certificate made in the test.
struct Certificate {
    std::string pem;         // the certificate, PEM
    std::string der;         // the certificate, DER
    std::string keyPem;      // its private key only, PEM
    std::string thumbprint;  // OpenSSL's own hex form of the SHA-1 digest of the DER encoding
};

// A fresh P-256 key and a one-hour certificate for it with the given common name.
Certificate Make(char const* commonName);

}  // namespace test_certificate

#endif
