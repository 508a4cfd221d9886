#include <authentication/authentication_store_factory.h>

#include "store_fixture.h"

using namespace ostrel::authentication;
using test_plugins::CString;
using test_plugins::ProviderScript;

namespace {

typedef std::unique_ptr<ActiveDirectoryStoreConfiguration> Snapshot;

Snapshot Configuration(ActiveDirectoryStore const& store) {
    StoreConfiguration* raw = store.GetStoreConfiguration();
    ActiveDirectoryStoreConfiguration* typed =
        dynamic_cast<ActiveDirectoryStoreConfiguration*>(raw);
    EXPECT_NE(nullptr, typed);
    return Snapshot(typed);
}

std::string const kConfigurationTimeout =
    "4 GetStoreConfiguration call timedout. Returning cached value.";
std::string const kTrustedDomainsTimeout =
    "4 GetTrustedDomains call timedout. Returning cached value.";
std::string const kTrustStateTimeout =
    "4 GetDomainTrustState call timedout. Returning cached value.";

}  // namespace

TEST_F(StoreTest, ConstructionNamesTheMissingProvider) {
    auto create = [] { ActiveDirectoryStore store(1); };
    unlink("/etc/ostrel/tslauth/provider.conf");
    EXPECT_EQ(Named(typeid(InvalidActiveDirectoryProviderException),
                    "The specified Active Directory provider '(none installed)' is invalid"),
              WhatThrown(create));
    sandbox::WriteFile("/etc/ostrel/tslauth/provider.conf", "provider = \"\"\n");
    EXPECT_EQ(Named(typeid(InvalidActiveDirectoryProviderException),
                    "The specified Active Directory provider '(unset)' is invalid"),
              WhatThrown(create));
    sandbox::WriteFile("/etc/ostrel/tslauth/provider.conf", "plugin = scripted\n");
    EXPECT_EQ(Named(typeid(InvalidKeyException),
                    "The specified key 'provider' was not found in this configuration"),
              WhatThrown(create));
    sandbox::WriteFile("/etc/ostrel/tslauth/provider.conf", "provider\n");
    EXPECT_EQ(Named(typeid(ConfigurationError),
                    "Error parsing configuration on line 1: no delimiter found"),
              WhatThrown(create));
    test_plugins::WriteProviderConfiguration("ghost");
    EXPECT_EQ(Named(typeid(InvalidActiveDirectoryProviderException),
                    "The specified Active Directory provider 'ghost' is invalid"),
              WhatThrown(create));
    // Nothing is asked of the plug-in while the store is built.
    test_plugins::WriteProviderConfiguration("scripted");
    create();
    for (int slot = 1; slot <= 16; ++slot) {
        if (slot == 6) continue;
        EXPECT_EQ(0u, script->Calls(static_cast<test_plugins::Slot>(slot))) << "slot " << slot;
    }
}

TEST_F(StoreTest, FactoryRegistersBothStores) {
    AuthenticationStoreFactory* factory = Singleton<AuthenticationStoreFactory>::_instance;
    std::vector<std::string> names = factory->GetRegisteredStores();
    ASSERT_LE(2u, names.size());
    EXPECT_EQ("Active Directory", names[0]);
    EXPECT_EQ("None", names[1]);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    std::auto_ptr<AuthenticationStore> store = factory->CreateInstance("Active Directory");
#pragma GCC diagnostic pop
    ASSERT_NE(nullptr, dynamic_cast<ActiveDirectoryStore*>(store.get()));
    EXPECT_EQ("Active Directory", store->GetDisplayName());
}

TEST_F(StoreTest, ConfigurationCollectsEachFieldOnItsOwn) {
    script->SetActiveDomain(CString("corp.example"), CString("CORP"));
    script->SetArray(test_plugins::kGetPreferredDomainControllers,
                     std::vector<CString>{CString("dc1"), CString("dc2")});
    script->SetStatus(test_plugins::kGetMachineAccountDN, 5);
    ActiveDirectoryStore store(60);
    Snapshot configuration = Configuration(store);
    EXPECT_EQ(Domain("corp.example", "CORP"), configuration->activeDomain);
    EXPECT_EQ((std::deque<std::string>{"dc1", "dc2"}), configuration->preferredDomainControllers);
    EXPECT_EQ("", configuration->machineAccountDN);
    EXPECT_TRUE(Log().empty());

    // A field whose call fails later is emptied, not kept from before.
    script->SetStatus(test_plugins::kGetActiveDomain, 1355);
    script->SetStatus(test_plugins::kGetMachineAccountDN, 0);
    script->SetString(test_plugins::kGetMachineAccountDN, CString("CN=host,DC=corp"));
    configuration = Configuration(store);
    EXPECT_EQ(Domain(), configuration->activeDomain);
    EXPECT_EQ("CN=host,DC=corp", configuration->machineAccountDN);
}

