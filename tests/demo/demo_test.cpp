// The demo directory's answers behind the command's join, status and leave (tests/cli runs the
// command itself), a malformed directory file, and the proxy client's thumbprint check.
#include <authentication/active_directory_store.h>
#include <authentication/exceptions.h>
#include <authentication/qap_proxy.h>

#include "sandbox.h"
#include "test_certificate.h"
#include "what_thrown.h"

using namespace ostrel::authentication;

namespace {

char const kDirectoryFile[] = "/etc/ostrel/tslauth/demo-directory.conf";
Credentials const kAdministrator = {"administrator", "Demo-Passw0rd"};
std::string const kAlreadyJoined =
    Named(typeid(SetupAlreadyJoinedException),
          "Exception 0x00000a83: This machine is already joined to a domain.");

class DemoTest : public sandbox::SandboxTest {
protected:
    void SetUp() override {
        sandbox::SandboxTest::SetUp();
        sandbox::WriteFile("/usr/libexec/tslauth/lib/libdemodirectory.so",
                           sandbox::ReadFile(DEMO_DIRECTORY_PLUGIN), 0755);
        sandbox::WriteFile("/etc/ostrel/tslauth/provider.conf", "provider = demodirectory\n");
        sandbox::WriteFile(kDirectoryFile, kExample, 0600);
        store.reset(new ActiveDirectoryStore(60));
    }
    void TearDown() override {
        store.reset();
        sandbox::SandboxTest::TearDown();
    }
    std::string Join(std::string const& domain, Credentials const& credentials = kAdministrator) {
        return WhatThrown([&] { store->JoinDomain(domain, credentials, true); });
    }

    std::string const kExample = sandbox::ReadFile(DEMO_EXAMPLE_DIRECTORY);
    std::unique_ptr<ActiveDirectoryStore> store;
};

TEST_F(DemoTest, JoinStatusLeaveAndAMalformedFile) {
    // A refused join changes nothing in the file.
    sandbox::SetHostName("fileserver.corp.example");  // its account exists
    EXPECT_EQ(kAlreadyJoined, Join("corp.example"));
    EXPECT_EQ(kExample, sandbox::ReadFile(kDirectoryFile));

    sandbox::SetHostName("sandbox-host");
    ASSERT_EQ("(returned)", Join("CORP", {"CORP\\Administrator", "Demo-Passw0rd"}));
    // An account removed from the directory breaks the host's trust.
    std::string const text = sandbox::ReadFile(kDirectoryFile);
    std::size_t const account = text.find("computer = SANDBOX-HOST");
    sandbox::WriteFile(kDirectoryFile,
                       text.substr(0, account) + text.substr(text.find('\n', account) + 1), 0600);
    EXPECT_EQ(3u, store->GetDomainTrustState());
    sandbox::WriteFile(kDirectoryFile, text, 0600);
    // Leaving with credentials puts the file back byte for byte, comments and layout kept;
    // without them the account stays, so the host cannot join again.
    store->PartDomain(kAdministrator);
    EXPECT_EQ(kExample, sandbox::ReadFile(kDirectoryFile));
    ASSERT_EQ("(returned)", Join("corp.example"));
    store->PartDomain();
    EXPECT_EQ(kAlreadyJoined, Join("corp.example"));

    // A malformed file is refused with its line in the log, and left as it is.
    std::string malformed = kExample;
    malformed.replace(malformed.find("controllers = dc.lab"), 11, "owner");
    sandbox::WriteFile(kDirectoryFile, malformed, 0600);
    sandbox::ClearCapturedLog();
    EXPECT_EQ(
        Named(typeid(InternalErrorException), "Exception 0x0000054f: An internal error occurred."),
        Join("corp.example"));
    ASSERT_EQ(1u, sandbox::CapturedLog().size());
    EXPECT_EQ("demo directory: JoinDomain: " + std::string(kDirectoryFile) +
                  ":33: unknown key \"owner\" in [domain]",
              sandbox::CapturedLog()[0].text);
    EXPECT_EQ(malformed, sandbox::ReadFile(kDirectoryFile));
}

// The proxy client trusts the server's certificate by its thumbprint, in any case.
TEST_F(DemoTest, ProxyClientChecksTheThumbprint) {
    test_certificate::Certificate const certificate = test_certificate::Make("192.0.2.1");
    sandbox::WriteFile("/etc/ostrel/tslauth/demo-proxy.pem", certificate.pem);
    sandbox::WriteFile("/usr/libexec/tslauth/lib/libdemoproxy.so",
                       sandbox::ReadFile(DEMO_PROXY_PLUGIN), 0755);
    auto const domain = [](std::string const& thumbprint) {
        std::string name;
        return WhatThrown([&] {
                   name = QAPProxy("demoproxy", "192.0.2.1", true, thumbprint).GetDNSDomainName();
               }) +
               " " + name;
    };
    std::string lower = certificate.thumbprint, wrong = certificate.thumbprint;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    wrong[0] = wrong[0] == 'A' ? 'B' : 'A';
    EXPECT_EQ("(returned) corp.example", domain(lower));
    std::string const untrusted = Named(typeid(InvalidQAPCertificateException),
                                        "The QAP server's certificate cannot be verified.") +
                                  " ";
    EXPECT_EQ(untrusted, domain(wrong));
    sandbox::WriteFile("/etc/ostrel/tslauth/demo-proxy.pem", "not a certificate\n");
    EXPECT_EQ(untrusted, domain(certificate.thumbprint));
}

}  // namespace
