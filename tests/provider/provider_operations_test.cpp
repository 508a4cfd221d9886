#include <authentication/active_directory_provider.h>
#include <authentication/exceptions.h>
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "provider_script.h"
#include "sandbox.h"
#include "test_plugins.h"
#include "thrown.h"

using namespace ostrel::authentication;
using namespace test_plugins;

namespace {

using Strings = std::vector<CString>;
using Pointers = std::vector<void const*>;

class ProviderOperationsTest : public sandbox::SandboxTest {
protected:
    ActiveDirectoryProvider& Load(Plugin plugin = Plugin::kScriptedProvider) {
        InstallPlugin(plugin, "ad");
        provider = std::make_unique<ActiveDirectoryProvider>("ad");
        return *provider;
    }

    // What one call handed out for release, and what it released.
    struct Traffic {
        Pointers returned;
        Pointers deallocated;
    };
    Traffic Observe(std::function<void()> const& call) {
        std::size_t const returned = script.Returned().size();
        std::size_t const deallocated = script.Deallocated().size();
        call();
        Pointers const allReturned = script.Returned();
        Pointers const allDeallocated = script.Deallocated();
        return Traffic{Pointers(allReturned.begin() + returned, allReturned.end()),
                       Pointers(allDeallocated.begin() + deallocated, allDeallocated.end())};
    }

    ProviderScript script;
    std::unique_ptr<ActiveDirectoryProvider> provider;  // destroyed before the script
};

TEST_F(ProviderOperationsTest, PassesArgumentsInThePluginsForm) {
    ActiveDirectoryProvider& ad = Load();
    Credentials const admin = {"admin", "secret"};
    Credentials const partial = {nullptr, ""};

    ad.JoinDomain("ad.example.com", "", admin);
    ad.JoinDomain("", "OU=Hosts,DC=ad", partial);
    auto joins = script.Received(kJoinDomain);
    ASSERT_EQ(joins.size(), 2u);
    EXPECT_EQ(joins[0].strings, (Strings{"ad.example.com", std::nullopt, "admin", "secret"}));
    EXPECT_EQ(joins[0].credentials, &admin);
    EXPECT_EQ(joins[1].strings, (Strings{"", "OU=Hosts,DC=ad", std::nullopt, ""}));
    EXPECT_EQ(joins[1].credentials, &partial);

    ad.PartDomain();
    ad.PartDomain(admin);
    auto parts = script.Received(kPartDomain);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].credentials, nullptr);
    EXPECT_TRUE(parts[0].strings.empty());
    EXPECT_EQ(parts[1].credentials, &admin);
    EXPECT_EQ(parts[1].strings, (Strings{"admin", "secret"}));

    QAP::DirectoryDomainInfo const domainInfo{"", "AD", "ad.example.com", "S-1-5-21-1"};
    QAP::MachineAccountInfo const accountInfo{"sandbox-host", "ad.example.com", "", "data-1",
                                              "data-2"};
    ad.JoinDomainWithMachineAccount(domainInfo, accountInfo);
    ASSERT_EQ(script.Calls(kJoinDomainWithMachineAccount), 1u);
    EXPECT_EQ(script.Received(kJoinDomainWithMachineAccount)[0].strings,
              (Strings{"", "AD", "ad.example.com", "S-1-5-21-1", "sandbox-host", "ad.example.com",
                       "", "data-1", "data-2"}));

    ad.SetPreferredDomainControllers({"dc1.ad", "", "dc3.ad"});
    ad.SetPreferredDomainControllers({});
    auto controllers = script.Received(kSetPreferredDomainControllers);
    ASSERT_EQ(controllers.size(), 2u);
    EXPECT_EQ(controllers[0].array, (std::vector<std::string>{"dc1.ad", "", "dc3.ad"}));
    EXPECT_EQ(controllers[1].array, std::vector<std::string>{});  // an array, not NULL

    ad.SetSmartCardEnabledServices({"sshd", "login"});
    ad.SetSmartCardEnabledServices({});
    auto services = script.Received(kSetSmartCardEnabledServices);
    ASSERT_EQ(services.size(), 2u);
    EXPECT_EQ(services[0].array, (std::vector<std::string>{"sshd", "login"}));
    EXPECT_EQ(services[1].array, std::vector<std::string>{});

    ad.GetAnyDomainController("", "ad.example.com");
    ad.GetAnyDomainController("writable", "");
    auto lookups = script.Received(kGetAnyDomainController);
    ASSERT_EQ(lookups.size(), 2u);
    EXPECT_EQ(lookups[0].strings, (Strings{std::nullopt, "ad.example.com"}));
    EXPECT_EQ(lookups[1].strings, (Strings{"writable", ""}));

    ad.ConvertCanonicalUsername("AD\\alice");
    ad.GetHostPrincipalForDomain("");
    ad.GetDomainTrustRelationship("other.example.com");
    EXPECT_EQ(script.Received(kConvertCanonicalUsername)[0].strings, Strings{"AD\\alice"});
    EXPECT_EQ(script.Received(kGetHostPrincipalForDomain)[0].strings, Strings{""});
    EXPECT_EQ(script.Received(kGetDomainTrustRelationship)[0].strings,
              Strings{"other.example.com"});

    ad.GetActiveDomain();
    EXPECT_TRUE(script.Received(kGetActiveDomain)[0].outputsPresetNull);
}