TEST_F(StoreTest, HangingConfigurationFallsBackToTheCacheWithOneWorker) {
    script->SetActiveDomain(CString("corp.example"), CString("CORP"));
    script->Hang(test_plugins::kGetActiveDomain);
    ActiveDirectoryStore store(1);
    Snapshot first = Configuration(store);
    EXPECT_EQ(Domain(), first->activeDomain);
    EXPECT_TRUE(first->preferredDomainControllers.empty());
    EXPECT_EQ("", first->machineAccountDN);
    EXPECT_EQ(std::vector<std::string>{kConfigurationTimeout}, Log());

    // While the worker hangs, every store answers from the cache at once, silently.
    ActiveDirectoryStore other(1);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Domain(), Configuration(i ? store : other)->activeDomain);
    EXPECT_EQ(1u, Log().size());
    EXPECT_EQ(1u, script->Calls(test_plugins::kGetActiveDomain));

    script->Release(test_plugins::kGetActiveDomain);
    ASSERT_TRUE(Eventually([&] { return Configuration(store)->activeDomain.dnsName != ""; }));
    // The worker that filled the cache is done, so the next call starts a new one.
    unsigned calls = script->Calls(test_plugins::kGetActiveDomain);
    Configuration(store);
    EXPECT_EQ(calls + 1, script->Calls(test_plugins::kGetActiveDomain));
    // The other store's cache was not the one the worker filled.
    script->Hang(test_plugins::kGetActiveDomain);
    EXPECT_EQ(Domain(), Configuration(other)->activeDomain);
}

TEST_F(StoreTest, TrustedDomainsShareTheInFlightFlagAcrossStores) {
    script->SetTrustedDomains(std::vector<std::pair<CString, CString>>{
        {CString("a.example"), CString("A")}, {CString(), CString("B")}});
    ActiveDirectoryStore first(1), second(1);
    EXPECT_EQ((std::deque<Domain>{Domain("a.example", "A"), Domain("", "B")}),
              first.GetTrustedDomains());
    EXPECT_TRUE(second.GetTrustedDomains().size() == 2u);

    script->Hang(test_plugins::kGetTrustedDomains);
    EXPECT_EQ(2u, first.GetTrustedDomains().size());  // after the time-out, the old list
    EXPECT_EQ(std::vector<std::string>{kTrustedDomainsTimeout}, Log());
    unsigned calls = script->Calls(test_plugins::kGetTrustedDomains);
    EXPECT_EQ(2u, second.GetTrustedDomains().size());  // at once, its own cache
    EXPECT_EQ(calls, script->Calls(test_plugins::kGetTrustedDomains));
    EXPECT_EQ(1u, Log().size());
}

TEST_F(StoreTest, TrustedDomainFailuresReachAWaitingCaller) {
    ActiveDirectoryStore store(60);
    script->SetTrustedDomains(
        std::vector<std::pair<CString, CString>>{{CString("a"), CString("A")}});
    EXPECT_EQ(1u, store.GetTrustedDomains().size());
    script->SetStatus(test_plugins::kGetTrustedDomains, 1355);
    EXPECT_EQ(Named(typeid(NoSuchDomainException),
                    "Exception 0x0000054b: The specified domain either does not exist or could "
                    "not be contacted."),
              WhatThrown([&] { store.GetTrustedDomains(); }));
    // The cache is unchanged and the query kind is free again.
    script->SetStatus(test_plugins::kGetTrustedDomains, 0);
    script->SetTrustedDomains(std::nullopt);
    EXPECT_TRUE(store.GetTrustedDomains().empty());
}

