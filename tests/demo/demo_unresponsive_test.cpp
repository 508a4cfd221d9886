// The switch that makes the demo directory stop answering, seen through the library.
#include <atomic>

#include "demo_fixture.h"

using namespace ostrel::authentication;

namespace {

Credentials const kAdministrator = {"administrator", "Secret 1"};
std::string const kNoSuchDomain =
    Named(typeid(NoSuchDomainException),
          "Exception 0x0000054b: The specified domain either does not exist or could not be "
          "contacted.");

class DemoUnresponsiveTest : public DemoTest {
protected:
    void TearDown() override {
        store.reset();
        DemoTest::TearDown();
    }
    ActiveDirectoryStoreConfiguration Configuration() {
        std::unique_ptr<StoreConfiguration> configuration(store->GetStoreConfiguration());
        return dynamic_cast<ActiveDirectoryStoreConfiguration&>(*configuration);
    }

    std::unique_ptr<ActiveDirectoryStore> store;
};

TEST_F(DemoUnresponsiveTest, QueriesWaitUntilTheSwitchIsOff) {
    store.reset(new ActiveDirectoryStore(60));
    store->JoinDomain("corp.example", kAdministrator, true);
    SetUnresponsive(true);

    ActiveDirectoryProvider provider("demodirectory");
    std::atomic<bool> answered(false);
    Domain domain;
    std::thread query([&] {
        domain = provider.GetActiveDomain();
        answered = true;
    });

    // Meanwhile what needs the directory fails at once, and the host's own settings work.
    EXPECT_EQ(kNoSuchDomain, WhatThrown([&] { store->GetDomainControllerForDomain("CORP"); }));
    EXPECT_EQ(kNoSuchDomain, WhatThrown([&] { store->PartDomain(kAdministrator); }));
    EXPECT_EQ(0u, store->GetDomainTrustRelationship("corp.example"));
    store->SetSmartCardEnabledServices({"login"});
    EXPECT_EQ(std::vector<std::string>{"login"}, store->GetSmartCardEnabledServices());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(answered);

    SetUnresponsive(false);
    query.join();
    EXPECT_EQ(Domain("corp.example", "CORP"), domain);
}

TEST_F(DemoUnresponsiveTest, StoreAnswersFromItsCacheAfterTheTimeOut) {
    store.reset(new ActiveDirectoryStore(1));
    store->JoinDomain("corp.example", kAdministrator, true);
    ActiveDirectoryStoreConfiguration const joined = Configuration();
    std::deque<Domain> const trusted = store->GetTrustedDomains();
    ASSERT_EQ(1u, store->GetDomainTrustState());
    ASSERT_EQ(2u, trusted.size());

    SetUnresponsive(true);
    ActiveDirectoryStoreConfiguration const cached = Configuration();
    EXPECT_EQ(joined.activeDomain, cached.activeDomain);
    EXPECT_EQ(kAccountDN, cached.machineAccountDN);
    EXPECT_EQ(trusted, store->GetTrustedDomains());
    EXPECT_EQ(2u, store->GetDomainTrustState());
    EXPECT_EQ(
        (std::vector<std::string>{"4 GetStoreConfiguration call timedout. Returning cached value.",
                                  "4 GetTrustedDomains call timedout. Returning cached value.",
                                  "4 GetDomainTrustState call timedout. Returning cached value."}),
        Log());

    // Leaving without credentials needs no directory; the stale cache shows the old domain
    // until the directory answers again.
    store->PartDomain();
    EXPECT_EQ(joined.activeDomain, Configuration().activeDomain);
    SetUnresponsive(false);
    EXPECT_TRUE(Eventually([&] { return Configuration().activeDomain == Domain(); }));
    EXPECT_TRUE(Eventually([&] { return store->GetDomainTrustState() == 7u; }));
}

}  // namespace
