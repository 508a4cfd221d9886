#include "tls.h"

#include <openssl/err.h>
#include <openssl/x509.h>
#include <thumbprint.h>

#include "connections.h"

namespace proxyd {

namespace {

// TLS 1.2 suites; TLS 1.3 has only AEAD suites with forward secrecy anyway.
char const kTls12Ciphers[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// Counts what the socket's reads return on the connection the calling thread serves
// (connections.h): bytes, not records, so that a record announced and then trickled counts
// as it arrives.
long CountReads(BIO*, int operation, char const*, std::size_t, int, long, int result,
                std::size_t* processed) {
    Connection* const connection = CurrentConnection();
    if (operation == (BIO_CB_READ | BIO_CB_RETURN) && result > 0 && processed != nullptr &&
        connection != nullptr) {
        CountReceived(*connection, *processed);
    }
    return result;
}

// At the start of the handshake, before its first byte is read, the socket's reads are
// counted; at its end the connection is marked as having completed it.
void FollowHandshake(SSL const* ssl, int where, int) {
    Connection* const connection = CurrentConnection();
    if (connection == nullptr) return;
    if ((where & SSL_CB_HANDSHAKE_START) != 0) {
        BIO* const socket = SSL_get_rbio(ssl);
        if (socket != nullptr && BIO_get_callback_ex(socket) != CountReads) {
            BIO_set_callback_ex(socket, CountReads);
        }
    }
    if ((where & SSL_CB_HANDSHAKE_DONE) != 0) connection->handshaken = true;
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
    SSL_CTX_set_info_callback(&context, FollowHandshake);
    return true;
}

std::string Thumbprint(SSL_CTX& context) {
    X509 const* const certificate = SSL_CTX_get0_certificate(&context);
    return certificate == nullptr ? std::string() : tslthumbprint::OfCertificate(*certificate);
}

}  // namespace proxyd
