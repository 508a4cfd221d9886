#ifndef DEMO_DIRECTORY_CERTIFICATE_THUMBPRINT_H
#define DEMO_DIRECTORY_CERTIFICATE_THUMBPRINT_H

#include <string>

namespace demodirectory {

// The SHA-1 thumbprint of the first PEM certificate in the file, as upper-case hexadecimal
// pairs joined by ":". Fails with kUntrustedCertificate (and a text naming the file) when the
// file holds no readable certificate: a server that cannot show its certificate is not trusted.
std::string CertificateThumbprint(std::string const& path);

}  // namespace demodirectory

#endif
