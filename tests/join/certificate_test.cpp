// Importing a proxy server's certificate. Certificates are made here; the expected thumbprint
// is OpenSSL's own hex form of the SHA-1 digest of the DER encoding.
#include <authentication/exceptions.h>
#include <authentication/qap_thumbprint_store.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <cstring>

#include "../store/store_fixture.h"

using namespace ostrel::authentication;

namespace {

char const kServers[] = "/etc/ostrel/tslauth/qapservers.conf";

struct Certificate {
    std::string pem, der, keyPem, thumbprint;
};

std::string Take(BIO* bio) {
    char* data = nullptr;
    long const length = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return text;
}

Certificate MakeCertificate(char const* commonName) {
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
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, x509);
    made.pem = Take(bio);
    bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    made.keyPem = Take(bio);
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

// 20 pairs of upper-case hexadecimal digits joined by ":".
bool HasThumbprintShape(std::string const& text) {
    if (text.size() != 59) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i % 3 == 2 ? text[i] != ':' : !std::strchr("0123456789ABCDEF", text[i])) return false;
    }
    return true;
}

// Certificate files live in the process's private scratch directory.
std::string Scratch(std::string const& name, std::string const& content) {
    std::string const path = sandbox::ScratchDirectory() + "/" + name;
    sandbox::WriteFile(path, content);
    return path;
}

class CertificateTest : public StoreTest {
protected:
    std::string Import(std::string const& path, std::string const& server) {
        ActiveDirectoryStore store(60);
        return WhatThrown([&] { store.ImportCertificateForQAP(path, server); });
    }
};

TEST_F(CertificateTest, ThumbprintIsRecordedAndRewrittenOnlyWhenItChanges) {
    Certificate const first = MakeCertificate("proxy-1.corp.example");
    Certificate const second = MakeCertificate("proxy-2.corp.example");
    ASSERT_TRUE(HasThumbprintShape(first.thumbprint)) << first.thumbprint;
    std::string const firstFile = Scratch("first.pem", first.pem);
    std::string const bothFile = Scratch("both.pem", "text\n" + second.pem + first.pem);
    sandbox::WriteFile(kServers, "192.0.2.9 = \"00:11\"\n", 0640);

    EXPECT_EQ("(returned)", Import(firstFile, "192.0.2.1"));
    std::string const recorded =
        "192.0.2.1 = \"" + first.thumbprint + "\"\n192.0.2.9 = \"00:11\"\n";
    EXPECT_EQ(recorded, sandbox::ReadFile(kServers));
    EXPECT_EQ(0640u, sandbox::FileMode(kServers));
    EXPECT_EQ(first.thumbprint, QAPThumbprintStore(kServers).LookupThumbprint("192.0.2.1"));
    EXPECT_EQ("", QAPThumbprintStore(kServers).LookupThumbprint("192.0.2.2"));

    // The same thumbprint again: no new file, no new modification time.
    timespec const old[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, kServers, old, 0));
    struct stat before, after;
    ASSERT_EQ(0, stat(kServers, &before));
    EXPECT_EQ("(returned)", Import(firstFile, "192.0.2.1"));
    ASSERT_EQ(0, stat(kServers, &after));
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(1000, after.st_mtim.tv_sec);

    // The first certificate of a file counts; other servers' entries stay.
    EXPECT_EQ("(returned)", Import(bothFile, "192.0.2.1"));
    EXPECT_EQ("192.0.2.1 = \"" + second.thumbprint + "\"\n192.0.2.9 = \"00:11\"\n",
              sandbox::ReadFile(kServers));
}

TEST_F(CertificateTest, BadInputChangesNoFileAndLeaksNothing) {
    Certificate const certificate = MakeCertificate("proxy.corp.example");
    std::string const pem = Scratch("proxy.pem", certificate.pem);
    std::string const kept = "192.0.2.9 = \"00:11\"\n";
    sandbox::WriteFile(kServers, kept);
    std::size_t const descriptors = sandbox::ListDirectory("/proc/self/fd").size();

    for (std::string server : {"proxy.corp.example", "192.0.2.1:443", ""}) {  // before the file
        EXPECT_EQ(Named(typeid(InvalidIPAddressException),
                        "The IP Address is invalid: IPv4 address '" + server +
                            "' cannot be parsed as an IP address"),
                  Import("/nonexistent.pem", server));
    }
    EXPECT_EQ(Named(typeid(FileNotFoundException),
                    "Exception 0x00000002: The system cannot find the file specified."),
              Import("/nonexistent.pem", "192.0.2.1"));
    for (std::string path : {Scratch("proxy.der", certificate.der), Scratch("empty.pem", ""),
                             Scratch("key.pem", certificate.keyPem)}) {
        EXPECT_EQ(Named(typeid(InvalidCertificateException),
                        "The certificate format is invalid; only PEM format is supported."),
                  Import(path, "192.0.2.1"));
        EXPECT_EQ(0u, ERR_peek_error()) << "OpenSSL's error queue is left clean";
    }
    EXPECT_EQ(kept, sandbox::ReadFile(kServers));

    std::string const invalidStore =
        Named(typeid(InvalidThumbprintStoreException),
              std::string("The specified thumbprint store '") + kServers + "' is invalid");
    ::unlink(kServers);
    EXPECT_EQ(invalidStore, Import(pem, "192.0.2.1"));
    EXPECT_FALSE(sandbox::PathExists(kServers)) << "the store file is never created";
    // A store file that cannot be replaced.
    sandbox::MountTmpfs("/etc/ostrel/tslauth", 1 << 16);
    sandbox::WriteFile(kServers, kept);
    test_plugins::WriteProviderConfiguration("scripted");
    sandbox::RemountReadOnly("/etc/ostrel/tslauth");
    EXPECT_EQ(invalidStore, Import(pem, "192.0.2.1"));
    EXPECT_EQ(kept, sandbox::ReadFile(kServers));
    EXPECT_EQ(descriptors, sandbox::ListDirectory("/proc/self/fd").size());
}

}  // namespace
