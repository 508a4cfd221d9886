// The proxy client over the scripted plug-in, and joining through the authentication proxy
// end to end.
#include <authentication/exceptions.h>
#include <authentication/qap_proxy.h>
#include <authentication/status_mapping.h>

#include "join_fixture.h"

using namespace ostrel::authentication;
using namespace test_plugins;

namespace {

char const kOptions[] = "/etc/ostrel/hostctl/advanced-options.conf";
char const kServers[] = "/etc/ostrel/tslauth/qapservers.conf";
char const kProviderFile[] = "/etc/ostrel/tslauth/qapprovider.conf";
char const kThumbprint[] = "0A:1B:2C:3D:4E:5F:60:71:82:93:A4:B5:C6:D7:E8:F9:00:11:22:33";

class QAPJoinTest : public JoinTest {
protected:
    void SetUp() override {
        JoinTest::SetUp();
        proxyPlugin = Install(Plugin::kScriptedProxy, "qap");
        WriteQAPProviderConfiguration("qap");
        sandbox::WriteFile(kServers, std::string("192.0.2.1 = \"") + kThumbprint + "\"\n");
        SetOption("int:1");
        script->SetAnswer(kGetDomainInfo, Strings{"CORP", "corp.example", "S-1-5-21-1"});
        script->SetAnswer(kCreateMachineAccount, Strings{"account-1", "account-2"});
    }
    void SetOption(std::string const& typedValue) {
        sandbox::WriteFile(kOptions,
                           "UserVars.Other = int:0\n"
                           "UserVars.ActiveDirectoryVerifyQAPCertificate = " +
                               typedValue + "\n");
    }
    std::string Join(std::string const& server, bool skip, std::string const& container = "") {
        return WhatThrown([&] { store->JoinDomainWithQAP(server, container, skip); });
    }

