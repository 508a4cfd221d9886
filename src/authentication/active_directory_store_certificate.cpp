// Trusting an authentication-proxy server: only its certificate's SHA-1 thumbprint is kept,
// keyed by the server's address.
#include <authentication/active_directory_store.h>
#include <authentication/exceptions.h>
#include <authentication/qap_thumbprint_store.h>
#include <hostctl/ipv4_address.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <thumbprint.h>

#include <cstdio>
#include <memory>
#include <string>

#include "files_lock.h"
#include "paths.h"
#include "qap_server.h"

namespace ostrel {
namespace authentication {

void RequireQAPServerAddress(std::string const& server) {
    if (!HostCtl::Network::Ipv4Address::IsValidAddress(server)) {
        throw InvalidIPAddressException("IPv4 address '" + server +
                                        "' cannot be parsed as an IP address");
    }
}

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
struct CertificateFreer {
    void operator()(X509* certificate) const { X509_free(certificate); }
};

[[noreturn]] void ThrowInvalidCertificate() {
    // OpenSSL's reasons stay out of the error queue that other users of it in the process see.
    ERR_clear_error();
    throw InvalidCertificateException();
}

// The thumbprint of the first PEM certificate in the file.
std::string CertificateThumbprint(std::string const& path) {
    // A path with a NUL would open a different, shorter path.
    if (path.find('\0') != std::string::npos) throw FileNotFoundException();
    std::unique_ptr<X509, CertificateFreer> certificate;
    {
        std::unique_ptr<std::FILE, FileCloser> const file(std::fopen(path.c_str(), "re"));
        if (!file) throw FileNotFoundException();
        certificate.reset(PEM_read_X509(file.get(), nullptr, nullptr, nullptr));
    }
    if (!certificate) ThrowInvalidCertificate();

    std::string const thumbprint = tslthumbprint::OfCertificate(*certificate);
    if (thumbprint.empty()) ThrowInvalidCertificate();
    return thumbprint;
}

}  // namespace

void ActiveDirectoryStore::ImportCertificateForQAP(std::string const& certificatePath,
                                                   std::string const& server) {
    RequireQAPServerAddress(server);
    std::string const thumbprint = CertificateThumbprint(certificatePath);
    try {
        FilesLock lock;  // read, edit and replace as one step: a concurrent import stays
        QAPThumbprintStore store(kQAPServersFile);
        store.ImportThumbprint(thumbprint, server);
    } catch (IOError const&) {
        // The store file must exist already: it is never created here.
        throw InvalidThumbprintStoreException(kQAPServersFile);
    }
}

}  // namespace authentication
}  // namespace ostrel
