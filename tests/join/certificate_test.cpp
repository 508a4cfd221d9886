// Importing a proxy server's certificate. Certificates are made here; the expected thumbprint
// is OpenSSL's own hex form of the SHA-1 digest of the DER encoding.
#include <authentication/exceptions.h>
#include <authentication/qap_thumbprint_store.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <sys/stat.h>

#include <regex>

#include "../store/store_fixture.h"
#include "test_certificate.h"

using namespace ostrel::authentication;

namespace {

char const kServers[] = "/etc/ostrel/tslauth/qapservers.conf";

using test_certificate::Certificate;

// 20 pairs of upper-case hexadecimal digits joined by ":".
bool HasThumbprintShape(std::string const& text) {
    return std::regex_match(text, std::regex("([0-9A-F]{2}:){19}[0-9A-F]{2}"));
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
    Certificate const first = test_certificate::Make("proxy-1.corp.example");
    Certificate const second = test_certificate::Make("proxy-2.corp.example");
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
    Certificate const certificate = test_certificate::Make("proxy.corp.example");
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