TEST_F(ProviderOperationsTest, ConvertsResultsAndReleasesThemExactlyOnce) {
    ActiveDirectoryProvider& ad = Load();

    // The two names of the active domain are released separately, NULL ones not at all.
    script.SetActiveDomain("ad.example.com", "AD");
    Domain domain;
    Traffic traffic = Observe([&] { domain = ad.GetActiveDomain(); });
    EXPECT_EQ(domain, Domain("ad.example.com", "AD"));
    ASSERT_EQ(traffic.returned.size(), 2u);
    EXPECT_EQ(traffic.deallocated, traffic.returned);
    script.SetActiveDomain(std::nullopt, "AD");
    traffic = Observe([&] { domain = ad.GetActiveDomain(); });
    EXPECT_EQ(domain, Domain("", "AD"));
    EXPECT_EQ(traffic.deallocated, Pointers{traffic.returned[1]});
    script.SetActiveDomain(std::nullopt, std::nullopt);
    traffic = Observe([&] { domain = ad.GetActiveDomain(); });
    EXPECT_EQ(domain, Domain());
    EXPECT_TRUE(traffic.deallocated.empty());

    // Arrays end at their first NULL entry; a NULL array is empty and still released once.
    script.SetArray(kGetPreferredDomainControllers, Strings{"dc1.ad", "", std::nullopt, "dc4"});
    std::deque<std::string> controllers;
    traffic = Observe([&] { controllers = ad.GetPreferredDomainControllers(); });
    EXPECT_EQ(controllers, (std::deque<std::string>{"dc1.ad", ""}));
    ASSERT_EQ(traffic.returned.size(), 1u);
    EXPECT_EQ(traffic.deallocated, traffic.returned);
    script.SetArray(kGetPreferredDomainControllers, std::nullopt);
    traffic = Observe([&] { controllers = ad.GetPreferredDomainControllers(); });
    EXPECT_TRUE(controllers.empty());
    EXPECT_EQ(traffic.deallocated, Pointers{nullptr});

    script.SetArray(kGetSmartCardEnabledServices, Strings{"sshd", "login"});
    std::vector<std::string> services;
    traffic = Observe([&] { services = ad.GetSmartCardEnabledServices(); });
    EXPECT_EQ(services, (std::vector<std::string>{"sshd", "login"}));
    EXPECT_EQ(traffic.deallocated, traffic.returned);
    script.SetArray(kGetSmartCardEnabledServices, std::nullopt);
    traffic = Observe([&] { services = ad.GetSmartCardEnabledServices(); });
    EXPECT_TRUE(services.empty());
    EXPECT_EQ(traffic.deallocated, Pointers{nullptr});

    // A NULL name inside a trusted domain's pair reads as empty instead of crashing.
    script.SetTrustedDomains(std::vector<std::pair<CString, CString>>{
        {"a.example.com", "A"}, {std::nullopt, "B"}, {"c.example.com", std::nullopt}});
    std::deque<Domain> trusted;
    traffic = Observe([&] { trusted = ad.GetTrustedDomains(); });
    EXPECT_EQ(trusted, (std::deque<Domain>{Domain("a.example.com", "A"), Domain("", "B"),
                                           Domain("c.example.com", "")}));
    ASSERT_EQ(traffic.returned.size(), 1u);
    EXPECT_EQ(traffic.deallocated, traffic.returned);
    script.SetTrustedDomains(std::nullopt);
    traffic = Observe([&] { trusted = ad.GetTrustedDomains(); });
    EXPECT_TRUE(trusted.empty());
    EXPECT_EQ(traffic.deallocated, Pointers{nullptr});

    // String results; a NULL string is empty and its NULL is still released.
    struct StringCall {
        Slot slot;
        std::function<std::string()> call;
    };
    StringCall const stringCalls[] = {
        {kGetMachineAccountDN, [&] { return ad.GetMachineAccountDN(); }},
        {kGetAnyDomainController, [&] { return ad.GetAnyDomainController("", "ad"); }},
        {kConvertCanonicalUsername, [&] { return ad.ConvertCanonicalUsername("alice"); }},
        {kGetHostPrincipalForDomain, [&] { return ad.GetHostPrincipalForDomain("ad"); }},
    };
    for (StringCall const& stringCall : stringCalls) {
        SCOPED_TRACE(stringCall.slot);
        script.SetString(stringCall.slot, "result of " + std::to_string(stringCall.slot));
        std::string result;
        traffic = Observe([&] { result = stringCall.call(); });
        EXPECT_EQ(result, "result of " + std::to_string(stringCall.slot));
        ASSERT_EQ(traffic.returned.size(), 1u);
        EXPECT_EQ(traffic.deallocated, traffic.returned);
        script.SetString(stringCall.slot, std::nullopt);
        traffic = Observe([&] { result = stringCall.call(); });
        EXPECT_EQ(result, "");
        EXPECT_EQ(traffic.deallocated, Pointers{nullptr});
    }
    EXPECT_EQ(script.Outstanding(), 0u);

    // Values, not statuses: returned as they are, never raised.
    script.SetStatus(kGetDomainTrustState, 5);
    EXPECT_EQ(ad.GetDomainTrustState(), 5u);
    script.SetStatus(kGetDomainTrustState, 0xdeadbeef);
    EXPECT_EQ(ad.GetDomainTrustState(), 0xdeadbeefu);
    script.SetStatus(kGetDomainTrustRelationship, 1326);
    EXPECT_EQ(ad.GetDomainTrustRelationship("ad"), 1326u);
}

