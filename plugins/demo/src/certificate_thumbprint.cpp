#include "certificate_thumbprint.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "failure.h"

namespace demodirectory {

namespace {

struct CloseFile {
    void operator()(FILE* file) const { std::fclose(file); }
};
struct FreeCertificate {
    void operator()(X509* certificate) const { X509_free(certificate); }
};

}  // namespace

std::string CertificateThumbprint(std::string const& path) {
    std::unique_ptr<FILE, CloseFile> file(std::fopen(path.c_str(), "re"));
    if (!file) {
        throw Failure(kUntrustedCertificate, "cannot open the proxy's certificate '" + path +
                                                 "': " + std::strerror(errno));
    }
    std::unique_ptr<X509, FreeCertificate> certificate(
        PEM_read_X509(file.get(), nullptr, nullptr, nullptr));
    if (!certificate) {
        throw Failure(kUntrustedCertificate, "no PEM certificate in '" + path + "'");
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate.get(), EVP_sha1(), digest, &length) <= 0) {
        throw Failure(kUntrustedCertificate, "cannot digest the certificate in '" + path + "'");
    }
    static char const digits[] = "0123456789ABCDEF";
    std::string thumbprint;
    for (unsigned int i = 0; i < length; ++i) {
        if (i != 0) thumbprint += ':';
        thumbprint += digits[digest[i] >> 4];
        thumbprint += digits[digest[i] & 0xF];
    }
    return thumbprint;
}

}  // namespace demodirectory
