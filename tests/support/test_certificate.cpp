#include "test_certificate.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace test_certificate {

Certificate Make(char const* commonName) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* x509 = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(x509), 1);
    X509_gmtime_adj(X509_getm_notBefore(x509), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509), 3600);
    X509_set_pubkey(x509, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x509), "CN", MBSTRING_ASC,
                               reinterpret_cast<unsigned char const*>(commonName), -1, -1, 0);
    X509_set_issuer_name(x509, X509_get_subject_name(x509));
    EXPECT_GT(X509_sign(x509, key, EVP_sha256()), 0);

    Certificate made;
    for (std::string* text : {&made.pem, &made.keyPem}) {
        BIO* bio = BIO_new(BIO_s_mem());
        EXPECT_EQ(1, text == &made.pem ? PEM_write_bio_X509(bio, x509)
                                       : PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0,
                                                                  nullptr, nullptr));
        char* data = nullptr;
        long const length = BIO_get_mem_data(bio, &data);
        text->assign(data, static_cast<std::size_t>(length));
        BIO_free(bio);
    }
    unsigned char* der = nullptr;
    int const length = i2d_X509(x509, &der);
    made.der.assign(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    EVP_Digest(der, static_cast<std::size_t>(length), digest, &digestLength, EVP_sha1(), nullptr);
    char* hex = OPENSSL_buf2hexstr(digest, digestLength);
    made.thumbprint = hex;
    OPENSSL_free(hex);
    OPENSSL_free(der);
    X509_free(x509);
    EVP_PKEY_free(key);
    return made;
}

}  // namespace test_certificate