TEST_F(ProviderOperationsTest, RaisesTheMappedStatusAndReleasesNothing) {
    ActiveDirectoryProvider& ad = Load();
    // The plug-in writes results even when it fails; none may be read or released.
    script.SetActiveDomain("ad.example.com", "AD");
    script.SetArray(kGetPreferredDomainControllers, Strings{"dc1"});
    script.SetArray(kGetSmartCardEnabledServices, Strings{"sshd"});
    script.SetTrustedDomains(std::vector<std::pair<CString, CString>>{{"a", "A"}});
    for (Slot slot : {kGetMachineAccountDN, kGetAnyDomainController, kConvertCanonicalUsername,
                      kGetHostPrincipalForDomain}) {
        script.SetString(slot, "ignored");
    }

    struct Operation {
        Slot slot;
        std::function<void()> call;
    };
    Operation const operations[] = {
        {kPartDomain, [&] { ad.PartDomain(); }},
        {kGetActiveDomain, [&] { ad.GetActiveDomain(); }},
        {kSetPreferredDomainControllers, [&] { ad.SetPreferredDomainControllers({"dc1"}); }},
        {kGetPreferredDomainControllers, [&] { ad.GetPreferredDomainControllers(); }},
        {kGetTrustedDomains, [&] { ad.GetTrustedDomains(); }},
        {kGetMachineAccountDN, [&] { ad.GetMachineAccountDN(); }},
        {kGetAnyDomainController, [&] { ad.GetAnyDomainController("", "ad"); }},
        {kConvertCanonicalUsername, [&] { ad.ConvertCanonicalUsername("alice"); }},
        {kGetHostPrincipalForDomain, [&] { ad.GetHostPrincipalForDomain("ad"); }},
        {kSetSmartCardEnabledServices, [&] { ad.SetSmartCardEnabledServices({"sshd"}); }},
        {kGetSmartCardEnabledServices, [&] { ad.GetSmartCardEnabledServices(); }},
    };
    for (Operation const& operation : operations) {
        SCOPED_TRACE(operation.slot);
        script.SetStatus(operation.slot, 5);
        Traffic traffic =
            Observe([&] { EXPECT_EQ(Catch<AccessDeniedException>(operation.call).code, 5u); });
        EXPECT_TRUE(traffic.deallocated.empty());

        // Only the joins retry a logon failure.
        script.SetStatus(operation.slot, 1326);
        EXPECT_EQ(Catch<LogonFailureException>(operation.call).message,
                  "Exception 0x0000052e: The attempted logon is invalid. This is due to either a "
                  "bad user name or authentication information.");

        script.SetStatus(operation.slot, 0x80090325);
        EXPECT_EQ(Catch<UnknownException>(operation.call).message,
                  "Exception 0x80090325: Unknown exception");
        EXPECT_EQ(script.Calls(operation.slot), 3u);
    }
    EXPECT_TRUE(script.Deallocated().empty());
    EXPECT_TRUE(sandbox::RecordedSleeps().empty());
}

