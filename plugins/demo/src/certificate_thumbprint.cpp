#include "certificate_thumbprint.h"

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <thumbprint.h>

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
    std::string const thumbprint = tslthumbprint::OfCertificate(*certificate);
    if (thumbprint.empty()) {
        throw Failure(kUntrustedCertificate, "cannot digest the certificate in '" + path + "'");
    }
    return thumbprint;
}

}  // namespace demodirectory