// The answer overloads tell a fresh answer from a cached one, and why; failures are told,
// not raised.
TEST_F(StoreTest, AnswersSayHowTheyCameAbout) {
    ActiveDirectoryStore store(1);
    QueryAnswer answer;
    script->SetStatus(test_plugins::kGetMachineAccountDN, 5);
    Snapshot(dynamic_cast<ActiveDirectoryStoreConfiguration*>(store.GetStoreConfiguration(answer)));
    EXPECT_EQ(QueryAnswer::kFresh, answer.source);
    ASSERT_EQ(1u, answer.failedCalls.size());
    EXPECT_EQ("GetMachineAccountDN", answer.failedCalls[0].call);
    EXPECT_EQ(5u, answer.failedCalls[0].code);
    EXPECT_EQ("Exception 0x00000005: Access is denied.", answer.failedCalls[0].message);

    script->SetTrustedDomains(
        std::vector<std::pair<CString, CString>>{{CString("a"), CString("A")}});
    EXPECT_EQ(1u, store.GetTrustedDomains(answer).size());
    EXPECT_EQ(QueryAnswer::kFresh, answer.source);
    script->SetStatus(test_plugins::kGetTrustedDomains, 1355);
    EXPECT_EQ(1u, store.GetTrustedDomains(answer).size());  // the cache
    EXPECT_EQ(QueryAnswer::kCachedAfterFailure, answer.source);
    EXPECT_EQ(1355u, answer.code);
    EXPECT_EQ(NoSuchDomainException().what(), answer.message);

    // Not joined: 7 at once, and the listing's failure is the listing's answer. The trust
    // state's worker, started alongside, hangs.
    std::deque<Domain> trusted;
    QueryAnswer trustedAnswer;
    script->Hang(test_plugins::kGetDomainTrustState);
    script->SetStatus(test_plugins::kGetTrustedDomains, 2);
    EXPECT_EQ(7u, store.GetDomainTrustState(answer, trusted, trustedAnswer));
    EXPECT_EQ(QueryAnswer::kFresh, answer.source);
    EXPECT_EQ(QueryAnswer::kCachedAfterFailure, trustedAnswer.source);
    EXPECT_EQ(2u, trustedAnswer.code);

    // The listing hangs too: it times out, the trust state's worker is still in flight.
    script->SetStatus(test_plugins::kGetTrustedDomains, 0);
    script->Hang(test_plugins::kGetTrustedDomains);
    sandbox::ClearCapturedLog();
    EXPECT_EQ(7u, store.GetDomainTrustState(answer, trusted, trustedAnswer));
    EXPECT_EQ(QueryAnswer::kCachedInFlight, answer.source);
    EXPECT_EQ(QueryAnswer::kCachedAfterTimeout, trustedAnswer.source);
    EXPECT_EQ(1, trustedAnswer.timeout);
    EXPECT_EQ(1u, trusted.size());
    EXPECT_EQ(std::vector<std::string>{kTrustedDomainsTimeout}, Log());
    store.GetTrustedDomains(answer);
    EXPECT_EQ(QueryAnswer::kCachedInFlight, answer.source);
}

TEST_F(StoreTest, TrustStateValues) {
    ActiveDirectoryStore store(1);
    script->SetStatus(test_plugins::kGetDomainTrustState, 9);  // the slot's value
    EXPECT_EQ(9u, store.GetDomainTrustState());

    // Listing the trusted domains fails for lack of a file: 7, without asking for the state.
    unsigned calls = script->Calls(test_plugins::kGetDomainTrustState);
    script->SetStatus(test_plugins::kGetTrustedDomains, 2);
    EXPECT_EQ(7u, store.GetDomainTrustState());
    EXPECT_EQ(calls, script->Calls(test_plugins::kGetDomainTrustState));
    EXPECT_TRUE(Log().empty());

    // Another failure is logged and the trust state is asked for all the same.
    script->SetStatus(test_plugins::kGetTrustedDomains, 5);
    EXPECT_EQ(9u, store.GetDomainTrustState());
    EXPECT_EQ(std::vector<std::string>{"4 GetDomainTrustState: Call to GetTrustedDomains() "
                                       "failed: Exception 0x00000005: Access is denied."},
              Log());

    // A time-out answers 2 and stores it; while the worker hangs, each store answers its own
    // cache at once.
    script->SetStatus(test_plugins::kGetTrustedDomains, 0);
    script->Hang(test_plugins::kGetDomainTrustState);
    sandbox::ClearCapturedLog();
    EXPECT_EQ(2u, store.GetDomainTrustState());
    EXPECT_EQ(std::vector<std::string>{kTrustStateTimeout}, Log());
    EXPECT_EQ(2u, store.GetDomainTrustState());
    EXPECT_EQ(0u, ActiveDirectoryStore(1).GetDomainTrustState());
    EXPECT_EQ(1u, Log().size());
}

