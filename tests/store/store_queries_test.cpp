#include "store_fixture.h"

using namespace ostrel::authentication;
using namespace test_plugins;

namespace {

typedef std::unique_ptr<ActiveDirectoryStoreConfiguration> Snapshot;

Snapshot ConfigurationOf(ActiveDirectoryStore const& store) {
    return Snapshot(
        dynamic_cast<ActiveDirectoryStoreConfiguration*>(store.GetStoreConfiguration()));
}

std::string const kConfigurationTimeout =
    "4 GetStoreConfiguration call timedout. Returning cached value.";
std::string const kTrustedDomainsTimeout =
    "4 GetTrustedDomains call timedout. Returning cached value.";

// "source timeout code message", then "; call code message" for each failed call and
// "; no answer: call" for each call still out.
std::string Told(QueryAnswer const& answer) {
    char const* const sources[] = {"fresh", "timeout", "in flight", "failure"};
    std::string told = std::string(sources[answer.source]) + " " + std::to_string(answer.timeout) +
                       " " + std::to_string(answer.code) + " " + answer.message;
    for (auto const& call : answer.failedCalls) {
        told += "; " + call.call + " " + std::to_string(call.code) + " " + call.message;
    }
    for (auto const& call : answer.unansweredCalls) told += "; no answer: " + call;
    return told;
}

}  // namespace

TEST_F(StoreTest, ConstructionNamesTheMissingProviderAndCallsNothing) {
    std::string const conf = "/etc/ostrel/tslauth/provider.conf";
    struct {
        char const *file, *name;  // file nullptr: none
    } const rows[] = {{nullptr, "(none installed)"},
                      {"provider = \"\"\n", "(unset)"},
                      {"provider = ghost\n", "ghost"}};
    for (auto const& row : rows) {
        ::unlink(conf.c_str());
        if (row.file != nullptr) sandbox::WriteFile(conf, row.file);
        EXPECT_EQ(Named(typeid(InvalidActiveDirectoryProviderException),
                        "The specified Active Directory provider '" + std::string(row.name) +
                            "' is invalid"),
                  WhatThrown([] { ActiveDirectoryStore store(1); }));
    }
    WriteProviderConfiguration("scripted");
    ActiveDirectoryStore store(1);
    for (int slot = 1; slot <= 16; ++slot)
        EXPECT_TRUE(slot == 6 || script->Calls(static_cast<Slot>(slot)) == 0) << "slot " << slot;
}

// A hanging call answers from the cache, logged once, while the one worker of its kind hangs.
TEST_F(StoreTest, ConfigurationAndTrustedDomainsFromWorkersAndCaches) {
    script->SetActiveDomain(CString("corp.example"), CString("CORP"));
    script->SetArray(kGetPreferredDomainControllers,
                     std::vector<CString>{CString("dc1"), CString("dc2")});
    script->SetStatus(kGetMachineAccountDN, 5);
    ActiveDirectoryStore store(1);
    Snapshot configuration = ConfigurationOf(store);
    EXPECT_EQ(Domain("corp.example", "CORP"), configuration->activeDomain);
    EXPECT_EQ((std::deque<std::string>{"dc1", "dc2"}), configuration->preferredDomainControllers);
    EXPECT_EQ("", configuration->machineAccountDN);  // a failed call leaves its field empty
    script->Hang(kGetActiveDomain);
    EXPECT_EQ(Domain("corp.example", "CORP"), ConfigurationOf(store)->activeDomain);
    EXPECT_EQ(std::vector<std::string>{kConfigurationTimeout}, Log());
    script->SetActiveDomain(CString("new.example"), CString("NEW"));
    EXPECT_EQ("corp.example", ConfigurationOf(store)->activeDomain.dnsName);  // in flight
    EXPECT_EQ(1u, Log().size());
    script->Release(kGetActiveDomain);
    ASSERT_TRUE(
        Eventually([&] { return ConfigurationOf(store)->activeDomain.dnsName != "corp.example"; }));

    // Trusted domains: the same, and a failure reaches a waiting caller, the cache unchanged.
    sandbox::ClearCapturedLog();
    script->SetTrustedDomains(std::vector<std::pair<CString, CString>>{
        {CString("a.example"), CString("A")}, {CString(), CString("B")}});
    EXPECT_EQ((std::deque<Domain>{Domain("a.example", "A"), Domain("", "B")}),
              store.GetTrustedDomains());
    script->SetStatus(kGetTrustedDomains, 1355);
    EXPECT_EQ(Named(typeid(NoSuchDomainException), NoSuchDomainException().what()),
              WhatThrown([&] { store.GetTrustedDomains(); }));
    script->SetStatus(kGetTrustedDomains, 0);
    script->Hang(kGetTrustedDomains);
    EXPECT_EQ(2u, store.GetTrustedDomains().size());
    EXPECT_EQ(std::vector<std::string>{kTrustedDomainsTimeout}, Log());
}

