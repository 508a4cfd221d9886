#include <authentication/authentication_store_factory.h>
#include <authentication/configuration.h>
#include <authentication/exceptions.h>
#include <authentication/no_remote_authentication_store.h>

#include <typeinfo>

#include "sandbox.h"
#include "what_thrown.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

using namespace ostrel::authentication;
using sandbox::ReadFile;
using sandbox::WriteFile;

namespace {

std::string const kConf = "/etc/ostrel/tslauth/authentication.conf";
std::string const kNoKey =
    Named(typeid(InvalidKeyException),
          "The specified key 'remote-authentication-store' was not found in this configuration");
std::string const kNoFile =
    Named(typeid(IOError), "Unable to open '" + kConf + "': No such file or directory");

AuthenticationStoreFactory& Factory() {
    return *Singleton<AuthenticationStoreFactory>::_instance;
}

// Watches what the None store does with the store it replaces.
struct Observed {
    int inactivations = 0;
    std::string fileDuringInactivation;
    enum { Succeed, BadCast, Fail } behaviour = Succeed;
} observed;

class ObservedStore : public RemoteAuthenticationStore {
public:
    StoreConfiguration* GetStoreConfiguration() const override { return nullptr; }
    std::string GetDisplayName() const override { return "test-remote"; }
    void MakeActive() override {}
    void MakeInactive() override {
        ++observed.inactivations;
        observed.fileDuringInactivation = ReadFile(kConf);
        if (observed.behaviour == Observed::BadCast) throw std::bad_cast();
        if (observed.behaviour == Observed::Fail) throw AccessDeniedException();
    }
};

class StoreTest : public sandbox::SandboxTest {
protected:
    void SetUp() override {
        sandbox::SandboxTest::SetUp();
        Factory().RegisterType("test-remote", &Constructor<ObservedStore>);
        observed = Observed();
    }
    static std::string MakeNoneActive() {
        return WhatThrown([] { NoRemoteAuthenticationStore().MakeActive(); });
    }
};

TEST_F(StoreTest, RegistryAndTheNoneStore) {
    EXPECT_EQ((std::vector<std::string>{"Active Directory", "None", "test-remote"}),
              Factory().GetRegisteredStores());
    EXPECT_EQ(nullptr, Factory().CreateInstance("none").get());
    std::auto_ptr<AuthenticationStore> none = Factory().CreateInstance("None");
    ASSERT_EQ(typeid(NoRemoteAuthenticationStore), typeid(*none));

    // Active when the recorded name is exactly "None".
    struct {
        char const* file;
        std::string active;
    } const rows[] = {
        {"remote-authentication-store = None\n", "1"},
        {"remote-authentication-store = none\n", "0"},
        {"other = None\n", kNoKey},
        {"", kNoFile},
    };
    for (auto const& row : rows) {
        WriteFile(kConf, row.file);
        if (*row.file == '\0') ::unlink(kConf.c_str());
        std::string active;
        std::string const thrown = WhatThrown([&] { active = none->IsActive() ? "1" : "0"; });
        EXPECT_EQ(row.active, thrown == "(returned)" ? active : thrown) << row.file;
    }
}

// None recorded, then the previous store made inactive: its failure restores the record.
TEST_F(StoreTest, ActivatingNoneOverThePreviousStore) {
    WriteFile(kConf, "remote-authentication-store = test-remote\nz = 1\n", 0644);
    EXPECT_EQ("(returned)", MakeNoneActive());
    std::string const none = "remote-authentication-store = \"None\"\n";
    EXPECT_EQ(0644u, sandbox::FileMode(kConf));
    EXPECT_EQ(1, observed.inactivations);
    EXPECT_EQ(none + "z = \"1\"\n", observed.fileDuringInactivation);
    EXPECT_EQ(observed.fileDuringInactivation, ReadFile(kConf));

    std::string const invalid = "The specified store 'test-remote' is invalid";
    struct {
        decltype(Observed::behaviour) behaviour;
        std::string previous, error, after;
    } const rows[] = {
        {Observed::Fail, "test-remote",
         Named(typeid(AccessDeniedException), "Exception 0x00000005: Access is denied."), ""},
        {Observed::BadCast, "test-remote",
         Named(typeid(InvalidRemoteAuthenticationStoreException), invalid), ""},
        {Observed::Succeed, "Kerberos",
         Named(typeid(UnknownRemoteAuthenticationStoreException),
               "The specified store 'Kerberos' is unknown"),
         none},
    };
    for (auto const& row : rows) {
        std::string const before = "remote-authentication-store = " + row.previous + "\n";
        WriteFile(kConf, before);
        observed.behaviour = row.behaviour;
        EXPECT_EQ(row.error, MakeNoneActive());
        EXPECT_EQ(row.after.empty() ? before : row.after, ReadFile(kConf)) << row.previous;
    }
}

}  // namespace
