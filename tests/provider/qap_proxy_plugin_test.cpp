// The proxy-client test plug-ins, checked through their table directly: the proxy client
// that loads them is tested with its own code.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <tslauth/qap_proxy_client.h>

#include "qap_proxy_script.h"
#include "sandbox.h"
#include "test_plugins.h"

using namespace test_plugins;

namespace {

using Strings = std::vector<CString>;

class QAPProxyPluginTest : public sandbox::SandboxTest {
protected:
    QAPProxyClientTable const* Open(Plugin plugin) {
        handle = dlopen(InstallPlugin(plugin, "qap").c_str(), RTLD_LAZY | RTLD_GLOBAL);
        EXPECT_NE(handle, nullptr) << dlerror();
        return handle == nullptr ? nullptr
                                 : static_cast<QAPProxyClientTable const*>(
                                       dlsym(handle, "QAPProxyClientOperations"));
    }
    void TearDown() override {
        if (handle != nullptr) dlclose(handle);
        SandboxTest::TearDown();
    }

    QAPProxyScript script;
    void* handle = nullptr;
};

TEST_F(QAPProxyPluginTest, ScriptedProxyClientAnswersAndRecords) {
    QAPProxyClientTable const* table = Open(Plugin::kScriptedQAPProxy);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->reserved, nullptr);

    script.SetDomainInfo("AD", std::nullopt, "S-1-5-21-1");
    char* netbios = nullptr;
    char* dns = nullptr;
    char* sid = nullptr;
    EXPECT_EQ(table->GetDomainInfo("192.0.2.1", 1, "", &netbios, &dns, &sid), 0u);
    EXPECT_STREQ(netbios, "AD");
    EXPECT_EQ(dns, nullptr);
    EXPECT_STREQ(sid, "S-1-5-21-1");
    EXPECT_EQ(script.Returned(), (std::vector<void const*>{netbios, nullptr, sid}));
    table->Release(netbios);
    table->Release(sid);
    EXPECT_EQ(script.Released(), (std::vector<void const*>{netbios, sid}));
    EXPECT_EQ(script.Outstanding(), 0u);

    script.SetStatus(kCreateMachineAccount, 1225);
    char* first = nullptr;
    char* second = nullptr;
    EXPECT_EQ(
        table->CreateMachineAccount("192.0.2.1", "host.ad", nullptr, 0, "ab:cd", &first, &second),
        1225u);
    ASSERT_EQ(script.Calls(kCreateMachineAccount), 1u);
    ReceivedCall const call = script.Received(kCreateMachineAccount)[0];
    EXPECT_EQ(call.strings, (Strings{"192.0.2.1", "host.ad", std::nullopt, "ab:cd"}));
    EXPECT_EQ(call.verifyCertificate, 0);
    EXPECT_TRUE(call.outputsPresetNull);
    EXPECT_EQ(script.Received(kGetDomainInfo)[0].strings, (Strings{"192.0.2.1", ""}));
    EXPECT_EQ(script.Received(kGetDomainInfo)[0].verifyCertificate, 1);
}

TEST_F(QAPProxyPluginTest, VariantsLackTheirWordOrTable) {
    QAPProxyClientTable const* table = Open(Plugin::kNoCreateQAPProxy);
    ASSERT_NE(table, nullptr);
    EXPECT_NE(table->GetDomainInfo, nullptr);
    EXPECT_EQ(table->CreateMachineAccount, nullptr);
    EXPECT_NE(table->Release, nullptr);
    dlclose(handle);
    EXPECT_EQ(Open(Plugin::kNoTableQAPProxy), nullptr);
}

}  // namespace
