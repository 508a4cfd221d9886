#ifndef TSLTHUMBPRINT_THUMBPRINT_H
#define TSLTHUMBPRINT_THUMBPRINT_H

// A certificate's thumbprint as hosts pin it and the library stores it: the SHA-1 digest of the
// DER certificate as "AB:01:...:FF", two upper-case hexadecimal digits a byte, in digest order,
// joined by ":". The pinned-servers file and the log lines rely on this exact text.
#include <openssl/x509.h>

#include <array>
#include <string>

namespace tslthumbprint {

using Digest = std::array<unsigned char, 20>;

std::string Format(Digest const& digest);

// Reads Format's text back, its digits in either case; false for any other text (no other
// separator, no blanks, no other length).
bool Parse(std::string const& text, Digest& digest);

// The certificate's thumbprint, or "" when OpenSSL cannot digest it (its reason is left in
// OpenSSL's error queue, for the caller to report or clear).
std::string OfCertificate(X509 const& certificate);

// Whether both texts are thumbprints of the same digest: a pinned one may be in lower case.
bool Same(std::string const& one, std::string const& other);

}  // namespace tslthumbprint

#endif