// The answer overloads tell how an answer came about; failures are told, not raised.
TEST_F(StoreTest, AnswersSayHowTheyCameAbout) {
    ActiveDirectoryStore store(1);
    QueryAnswer answer, trustedAnswer;
    script->SetStatus(kGetMachineAccountDN, 5);
    Snapshot(dynamic_cast<ActiveDirectoryStoreConfiguration*>(store.GetStoreConfiguration(answer)));
    EXPECT_EQ("fresh 0 0 ; GetMachineAccountDN 5 Exception 0x00000005: Access is denied.",
              Told(answer));
    // One call hangs: the fields the others answered are theirs (what the host's own files say
    // is not lost to a directory that hangs); the hanging call's field is the cache's.
    script->SetActiveDomain(CString("corp.example"), CString("CORP"));
    script->SetStatus(kGetPreferredDomainControllers, 5);
    script->Hang(kGetMachineAccountDN);
    Snapshot const partial(
        dynamic_cast<ActiveDirectoryStoreConfiguration*>(store.GetStoreConfiguration(answer)));
    EXPECT_EQ(
        "timeout 1 0 ; GetPreferredDomainControllers 5 Exception 0x00000005: Access is "
        "denied.; no answer: GetMachineAccountDN|corp.example CORP",
        Told(answer) + "|" + partial->activeDomain.dnsName + " " +
            partial->activeDomain.netbiosName);
    EXPECT_EQ("", ConfigurationOf(store)->activeDomain.dnsName);  // the cache waits for the worker
    script->Release(kGetMachineAccountDN);
    script->SetTrustedDomains(
        std::vector<std::pair<CString, CString>>{{CString("a"), CString("A")}});
    EXPECT_EQ(1u, store.GetTrustedDomains(answer).size());
    EXPECT_EQ("fresh 0 0 ", Told(answer));
    script->SetStatus(kGetTrustedDomains, 1355);
    EXPECT_EQ(1u, store.GetTrustedDomains(answer).size());  // the cache
    EXPECT_EQ(std::string("failure 0 1355 ") + NoSuchDomainException().what(), Told(answer));

    // Not joined: 7 at once, the listing's failure its answer; the state's worker hangs.
    std::deque<Domain> trusted;
    script->Hang(kGetDomainTrustState);
    script->SetStatus(kGetTrustedDomains, 2);
    EXPECT_EQ(7u, store.GetDomainTrustState(answer, trusted, trustedAnswer));
    EXPECT_EQ("fresh 0 0 |failure 0 2 " + std::string(FileNotFoundException().what()),
              Told(answer) + "|" + Told(trustedAnswer));
    // The listing hangs too: it times out, the trust state's worker is still in flight.
    script->SetStatus(kGetTrustedDomains, 0);
    script->Hang(kGetTrustedDomains);
    sandbox::ClearCapturedLog();
    EXPECT_EQ(7u, store.GetDomainTrustState(answer, trusted, trustedAnswer));
    EXPECT_EQ("in flight 0 0 |timeout 1 0 ", Told(answer) + "|" + Told(trustedAnswer));
    EXPECT_EQ(1u, trusted.size());
    EXPECT_EQ(std::vector<std::string>{kTrustedDomainsTimeout}, Log());
}