    std::string proxyPlugin;
};

TEST_F(QAPJoinTest, JoinsWithTheAccountTheProxyCreates) {
    std::string const lines = "198.51.100.5\tnode01.corp.example node01\n";
    NameHost("node01.corp.example", lines);
    EXPECT_EQ("(returned)", Join("192.0.2.1", false, "OU=Hosts"));

    // Once a join: the DNS domain for the host-name check serves the join too.
    std::vector<ReceivedCall> const asked = script->Received(kGetDomainInfo);
    ASSERT_EQ(1u, asked.size());
    EXPECT_EQ((Strings{"192.0.2.1", kThumbprint}), asked[0].strings);
    EXPECT_EQ(1, asked[0].verifyCertificate);
    // The canonical name creates the account; the short name joins with it.
    ASSERT_EQ(1u, script->Calls(kCreateMachineAccount));
    ReceivedCall const created = script->Received(kCreateMachineAccount)[0];
    EXPECT_EQ((Strings{"192.0.2.1", "node01.corp.example", "OU=Hosts", kThumbprint}),
              created.strings);
    EXPECT_EQ(1, created.verifyCertificate);
    ASSERT_EQ(1u, script->Calls(kJoinDomainWithMachineAccount));
    EXPECT_EQ((Strings{"", "CORP", "corp.example", "S-1-5-21-1", "node01", "corp.example", "",
                       "account-1", "account-2"}),
              script->Received(kJoinDomainWithMachineAccount)[0].strings);

    ExpectFiles(kLocalHosts + lines + "192.0.2.10\tnode01.corp.example node01\n", kResolver);
    EXPECT_EQ(std::vector<std::string>{"6 Adding host to domain: Attempt (1/8)"}, TakeLog());
    EXPECT_EQ(script->Returned(), script->Deallocated());  // every string went back, in order
    EXPECT_EQ(5u, script->Returned().size());
    EXPECT_FALSE(IsLoaded(proxyPlugin));
}

TEST_F(QAPJoinTest, SkippedCheckUnknownServerAndBareName) {
    NameHost("linux", "198.51.100.5\tlinux\n");  // refused by the check, resolves bare
    SetOption("int:0");
    EXPECT_EQ("(returned)", Join("192.0.2.2", true));
    EXPECT_EQ(1u, script->Calls(kGetDomainInfo));
    ReceivedCall const created = script->Received(kCreateMachineAccount)[0];
    EXPECT_EQ((Strings{"192.0.2.2", "linux", std::nullopt, ""}), created.strings);
    EXPECT_EQ(0, created.verifyCertificate);
    EXPECT_EQ("linux", script->Received(kJoinDomainWithMachineAccount)[0].strings[4]);
    ExpectFiles(kLocalHosts + "198.51.100.5\tlinux\n", kResolver);

    // Not skipped, the same host is refused before an account is created.
    EXPECT_EQ(Named(typeid(InvalidHostNameException),
                    "The current hostname is invalid: hostname is in blacklist"),
              Join("192.0.2.2", false));
    EXPECT_EQ(2u, script->Calls(kGetDomainInfo));  // not kept from the join before
    EXPECT_EQ(1u, script->Calls(kCreateMachineAccount));
}

TEST_F(QAPJoinTest, AddressAndOptionComeBeforeTheHostAndTheFiles) {
    NameHost("nowhere", "");  // would not resolve
    ::unlink(kProviderFile);
    ::unlink(kServers);
    std::string const prefix = "The VerifyQAPCertificate option is invalid: ";
    std::string const unavailable = Named(
        typeid(InvalidVerifyQAPCertificateOptionException),
        prefix + "Unable to get advanced option UserVars.ActiveDirectoryVerifyQAPCertificate");
    std::string const invalid =
        Named(typeid(InvalidVerifyQAPCertificateOptionException),
              prefix + "Invalid value for UserVars.ActiveDirectoryVerifyQAPCertificate");
    SetOption("int:2");
    EXPECT_EQ(invalid, Join("192.0.2.1", true));
    SetOption("string:1");
    EXPECT_EQ(unavailable, Join("192.0.2.1", true));
    sandbox::WriteFile(kOptions, "UserVars.Other = int:1\n");
    EXPECT_EQ(unavailable, Join("192.0.2.1", true));
    sandbox::WriteFile(kOptions, "malformed\n");  // the layer's own failure
    EXPECT_EQ(unavailable, Join("192.0.2.1", true));
    EXPECT_EQ(Named(typeid(InvalidIPAddressException),
                    "The IP Address is invalid: IPv4 address '192.0.2.1 ' cannot be parsed as an "
                    "IP address"),
              Join("192.0.2.1 ", true));
    EXPECT_EQ(0u, script->Calls(kGetDomainInfo) + script->Calls(kCreateMachineAccount));
}

TEST_F(QAPJoinTest, ConfigurationAndProxyFailuresInOrder) {
    NameHost("node01", "198.51.100.5\tnode01.corp.example node01\n");
    auto provider = [](std::string const& detail) {
        return Named(typeid(InvalidQAPProxyProviderException),
                     "The specified QAPProxy provider '" + detail + "' is invalid");
    };
    ::unlink(kServers);
    ::unlink(kProviderFile);
    EXPECT_EQ(provider("(none installed)"), Join("192.0.2.1", true));
    sandbox::WriteFile(kProviderFile, "provider = \"\"\n");
    EXPECT_EQ(provider("(unset)"), Join("192.0.2.1", true));
    WriteQAPProviderConfiguration("qap");
    EXPECT_EQ(Named(typeid(InvalidThumbprintStoreException),
                    std::string("The specified thumbprint store '") + kServers + "' is invalid"),
              Join("192.0.2.1", true));
    sandbox::WriteFile(kServers, "");
    WriteQAPProviderConfiguration("absent");
    EXPECT_EQ(provider("absent"), Join("192.0.2.1", true));
    EXPECT_EQ(0u, script->Calls(kGetDomainInfo) + script->Calls(kCreateMachineAccount));

    // The proxy's and the provider's own errors reach the caller as they are.
    WriteQAPProviderConfiguration("qap");
    script->SetStatus(kCreateMachineAccount, 0x80090325u);
    EXPECT_EQ(Named(typeid(InvalidQAPCertificateException),
                    "The QAP server's certificate cannot be verified."),
              Join("192.0.2.1", true));
    EXPECT_EQ(0u, script->Calls(kJoinDomainWithMachineAccount));
    script->SetStatus(kCreateMachineAccount, 0);
    script->SetStatus(kJoinDomainWithMachineAccount, 1326);
    EXPECT_NE(std::string::npos, Join("192.0.2.1", true).find("LogonFailureException"));
    EXPECT_EQ(8u, script->Calls(kJoinDomainWithMachineAccount));
    EXPECT_EQ(std::vector<unsigned>(7, 30), sandbox::RecordedSleeps());
}

TEST_F(QAPJoinTest, DomainQueryNeverVerifiesTheCertificate) {
    ::unlink(kOptions);  // neither the option nor the thumbprints are read
    ::unlink(kServers);
    EXPECT_EQ("corp.example", store->GetDomainForQAPService("192.0.2.1"));
    ASSERT_EQ(1u, script->Calls(kGetDomainInfo));
    EXPECT_EQ((Strings{"192.0.2.1", ""}), script->Received(kGetDomainInfo)[0].strings);
    EXPECT_EQ(0, script->Received(kGetDomainInfo)[0].verifyCertificate);
    EXPECT_FALSE(IsLoaded(proxyPlugin));
    EXPECT_EQ(Named(typeid(InvalidIPAddressException),
                    "The IP Address is invalid: IPv4 address 'proxy' cannot be parsed as an IP "
                    "address"),
              WhatThrown([&] { store->GetDomainForQAPService("proxy"); }));
}

std::string InvalidProvider(std::string const& name, std::string const& text) {
    return Named(typeid(InvalidQAPProxyProviderException),
                 "The specified QAPProxy provider '" + name + "' is invalid" + text);
}

class QAPProxyTest : public StoreTest {
protected:
    std::unique_ptr<QAPProxy> Open(bool verify = true) {
        return std::make_unique<QAPProxy>("qap", "192.0.2.1", verify, verify ? "AB:01" : "");
    }
    std::string Construct(std::string const& name = "qap") {
        return WhatThrown([&] { QAPProxy proxy(name, "192.0.2.1", false, ""); });
    }
};

TEST_F(QAPProxyTest, LoadsFromEitherPathAndRefusesUnusableTables) {
    EXPECT_EQ(Named(typeid(IOError),
                    "Unable to open QAP provider: /usr/libexec/tslauth/libqap.so: cannot open "
                    "shared object file: No such file or directory"),
              Construct());
    std::string const second =
        InstallPlugin(Plugin::kScriptedProxy, "qap", Location::kPluginDirectory);
    Open().reset();  // loads from the second path although its word 0 is NULL
    EXPECT_FALSE(IsLoaded(second));
    std::string const first = InstallPlugin(Plugin::kEmptyProvider, "qap");  // no word 2
    EXPECT_EQ(InvalidProvider("qap", ": "), Construct());
    EXPECT_FALSE(IsLoaded(first));
    InstallPlugin(Plugin::kNoOperationsProvider, "qap");
    EXPECT_EQ(InvalidProvider("qap", ": " + first + ": undefined symbol: QAPProxyClientOperations"),
              Construct());
    EXPECT_EQ(InvalidProvider("../qap", ": a provider name must not contain '/' or NUL characters"),
              Construct("../qap"));
}

TEST_F(QAPProxyTest, CallsPassTheirArgumentsAndCacheNothing) {
    std::string const plugin = Install(Plugin::kScriptedProxy, "qap");
    std::unique_ptr<QAPProxy> proxy = Open();
    script->SetAnswer(kGetDomainInfo, Strings{"CORP", "corp.example", "S-1-5-21-1"});
    EXPECT_EQ("CORP corp.example S-1-5-21-1", proxy->GetNetBIOSDomainName() + " " +
                                                  proxy->GetDNSDomainName() + " " +
                                                  proxy->GetDomainSID());
    EXPECT_EQ(3u, script->Calls(kGetDomainInfo));
    EXPECT_EQ("", proxy->GetDomainController() + proxy->GetDefaultComputerContainer());
    EXPECT_EQ(3u, script->Calls(kGetDomainInfo));
    script->SetAnswer(kCreateMachineAccount, Strings{"account-1", "account-2"});
    ComputerPrincipalInfo const principal = proxy->CreateMachineAccount("node01", "OU=Hosts");
    EXPECT_EQ(" account-1 account-2",
              principal.reserved + " " + principal.accountData1 + " " + principal.accountData2);
    ReceivedCall const created = script->Received(kCreateMachineAccount)[0];
    EXPECT_EQ((Strings{"192.0.2.1", "node01", "OU=Hosts", "AB:01"}), created.strings);
    EXPECT_EQ(1, created.verifyCertificate);
    EXPECT_TRUE(created.outputsPresetNull);
    EXPECT_EQ(script->Returned(), script->Deallocated());
    proxy.reset();
    EXPECT_FALSE(IsLoaded(plugin));
}

TEST_F(QAPProxyTest, FailuresMapToTheProxysOwnExceptionsAndReleaseWhatCame) {
    Install(Plugin::kScriptedProxy, "qap");
    std::unique_ptr<QAPProxy> proxy = Open();
    script->SetAnswer(kGetDomainInfo, Strings{"CORP", "corp.example", "S-1-5-21-1"});
    script->SetAnswer(kCreateMachineAccount, Strings{"account-1", "account-2"});
    std::vector<std::pair<std::uint32_t, std::string>> const cases = {
        {0x80090325u, Named(typeid(InvalidQAPCertificateException),
                            "The QAP server's certificate cannot be verified.")},
        {4660, Named(typeid(UnknownException), "Exception 0x00001234: Unknown exception")},
    };
    for (auto const& c : cases) {
        script->SetStatus(kGetDomainInfo, c.first);
        script->SetStatus(kCreateMachineAccount, c.first);
        std::string netBIOS = "kept", dns = "kept", sid = "kept";
        EXPECT_EQ(c.second, WhatThrown([&] { proxy->GetDomainInfo(netBIOS, dns, sid); }));
        EXPECT_EQ("kept kept kept", netBIOS + " " + dns + " " + sid);
        EXPECT_EQ(c.second, WhatThrown([&] { proxy->CreateMachineAccount("node01", ""); }));
    }
    // These as the provider's mapping has them: the transport's and the service's answers.
    for (std::uint32_t status : {8u, 1225u, 1229u, 10060u, 5u, 87u, 1210u, 1311u, 1316u, 1359u}) {
        script->SetStatus(kGetDomainInfo, status);
        EXPECT_EQ(WhatThrown([&] { ThrowMappedException(status); }),
                  WhatThrown([&] { proxy->GetDNSDomainName(); }));
    }
    EXPECT_TRUE(script->Deallocated().empty());  // a failed call's outputs are not released

    // Success without a value is refused, and the strings that came are released.
    script->SetStatus(kGetDomainInfo, 0);
    script->SetAnswer(kGetDomainInfo, Strings{"CORP", std::nullopt, "S-1-5-21-1"});
    std::size_t const returned = script->Returned().size(), kept = script->Outstanding();
    EXPECT_EQ(InvalidProvider("qap", ": GetDomainInfo returned no value for the DNS domain name"),
              WhatThrown([&] { proxy->GetDNSDomainName(); }));
    std::vector<void const*> const handed = script->Returned();
    EXPECT_EQ((std::vector<void const*>{handed[returned], handed[returned + 2]}),
              script->Deallocated());
    script->SetStatus(kCreateMachineAccount, 0);
    script->SetAnswer(kCreateMachineAccount, Strings{std::nullopt, std::nullopt});
    EXPECT_EQ(InvalidProvider("qap",
                              ": CreateMachineAccount returned no value for the first "
                              "account string"),
              WhatThrown([&] { proxy->CreateMachineAccount("node01", ""); }));
    EXPECT_EQ(kept, script->Outstanding());
}

}  // namespace
