#ifndef TSLAUTH_PROXYD_TLS_H
#define TSLAUTH_PROXYD_TLS_H

#include <openssl/ssl.h>

#include <string>

namespace proxyd {

// TLS 1.2 or newer with forward-secret AEAD ciphers only, the certificate (chain) and its key
// from PEM files, and the count of what one connection receives (connections.h). false with the
// reason in `error`.
bool ConfigureTls(SSL_CTX& context, std::string const& certificate, std::string const& privateKey,
                  std::string& error);

// The SHA-1 thumbprint of the context's certificate, "AB:01:...", as hosts pin it.
std::string Thumbprint(SSL_CTX& context);

}  // namespace proxyd

#endif
