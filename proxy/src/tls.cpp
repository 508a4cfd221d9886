#include "tls.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <time.h>

#include <cstdint>

namespace proxyd {

namespace {

// TLS 1.2 suites; TLS 1.3 has only AEAD suites with forward secrecy anyway.
char const kTls12Ciphers[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// The HTTP library keeps reading a request line or header line into memory until it ends,
// from any peer (the address is checked once the request is read). A connection may send at
// most this much, within this time, from its first TLS record on; then it is cut.
std::uintptr_t const kConnectionBytes = 1024 * 1024;
std::uintptr_t const kConnectionSeconds = 60;

int BytesIndex() {
    static int const index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int StartIndex() {
    static int const index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

std::uintptr_t Seconds() {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uintptr_t>(now.tv_sec) + 1;  // never 0, which means unset
}

// Called with the header of every TLS record that arrives.
void CountIncoming(int writing, int, int contentType, void const* data, std::size_t length,
                   SSL* ssl, void*) {
    if (writing != 0 || contentType != SSL3_RT_HEADER || length < 5) return;
    auto const* header = static_cast<unsigned char const*>(data);
    std::uintptr_t const record = (static_cast<std::uintptr_t>(header[3]) << 8) | header[4];
    auto start = reinterpret_cast<std::uintptr_t>(SSL_get_ex_data(ssl, StartIndex()));
    auto bytes = reinterpret_cast<std::uintptr_t>(SSL_get_ex_data(ssl, BytesIndex()));
    std::uintptr_t const now = Seconds();
    if (start == 0) {
        start = now;
        SSL_set_ex_data(ssl, StartIndex(), reinterpret_cast<void*>(start));
    }
    bytes += record + 5;
    SSL_set_ex_data(ssl, BytesIndex(), reinterpret_cast<void*>(bytes));
    if (bytes > kConnectionBytes || now - start > kConnectionSeconds) {
        // Every further read ends the connection.
        shutdown(SSL_get_fd(ssl), SHUT_RDWR);
    }
}

std::string OpenSslReason(std::string const& what) {
    unsigned long const code = ERR_get_error();
    ERR_clear_error();
    char text[256] = "unknown error";
    if (code != 0) ERR_error_string_n(code, text, sizeof text);
    return what + ": " + text;
}

}  // namespace

bool ConfigureTls(SSL_CTX& context, std::string const& certificate, std::string const& privateKey,
                  std::string& error) {
    ERR_clear_error();
    SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION);
    SSL_CTX_set_options(&context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                      SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_TICKET);
    if (SSL_CTX_set_cipher_list(&context, kTls12Ciphers) != 1) {
        error = OpenSslReason("the cipher list");
        return false;
    }
    if (SSL_CTX_use_certificate_chain_file(&context, certificate.c_str()) != 1) {
        error = OpenSslReason("certificate " + certificate);
        return false;
    }
    if (SSL_CTX_use_PrivateKey_file(&context, privateKey.c_str(), SSL_FILETYPE_PEM) != 1) {
        error = OpenSslReason("private key " + privateKey);
        return false;
    }
    if (SSL_CTX_check_private_key(&context) != 1) {
        error = OpenSslReason("private key " + privateKey + " does not match certificate " +
                              certificate);
        return false;
    }
    BytesIndex();
    StartIndex();
    SSL_CTX_set_msg_callback(&context, CountIncoming);
    return true;
}

std::string Thumbprint(SSL_CTX& context) {
    X509* const certificate = SSL_CTX_get0_certificate(&context);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (certificate == nullptr || X509_digest(certificate, EVP_sha1(), digest, &length) != 1) {
        return "";
    }
    static char const digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i != 0) text += ':';
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 0x0f];
    }
    return text;
}

}  // namespace proxyd