TEST_F(StoreTest, TrustStateValues) {
    ActiveDirectoryStore store(1);
    script->SetStatus(kGetDomainTrustState, 9);  // the slot's value
    EXPECT_EQ(9u, store.GetDomainTrustState());

    // Another failure is logged and the trust state is asked for all the same.
    script->SetStatus(kGetTrustedDomains, 5);
    EXPECT_EQ(9u, store.GetDomainTrustState());
    EXPECT_EQ(std::vector<std::string>{"4 GetDomainTrustState: Call to GetTrustedDomains() "
                                       "failed: Exception 0x00000005: Access is denied."},
              Log());

    // A time-out answers 2 and stores it; meanwhile each store answers its own cache.
    script->SetStatus(kGetTrustedDomains, 0);
    script->Hang(kGetDomainTrustState);
    sandbox::ClearCapturedLog();
    EXPECT_EQ((std::vector<unsigned>{2, 2, 0}),
              (std::vector<unsigned>{store.GetDomainTrustState(), store.GetDomainTrustState(),
                                     ActiveDirectoryStore(1).GetDomainTrustState()}));
    EXPECT_EQ(
        std::vector<std::string>{"4 GetDomainTrustState call timedout. Returning cached value."},
        Log());
}

// Operations the plug-in lacks give fixed answers; the ones it has get their arguments.
TEST_F(StoreTest, MissingOperationsAndForwardedArguments) {
    std::string const emptyPath = Install(Plugin::kEmptyProvider, "empty");
    WriteProviderConfiguration("empty");
    {
        ActiveDirectoryStore store(60);
        EXPECT_EQ((std::vector<std::string>{"someone", "0", "", "", "0", "0", "1"}),
                  (std::vector<std::string>{
                      store.ConvertCanonicalUsername("someone"),
                      std::to_string(store.GetDomainTrustRelationship("corp.example")),
                      store.GetDomainControllerForDomain("corp.example"),
                      store.GetHostPrincipalForDomain("corp.example"),
                      std::to_string(store.GetTrustedDomains().size()),
                      std::to_string(store.GetDomainTrustState()),
                      std::to_string(ConfigurationOf(store)->activeDomain == Domain()),
                  }));
        EXPECT_TRUE(Log().empty());
        store.SetPreferredDomainControllers(std::deque<std::string>{"dc1"});
        EXPECT_EQ(
            std::vector<std::string>{
                "4 Setting of preferred domain controllers is not implemented."},
            Log());
    }
    // Both plug-ins export one table name and are loaded globally: the scripted one must not
    // bind to the empty one's while a finishing worker still holds it.
    ASSERT_TRUE(Unloaded(emptyPath));

    WriteProviderConfiguration("scripted");
    ActiveDirectoryStore store(60);
    script->SetString(kGetAnyDomainController, CString("dc9.corp.example"));
    EXPECT_EQ("dc9.corp.example", store.GetDomainControllerForDomain("corp.example"));
    store.SetPreferredDomainControllers(std::deque<std::string>{"dc1", "dc2"});
    EXPECT_EQ((std::vector<CString>{std::nullopt, CString("corp.example")}),
              script->Received(kGetAnyDomainController).at(0).strings);
    EXPECT_EQ((std::vector<std::string>{"dc1", "dc2"}),
              script->Received(kSetPreferredDomainControllers).at(0).array);
    script->SetStatus(kGetDomainTrustRelationship, 3);
    EXPECT_EQ(3u, store.GetDomainTrustRelationship("x"));
}

// A worker keeps the plug-in loaded past its store; a thread that cannot start frees its kind.
TEST_F(StoreTest, WorkersOutliveTheStoreAndFailedThreadsFreeTheQueryKind) {
    script->Hang(kGetTrustedDomains);
    ActiveDirectoryStore(1).GetTrustedDomains();
    EXPECT_TRUE(IsLoaded(pluginPath));
    script->Release(kGetTrustedDomains);
    EXPECT_TRUE(Unloaded(pluginPath));

    ActiveDirectoryStore store(60);
    sandbox::FailNextThreadCreation(EAGAIN);
    EXPECT_THROW(store.GetTrustedDomains(), ThreadErrorException);
    script->SetTrustedDomains(
        std::vector<std::pair<CString, CString>>{{CString("a"), CString("A")}});
    EXPECT_EQ(1u, store.GetTrustedDomains().size());
}
