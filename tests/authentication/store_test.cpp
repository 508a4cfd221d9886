#include <authentication/authentication_store_factory.h>
#include <authentication/configuration.h>
#include <authentication/exceptions.h>
#include <authentication/no_remote_authentication_store.h>
#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>
#include <typeinfo>

#include "sandbox.h"
#include "what_thrown.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

using namespace ostrel::authentication;
using sandbox::ReadFile;
using sandbox::WriteFile;

namespace {

std::string const kConf = "/etc/ostrel/tslauth/authentication.conf";

AuthenticationStoreFactory& Factory() {
    AuthenticationStoreFactory* factory = Singleton<AuthenticationStoreFactory>::_instance;
    if (factory == nullptr) throw std::logic_error("no factory");
    return *factory;
}

// Stores registered by these tests under names starting with "test-", to watch what the None
// store does with the store it replaces.
struct Observed {
    int inactivations = 0;
    std::string fileDuringInactivation;
    enum { Succeed, BadCast, Fail } behaviour = Succeed;
};
Observed observed;

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

class LocalOnlyStore : public AuthenticationStore {
public:
    StoreConfiguration* GetStoreConfiguration() const override { return nullptr; }
    std::string GetDisplayName() const override { return "test-local"; }
    bool IsActive() const override { return false; }
    void MakeActive() override {}
};

class StoreTest : public sandbox::SandboxTest {
protected:
    void SetUp() override {
        sandbox::SandboxTest::SetUp();
        Factory().RegisterType("test-remote", &Constructor<ObservedStore>);
        Factory().RegisterType("test-local", &Constructor<LocalOnlyStore>);
        observed = Observed();
    }

    std::string MakeNoneActiveError() {
        return WhatThrown([] { NoRemoteAuthenticationStore().MakeActive(); });
    }
};

}  // namespace

TEST(StoreFactory, RegistryByDisplayName) {
    std::vector<std::string> names = Factory().GetRegisteredStores();
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](std::string const& n) { return n.compare(0, 5, "test-") == 0; }),
                names.end());
    EXPECT_EQ((std::vector<std::string>{"Active Directory", "None"}), names);

    EXPECT_EQ(nullptr, Factory().CreateInstance("").get());
    EXPECT_EQ(nullptr, Factory().CreateInstance("none").get());
    std::auto_ptr<AuthenticationStore> none = Factory().CreateInstance("None");
    ASSERT_NE(nullptr, none.get());
    EXPECT_EQ(typeid(NoRemoteAuthenticationStore), typeid(*none));

    // The first registration of a name stays.
    Factory().RegisterType("None", &Constructor<LocalOnlyStore>);
    EXPECT_EQ(typeid(NoRemoteAuthenticationStore), typeid(*Factory().CreateInstance("None")));
}

TEST(NoneStore, FixedAnswers) {
    NoRemoteAuthenticationStore store;
    EXPECT_EQ("None", store.GetDisplayName());
    std::unique_ptr<StoreConfiguration> configuration(store.GetStoreConfiguration());
    EXPECT_EQ(typeid(NoRemoteAuthenticationStoreConfiguration), typeid(*configuration));
    try {
        store.MakeInactive();
        FAIL();
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ("Attempted to disable None Store", e.what());
        EXPECT_EQ(nullptr, dynamic_cast<Exception const*>(&e));
    }
}

TEST_F(StoreTest, IsActiveComparesTheRecordedNameExactly) {
    NoRemoteAuthenticationStore store;
    WriteFile(kConf, "remote-authentication-store = None\n");
    EXPECT_TRUE(store.IsActive());
    WriteFile(kConf, "remote-authentication-store = none\n");
    EXPECT_FALSE(store.IsActive());
    WriteFile(kConf, "remote-authentication-store = \"None \"\n");
    EXPECT_FALSE(store.IsActive());
    WriteFile(kConf, "other = None\n");
    EXPECT_THROW(store.IsActive(), InvalidKeyException);
    unlink(kConf.c_str());
    EXPECT_THROW(store.IsActive(), IOError);
}

TEST_F(StoreTest, ActivatingNoneWhenAlreadyActiveWritesNothing) {
    sandbox::MountTmpfs("/etc/ostrel/tslauth", 1 << 20);
    WriteFile(kConf, "remote-authentication-store=None\nextra = 1\n", 0640);
    struct stat before;
    ASSERT_EQ(0, stat(kConf.c_str(), &before));
    // Read-only: any attempt to write would fail.
    sandbox::RemountReadOnly("/etc/ostrel/tslauth");
    EXPECT_EQ("(returned)", MakeNoneActiveError());
    struct stat after;
    ASSERT_EQ(0, stat(kConf.c_str(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ("remote-authentication-store=None\nextra = 1\n", ReadFile(kConf));
    EXPECT_EQ(0, observed.inactivations);
}

TEST_F(StoreTest, ActivatingNoneRecordsItFirstThenDeactivatesThePreviousStore) {
    WriteFile(kConf, "remote-authentication-store = test-remote\nz = 1\n", 0644);
    EXPECT_EQ("(returned)", MakeNoneActiveError());
    std::string const expected = "remote-authentication-store = \"None\"\nz = \"1\"\n";
    EXPECT_EQ(expected, ReadFile(kConf));
    EXPECT_EQ(0644u, sandbox::FileMode(kConf));
    EXPECT_EQ(1, observed.inactivations);
    EXPECT_EQ(expected, observed.fileDuringInactivation);

    // The previous store's failures reach the caller; the record goes back byte for byte.
    WriteFile(kConf, "remote-authentication-store = test-remote\n");
    observed.behaviour = Observed::Fail;
    EXPECT_EQ(Named(typeid(AccessDeniedException), "Exception 0x00000005: Access is denied."),
              MakeNoneActiveError());
    EXPECT_EQ("remote-authentication-store = test-remote\n", ReadFile(kConf));

    WriteFile(kConf, "remote-authentication-store = test-remote\n");
    observed.behaviour = Observed::BadCast;
    EXPECT_EQ(Named(typeid(InvalidRemoteAuthenticationStoreException),
                    "The specified store 'test-remote' is invalid"),
              MakeNoneActiveError());
}

TEST_F(StoreTest, ActivatingNoneOverAnUnusablePreviousStore) {
    WriteFile(kConf, "remote-authentication-store = Kerberos\n");
    EXPECT_EQ(Named(typeid(UnknownRemoteAuthenticationStoreException),
                    "The specified store 'Kerberos' is unknown"),
              MakeNoneActiveError());
    EXPECT_EQ("remote-authentication-store = \"None\"\n", ReadFile(kConf));

    WriteFile(kConf, "remote-authentication-store = test-local\n");
    EXPECT_EQ(Named(typeid(InvalidRemoteAuthenticationStoreException),
                    "The specified store 'test-local' is invalid"),
              MakeNoneActiveError());
    EXPECT_EQ("remote-authentication-store = \"None\"\n", ReadFile(kConf));

    WriteFile(kConf, "store = None\n");
    EXPECT_EQ(Named(typeid(InvalidKeyException),
                    "The specified key 'remote-authentication-store' was not found in this "
                    "configuration"),
              MakeNoneActiveError());
    unlink(kConf.c_str());
    EXPECT_EQ(Named(typeid(IOError), "Unable to open '" + kConf + "': No such file or directory"),
              MakeNoneActiveError());
}