TEST_F(ProviderOperationsTest, MissingOperationsAreNotImplemented) {
    ActiveDirectoryProvider& ad = Load(Plugin::kEmptyProvider);
    Credentials const admin = {"admin", "secret"};
    std::function<void()> const calls[] = {
        [&] { ad.JoinDomain("ad", "", admin); },
        [&] { ad.JoinDomainWithMachineAccount({}, {}); },
        [&] { ad.PartDomain(); },
        [&] { ad.PartDomain(admin); },
        [&] { ad.GetActiveDomain(); },
        [&] { ad.SetPreferredDomainControllers({"dc1"}); },
        [&] { ad.GetPreferredDomainControllers(); },
        [&] { ad.GetDomainTrustState(); },
        [&] { ad.GetTrustedDomains(); },
        [&] { ad.GetMachineAccountDN(); },
        [&] { ad.GetAnyDomainController("", "ad"); },
        [&] { ad.ConvertCanonicalUsername("alice"); },
        [&] { ad.GetHostPrincipalForDomain("ad"); },
        [&] { ad.GetDomainTrustRelationship("ad"); },
        [&] { ad.SetSmartCardEnabledServices({"sshd"}); },
        [&] { ad.GetSmartCardEnabledServices(); },
    };
    for (auto const& call : calls) {
        Thrown const thrown = Catch<CallNotImplementedException>(call);
        EXPECT_EQ(thrown.code, 120u);
        EXPECT_EQ(thrown.message,
                  "Exception 0x00000078: This function is not supported on this system.");
    }
    EXPECT_TRUE(sandbox::RecordedSleeps().empty());
    EXPECT_TRUE(sandbox::CapturedLog().empty());
}

TEST_F(ProviderOperationsTest, VersionOneTablesLackSlotsTwelveAndThirteen) {
    ActiveDirectoryProvider& ad = Load(Plugin::kVersion1Provider);
    script.SetString(kGetMachineAccountDN, "CN=sandbox-host");
    Catch<CallNotImplementedException>([&] { ad.JoinDomainWithMachineAccount({}, {}); });
    Catch<CallNotImplementedException>([&] { ad.GetHostPrincipalForDomain("ad"); });
    EXPECT_EQ(script.Calls(kJoinDomainWithMachineAccount), 0u);
    EXPECT_EQ(script.Calls(kGetHostPrincipalForDomain), 0u);
    EXPECT_TRUE(sandbox::CapturedLog().empty());
    EXPECT_TRUE(sandbox::RecordedSleeps().empty());
    // The other slots of such a table work.
    EXPECT_EQ(ad.GetMachineAccountDN(), "CN=sandbox-host");
}

TEST_F(ProviderOperationsTest, SurvivesAPluginThatLeavesNoDeallocator) {
    ActiveDirectoryProvider& ad = Load();
    script.SetGivesDeallocator(kGetMachineAccountDN, false);
    script.SetGivesDeallocator(kGetActiveDomain, false);
    script.SetString(kGetMachineAccountDN, "CN=sandbox-host");
    script.SetActiveDomain("ad.example.com", "AD");
    EXPECT_EQ(ad.GetMachineAccountDN(), "CN=sandbox-host");
    EXPECT_EQ(ad.GetActiveDomain(), Domain("ad.example.com", "AD"));
    EXPECT_TRUE(script.Deallocated().empty());
}

TEST_F(ProviderOperationsTest, AHangingCallDoesNotHoldUpOthers) {
    ActiveDirectoryProvider& ad = Load();
    script.SetActiveDomain("ad.example.com", "AD");
    script.SetString(kGetMachineAccountDN, "CN=sandbox-host");
    script.Hang(kGetActiveDomain);
    Domain domain;
    std::thread worker([&] { domain = ad.GetActiveDomain(); });
    script.WaitUntilBlocked(kGetActiveDomain);
    EXPECT_EQ(ad.GetMachineAccountDN(), "CN=sandbox-host");
    script.Release(kGetActiveDomain);
    worker.join();
    EXPECT_EQ(domain, Domain("ad.example.com", "AD"));
}

}  // namespace
