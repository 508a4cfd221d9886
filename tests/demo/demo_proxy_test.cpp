// The demo directory's proxy client through its table, the machine-account join it feeds, and
// the library's join through the proxy over both demo plug-ins.
#include <authentication/qap_records.h>
#include <dlfcn.h>
#include <tslauth/qap_proxy_client.h>

#include "demo_fixture.h"
#include "test_certificate.h"

using namespace ostrel::authentication;

namespace {

std::uint32_t const kUntrusted = 0x80090325u;

// The demo proxy's server certificate names its address.
test_certificate::Certificate MakeCertificate() {
    return test_certificate::Make("192.0.2.1");
}

class DemoProxyTest : public DemoTest {
protected:
    void SetUp() override {
        DemoTest::SetUp();
        certificate = MakeCertificate();
        sandbox::WriteFile(kProxyCertificate, certificate.pem);
        handle = dlopen(proxyPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, handle) << dlerror();
        table = static_cast<QAPProxyClientTable const*>(dlsym(handle, "QAPProxyClientOperations"));
        ASSERT_NE(nullptr, table);
    }
    void TearDown() override {
        if (handle != nullptr) dlclose(handle);
        DemoTest::TearDown();
    }

    // "status netbios dns sid", each string released through word 3.
    std::string DomainInfo(char const* server, int verify, char const* thumbprint) {
        char* names[3] = {nullptr, nullptr, nullptr};
        std::uint32_t const status =
            table->GetDomainInfo(server, verify, thumbprint, &names[0], &names[1], &names[2]);
        std::string answer = std::to_string(status);
        for (char* name : names) {
            answer += std::string(" ") + (name != nullptr ? name : "(null)");
            if (name != nullptr) table->Release(name);
        }
        return answer;
    }
    // "status accountData1", the password kept in `password`.
    std::string Create(char const* hostName, char const* container, int verify,
                       char const* thumbprint, std::string* password = nullptr) {
        char* data[2] = {nullptr, nullptr};
        std::uint32_t const status = table->CreateMachineAccount(
            "192.0.2.1", hostName, container, verify, thumbprint, &data[0], &data[1]);
        std::string answer = std::to_string(status) + " " + (data[0] ? data[0] : "(null)");
        if (password != nullptr && data[1] != nullptr) *password = data[1];
        for (char* string : data) {
            if (string != nullptr) table->Release(string);
        }
        return answer;
    }

