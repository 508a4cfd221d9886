// The proxy client over the scripted proxy-client plug-ins.
#include <authentication/exceptions.h>
#include <authentication/qap_proxy.h>
#include <authentication/status_mapping.h>

#include "provider_script.h"
#include "sandbox.h"
#include "test_plugins.h"
#include "what_thrown.h"

using namespace ostrel::authentication;
using namespace test_plugins;

namespace {

std::string InvalidProvider(std::string const& name, std::string const& text) {
    return Named(typeid(InvalidQAPProxyProviderException),
                 "The specified QAPProxy provider '" + name + "' is invalid" + text);
}

class QAPProxyTest : public sandbox::SandboxTest {
protected:
    std::unique_ptr<QAPProxy> Open(bool verify = true, std::string const& thumbprint = "AB:01") {
        return std::make_unique<QAPProxy>("qap", "192.0.2.1", verify, thumbprint);
    }
    std::string Construct(std::string const& name = "qap") {
        return WhatThrown([&] { QAPProxy proxy(name, "192.0.2.1", false, ""); });
    }
    ProviderScript script;
};

TEST_F(QAPProxyTest, LoadsFromEitherPathAndRefusesUnusableTables) {
    EXPECT_EQ(Named(typeid(IOError),
                    "Unable to open QAP provider: /usr/libexec/tslauth/libqap.so: cannot open "
                    "shared object file: No such file or directory"),
              Construct());
    std::string const second =
        InstallPlugin(Plugin::kScriptedProvider, "qap", Location::kPluginDirectory);
    Open().reset();  // loads from the second path although its word 0 is NULL
    EXPECT_FALSE(IsLoaded(second));

    std::string const first = InstallPlugin(Plugin::kEmptyProvider, "qap");  // looked at first
    EXPECT_EQ(InvalidProvider("qap", ": "), Construct());
    EXPECT_FALSE(IsLoaded(first));
    InstallPlugin(Plugin::kNoOperationsProvider, "qap");
    EXPECT_EQ(InvalidProvider("qap", ": " + first + ": undefined symbol: QAPProxyClientOperations"),
              Construct());
    EXPECT_EQ(InvalidProvider("../qap", ": a provider name must not contain '/' or NUL characters"),
              Construct("../qap"));
}

TEST_F(QAPProxyTest, CallsPassTheirArgumentsAndReleaseEveryString) {
    std::string const plugin = InstallPlugin(Plugin::kScriptedProvider, "qap");
    std::unique_ptr<QAPProxy> proxy = Open();
    script.SetAnswer(kGetDomainInfo, Strings{"CORP", "corp.example", "S-1-5-21-1"});
    EXPECT_EQ("CORP corp.example S-1-5-21-1", proxy->GetNetBIOSDomainName() + " " +
                                                  proxy->GetDNSDomainName() + " " +
                                                  proxy->GetDomainSID());
    ASSERT_EQ(3u, script.Calls(kGetDomainInfo));  // nothing is cached
    EXPECT_EQ((Strings{"192.0.2.1", "AB:01"}), script.Received(kGetDomainInfo)[2].strings);
    EXPECT_EQ(1, script.Received(kGetDomainInfo)[2].verifyCertificate);

    script.SetAnswer(kCreateMachineAccount, Strings{"account-1", "account-2"});
    ComputerPrincipalInfo const principal = proxy->CreateMachineAccount("node01.corp.example", "");
    EXPECT_EQ(" account-1 account-2",
              principal.reserved + " " + principal.accountData1 + " " + principal.accountData2);
    Open(false, "")->CreateMachineAccount("node01", "OU=Hosts");
    std::vector<ReceivedCall> const created = script.Received(kCreateMachineAccount);
    ASSERT_EQ(2u, created.size());
    EXPECT_EQ((Strings{"192.0.2.1", "node01.corp.example", std::nullopt, "AB:01"}),
              created[0].strings);
    EXPECT_EQ((Strings{"192.0.2.1", "node01", "OU=Hosts", ""}), created[1].strings);
    EXPECT_EQ(0, created[1].verifyCertificate);
    EXPECT_TRUE(created[0].outputsPresetNull);
    // Every returned string went back, in out-parameter order.
    EXPECT_EQ(13u, script.Deallocated().size());
    EXPECT_EQ(script.Returned(), script.Deallocated());

    EXPECT_EQ("", proxy->GetDomainController() + proxy->GetDefaultComputerContainer());
    EXPECT_EQ(3u, script.Calls(kGetDomainInfo));
    proxy.reset();
    EXPECT_FALSE(IsLoaded(plugin));
}

TEST_F(QAPProxyTest, StatusesMapToTheProxysOwnExceptions) {
    InstallPlugin(Plugin::kScriptedProvider, "qap");
    std::unique_ptr<QAPProxy> proxy = Open();
    script.SetAnswer(kGetDomainInfo, Strings{"CORP", "corp.example", "S-1-5-21-1"});
    script.SetAnswer(kCreateMachineAccount, Strings{"account-1", "account-2"});
    std::vector<std::pair<std::uint32_t, std::string>> const cases = {
        {0x80090325u, Named(typeid(InvalidQAPCertificateException),
                            "The QAP server's certificate cannot be verified.")},
        {4660, Named(typeid(UnknownException), "Exception 0x00001234: Unknown exception")},
    };
    for (auto const& c : cases) {
        script.SetStatus(kGetDomainInfo, c.first);
        script.SetStatus(kCreateMachineAccount, c.first);
        std::string netBIOS = "kept", dns = "kept", sid = "kept";
        EXPECT_EQ(c.second, WhatThrown([&] { proxy->GetDomainInfo(netBIOS, dns, sid); }));
        EXPECT_EQ("kept kept kept", netBIOS + " " + dns + " " + sid);
        EXPECT_EQ(c.second, WhatThrown([&] { proxy->CreateMachineAccount("node01", ""); }));
    }
    // These as the provider's mapping has them: the transport's and the service's answers.
    for (std::uint32_t status : {8u, 1225u, 1229u, 10060u, 5u, 87u, 1210u, 1311u, 1316u, 1359u}) {
        script.SetStatus(kGetDomainInfo, status);
        EXPECT_EQ(WhatThrown([&] { ThrowMappedException(status); }),
                  WhatThrown([&] { proxy->GetDNSDomainName(); }));
    }
    EXPECT_TRUE(script.Deallocated().empty());  // a failed call's outputs are not released
}

TEST_F(QAPProxyTest, SuccessWithoutAValueIsRefusedAndTheRestReleased) {
    InstallPlugin(Plugin::kScriptedProvider, "qap");
    std::unique_ptr<QAPProxy> proxy = Open();
    script.SetAnswer(kGetDomainInfo, Strings{"CORP", std::nullopt, "S-1-5-21-1"});
    std::string netBIOS = "kept", dns = "kept", sid = "kept";
    EXPECT_EQ(InvalidProvider("qap", ": GetDomainInfo returned no value for the DNS domain name"),
              WhatThrown([&] { proxy->GetDomainInfo(netBIOS, dns, sid); }));
    EXPECT_EQ("kept kept kept", netBIOS + " " + dns + " " + sid);
    std::vector<void const*> const returned = script.Returned();
    ASSERT_EQ(3u, returned.size());
    EXPECT_EQ((std::vector<void const*>{returned[0], returned[2]}), script.Deallocated());

    script.SetAnswer(kCreateMachineAccount, Strings{std::nullopt, std::nullopt});
    EXPECT_EQ(InvalidProvider("qap",
                              ": CreateMachineAccount returned no value for the first "
                              "account string"),
              WhatThrown([&] { proxy->CreateMachineAccount("node01", ""); }));
    EXPECT_EQ(0u, script.Outstanding());
}

}  // namespace