TEST_F(StoreTest, MissingOperationsGiveFixedAnswers) {
    Install(test_plugins::Plugin::kEmptyProvider, "empty");
    test_plugins::WriteProviderConfiguration("empty");
    ActiveDirectoryStore store(60);
    EXPECT_EQ("someone", store.ConvertCanonicalUsername("someone"));
    EXPECT_EQ(0u, store.GetDomainTrustRelationship("corp.example"));
    EXPECT_EQ("", store.GetDomainControllerForDomain("corp.example"));
    EXPECT_EQ("", store.GetHostPrincipalForDomain("corp.example"));
    EXPECT_TRUE(store.GetTrustedDomains().empty());
    EXPECT_EQ(0u, store.GetDomainTrustState());
    Snapshot configuration = Configuration(store);
    EXPECT_EQ(Domain(), configuration->activeDomain);
    EXPECT_TRUE(Log().empty());

    store.SetPreferredDomainControllers(std::deque<std::string>{"dc1"});
    EXPECT_EQ(
        std::vector<std::string>{"4 Setting of preferred domain controllers is not implemented."},
        Log());
    EXPECT_THROW(store.SetSmartCardEnabledServices({"sshd"}), CallNotImplementedException);
    EXPECT_THROW(store.GetSmartCardEnabledServices(), CallNotImplementedException);
}

TEST_F(StoreTest, ForwardersPassArgumentsAndFailures) {
    ActiveDirectoryStore store(60);
    script->SetString(test_plugins::kGetAnyDomainController, CString("dc9.corp.example"));
    EXPECT_EQ("dc9.corp.example", store.GetDomainControllerForDomain("corp.example"));
    std::vector<test_plugins::ReceivedCall> calls =
        script->Received(test_plugins::kGetAnyDomainController);
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ((std::vector<CString>{std::nullopt, CString("corp.example")}), calls[0].strings);

    store.SetPreferredDomainControllers(std::deque<std::string>{"dc1", "dc2"});
    calls = script->Received(test_plugins::kSetPreferredDomainControllers);
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ((std::vector<std::string>{"dc1", "dc2"}), calls[0].array);

    script->SetStatus(test_plugins::kConvertCanonicalUsername, 1317);
    EXPECT_THROW(store.ConvertCanonicalUsername("nobody"), NoSuchUserException);
    script->SetStatus(test_plugins::kGetDomainTrustRelationship, 3);
    EXPECT_EQ(3u, store.GetDomainTrustRelationship("x"));
    EXPECT_TRUE(Log().empty());
}

TEST_F(StoreTest, AWorkerThatOutlivesItsStoreKeepsThePluginLoaded) {
    script->Hang(test_plugins::kGetTrustedDomains);
    {
        ActiveDirectoryStore store(1);
        store.GetTrustedDomains();
        EXPECT_TRUE(test_plugins::IsLoaded(pluginPath));
    }
    EXPECT_TRUE(test_plugins::IsLoaded(pluginPath));
    script->Release(test_plugins::kGetTrustedDomains);
    EXPECT_TRUE(Eventually([&] { return !test_plugins::IsLoaded(pluginPath); }));
}

TEST_F(StoreTest, AThreadThatCannotStartFreesTheQueryKind) {
    ActiveDirectoryStore store(60);
    sandbox::FailNextThreadCreation(EAGAIN);
    EXPECT_EQ(Named(typeid(ThreadErrorException),
                    "Thread Error: pthread_create failed. RC=" + std::to_string(EAGAIN)),
              WhatThrown([&] { store.GetTrustedDomains(); }));
    script->SetTrustedDomains(
        std::vector<std::pair<CString, CString>>{{CString("a"), CString("A")}});
    EXPECT_EQ(1u, store.GetTrustedDomains().size());
}