    test_certificate::Certificate certificate;
    void* handle = nullptr;
    QAPProxyClientTable const* table = nullptr;
};

TEST_F(DemoProxyTest, DomainInfoHonoursTheVerifyFlag) {
    char const* const thumbprint = certificate.thumbprint.c_str();
    EXPECT_EQ(59u, certificate.thumbprint.size());
    std::string const domain = " CORP corp.example S-1-5-21-1-2-3";
    EXPECT_EQ("0" + domain, DomainInfo("192.0.2.1", 1, thumbprint));
    std::string lower = certificate.thumbprint;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ("0" + domain, DomainInfo("192.0.2.1", 1, lower.c_str()));
    EXPECT_EQ("0" + domain, DomainInfo("192.0.2.1", 0, "00:11"));
    EXPECT_EQ("0" + domain, DomainInfo("192.0.2.1", 0, nullptr));

    std::string const refused = " (null) (null) (null)";
    std::string wrong = certificate.thumbprint;
    wrong[0] = wrong[0] == 'A' ? 'B' : 'A';
    EXPECT_EQ(std::to_string(kUntrusted) + refused, DomainInfo("192.0.2.1", 1, wrong.c_str()));
    EXPECT_EQ(std::to_string(kUntrusted) + refused, DomainInfo("192.0.2.1", 1, ""));
    EXPECT_EQ(std::to_string(kUntrusted) + refused, DomainInfo("192.0.2.1", 1, nullptr));
    EXPECT_EQ("1225" + refused, DomainInfo("192.0.2.2", 0, thumbprint));
    EXPECT_TRUE(Log().empty());

    // A server that cannot show its certificate is not trusted; the reason is logged.
    ASSERT_EQ(0, ::unlink(kProxyCertificate));
    EXPECT_EQ(std::to_string(kUntrusted) + refused, DomainInfo("192.0.2.1", 1, thumbprint));
    sandbox::WriteFile(kProxyCertificate, "not a certificate\n");
    EXPECT_EQ(std::to_string(kUntrusted) + refused, DomainInfo("192.0.2.1", 1, thumbprint));
    EXPECT_EQ((std::vector<std::string>{
                  "3 demo directory: GetDomainInfo: cannot open the proxy's certificate "
                  "'/etc/ostrel/tslauth/proxy.pem': No such file or directory",
                  "3 demo directory: GetDomainInfo: no PEM certificate in "
                  "'/etc/ostrel/tslauth/proxy.pem'"}),
              Log());

    SetUnresponsive(true);
    EXPECT_EQ("10060" + refused, DomainInfo("192.0.2.1", 0, thumbprint));
    ReplaceDirectory("[proxy]\naddress = 192.0.2.1\n");
    EXPECT_EQ("1359" + refused, DomainInfo("192.0.2.1", 0, thumbprint));
}

TEST_F(DemoProxyTest, CreatedAccountJoinsTheHost) {
    char const* const thumbprint = certificate.thumbprint.c_str();
    std::string wrong = certificate.thumbprint;
    wrong[0] = wrong[0] == 'A' ? 'B' : 'A';
    EXPECT_EQ(std::to_string(kUntrusted) + " (null)",
              Create("node01.corp.example", nullptr, 1, wrong.c_str()));
    EXPECT_EQ("1210 (null)", Create("a-host-name-of-16.corp.example", nullptr, 0, ""));
    EXPECT_EQ("2691 (null)", Create("FileServer", nullptr, 0, ""));
    EXPECT_EQ(kDirectory, sandbox::ReadFile(kDirectoryFile));

    std::string password;
    EXPECT_EQ("0 NODE01$", Create("node01.corp.example", nullptr, 1, thumbprint, &password));
    EXPECT_EQ(32u, password.size());
    EXPECT_EQ("2691 (null)", Create("node01", "OU=Elsewhere", 0, ""));
    std::string other;
    EXPECT_EQ("0 NODE02$", Create("node02", "Hosts/Linux", 0, "", &other));
    std::string expected = kDirectory;
    expected.insert(expected.find("\n\n[domain lab") + 1,
                    "computer = NODE01 " + password +
                        " CN=NODE01,CN=Computers,DC=corp,DC=example\n"
                        "computer = NODE02 " +
                        other + " CN=NODE02,OU=Linux,OU=Hosts,DC=corp,DC=example\n");
    EXPECT_EQ(expected, sandbox::ReadFile(kDirectoryFile));

    // The provider checks what the proxy handed out.
    ActiveDirectoryProvider provider("demodirectory");
    auto join = [&](char const* sid, char const* data1, std::string const& data2) {
        QAP::DirectoryDomainInfo domain;
        domain.netBIOSDomainName = "CORP";
        domain.dnsDomainName = "corp.example";
        domain.domainSID = sid;
        QAP::MachineAccountInfo account;
        account.hostName = "node01";
        account.dnsDomainName = "corp.example";
        account.accountData1 = data1;
        account.accountData2 = data2;
        return WhatThrown([&] { provider.JoinDomainWithMachineAccount(domain, account); });
    };
    EXPECT_EQ(Named(typeid(InvalidPasswordException),
                    "Exception 0x00000056: The specified network password is not correct."),
              join("S-1-5-21-1-2-3", "NODE01$", other));
    EXPECT_EQ(Named(typeid(NoTrustSAMAccountException),
                    "Exception 0x000006fb: The domain controller does not have an account for "
                    "this workstation."),
              join("S-1-5-21-1-2-3", "NODE02$", other));
    EXPECT_EQ(Named(typeid(DomainTrustInconsistentException),
                    "Exception 0x00000712: The name or security ID (SID) of the domain "
                    "specified is inconsistent with the trust information for that domain."),
              join("S-1-5-21-4-5-6", "NODE01$", password));
    EXPECT_EQ(expected, sandbox::ReadFile(kDirectoryFile));
    EXPECT_EQ("(returned)", join("S-1-5-21-1-2-3", "node01$", password));
    EXPECT_EQ(Domain("corp.example", "CORP"), provider.GetActiveDomain());
    EXPECT_EQ("CN=NODE01,CN=Computers,DC=corp,DC=example", provider.GetMachineAccountDN());
    EXPECT_EQ(Named(typeid(SetupAlreadyJoinedException),
                    "Exception 0x00000a83: This machine is already joined to a domain."),
              join("S-1-5-21-1-2-3", "NODE01$", password));
}

TEST_F(DemoProxyTest, StoreJoinsThroughTheProxy) {
    sandbox::MakeDirectory("/etc/ostrel/hostctl");
    sandbox::WriteFile("/etc/ostrel/hostctl/advanced-options.conf",
                       "UserVars.ActiveDirectoryVerifyQAPCertificate = int:1\n");
    sandbox::WriteFile("/etc/ostrel/tslauth/qapservers.conf", "");
    sandbox::WriteFile("/etc/hosts",
                       "127.0.0.1\tlocalhost\n"
                       "192.0.2.10\tsandbox-host.corp.example sandbox-host\n");
    std::string const copy = sandbox::ScratchDirectory() + "/proxy.pem";
    sandbox::WriteFile(copy, certificate.pem);
    std::string const otherCopy = sandbox::ScratchDirectory() + "/other.pem";
    sandbox::WriteFile(otherCopy, MakeCertificate().pem);

    ActiveDirectoryStore store(60);
    EXPECT_EQ("corp.example", store.GetDomainForQAPService("192.0.2.1"));
    // Another server's certificate does not pass, and nothing is created.
    store.ImportCertificateForQAP(otherCopy, "192.0.2.1");
    EXPECT_EQ(Named(typeid(InvalidQAPCertificateException),
                    "The QAP server's certificate cannot be verified."),
              WhatThrown([&] { store.JoinDomainWithQAP("192.0.2.1", "", true); }));
    EXPECT_EQ(kDirectory, sandbox::ReadFile(kDirectoryFile));

    store.ImportCertificateForQAP(copy, "192.0.2.1");
    EXPECT_EQ("(returned)", WhatThrown([&] { store.JoinDomainWithQAP("192.0.2.1", "", true); }));
    EXPECT_EQ(Joined(AccountPassword()), sandbox::ReadFile(kDirectoryFile));
    EXPECT_EQ(1u, store.GetDomainTrustState());
    EXPECT_EQ(Named(typeid(SetupAlreadyJoinedException),
                    "Exception 0x00000a83: This machine is already joined to a domain."),
              WhatThrown([&] { store.JoinDomainWithQAP("192.0.2.1", "", true); }));
}

}  // namespace
