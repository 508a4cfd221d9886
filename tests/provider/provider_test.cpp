// The provider wrapper over the scripted plug-in: loading, arguments, results and their
// release, statuses, missing slots, join retries.
#include <authentication/active_directory_provider.h>
#include <authentication/domain.h>
#include <authentication/exceptions.h>

#include <functional>
#include <map>

#include "sandbox.h"
#include "test_plugins.h"
#include "what_thrown.h"

using namespace ostrel::authentication;
using namespace test_plugins;

namespace {

using Pointers = std::vector<void const*>;

// "<class>: <what()> [<code>]" of what a call threw, or "(returned)".
template <class Call>
std::string Thrown(Call call) {
    try {
        call();
    } catch (Exception const& e) {
        return Named(typeid(e), e.what()) + " [" + std::to_string(e.GetCode()) + "]";
    }
    return "(returned)";
}

std::string Invalid(std::string const& name, std::string const& detail) {
    return Named(typeid(InvalidActiveDirectoryProviderException),
                 "The specified Active Directory provider '" + name + "' is invalid" + detail) +
           " [0]";
}

std::string Text(std::string const& text) {
    return text + ";";
}
std::string Text(Domain const& domain) {
    return domain.dnsName + "/" + domain.netbiosName + ";";
}
template <class List>
std::string Text(List const& list) {
    std::string text;
    for (auto const& entry : list) text += Text(entry);
    return text;
}

class ProviderTest : public sandbox::SandboxTest {
protected:
    ActiveDirectoryProvider& Load(Plugin plugin = Plugin::kScriptedProvider) {
        provider.reset();  // else the same path would give the same handle
        InstallPlugin(plugin, "ad");
        provider = std::make_unique<ActiveDirectoryProvider>("ad");
        return *provider;
    }

    // Calls the operation of a slot; its result printed, "" for none.
    std::string Call(int slot) {
        ActiveDirectoryProvider& ad = *provider;
        std::string const none;
        std::map<int, std::function<std::string()>> const calls = {
            {kJoinDomain, [&] { return ad.JoinDomain("ad.example.com", "", admin), none; }},
            {kPartDomain, [&] { return ad.PartDomain(), none; }},
            {kGetActiveDomain, [&] { return Text(ad.GetActiveDomain()); }},
            {kSetPreferredDomainControllers,
             [&] { return ad.SetPreferredDomainControllers({"dc"}), none; }},
            {kGetPreferredDomainControllers,
             [&] { return Text(ad.GetPreferredDomainControllers()); }},
            {kGetDomainTrustState, [&] { return std::to_string(ad.GetDomainTrustState()); }},
            {kGetTrustedDomains, [&] { return Text(ad.GetTrustedDomains()); }},
            {kGetMachineAccountDN, [&] { return ad.GetMachineAccountDN(); }},
            {kGetAnyDomainController,
             [&] { return ad.GetAnyDomainController("", "ad.example.com"); }},
            {kConvertCanonicalUsername, [&] { return ad.ConvertCanonicalUsername("AD\\alice"); }},
            {kJoinDomainWithMachineAccount,
             [&] { return ad.JoinDomainWithMachineAccount(domainInfo, accountInfo), none; }},
            {kGetHostPrincipalForDomain, [&] { return ad.GetHostPrincipalForDomain(""); }},
            {kGetDomainTrustRelationship,
             [&] { return std::to_string(ad.GetDomainTrustRelationship("b.example")); }},
            {kSetSmartCardEnabledServices,
             [&] { return ad.SetSmartCardEnabledServices({"sshd"}), none; }},
            {kGetSmartCardEnabledServices, [&] { return Text(ad.GetSmartCardEnabledServices()); }},
            {kGetLastErrorText, [&] { return ad.GetLastErrorText(); }},
            {kJoinDomainWithOptions, [&] { return ad.JoinDomain("ad", "", admin, reuse), none; }},
        };
        auto const found = calls.find(slot);
        return found != calls.end() ? found->second() : "no slot " + std::to_string(slot);
    }

    ProviderScript script;
    std::unique_ptr<ActiveDirectoryProvider> provider;  // destroyed before the script
    Credentials const admin = {"admin", "secret"};
    QAP::DirectoryDomainInfo const domainInfo{"", "AD", "ad.example.com", "S-1-5-21-1"};
    QAP::MachineAccountInfo const accountInfo{"sandbox-host", "ad.example.com", "", "1", "2"};
    JoinOptions const reuse{JoinOptions::kReuseAccount};
};

TEST_F(ProviderTest, LoadsFromTheLibSubdirectoryFirstAndRefusesBrokenPlugins) {
    std::string const first = InstallPlugin(Plugin::kVersion1Provider, "ad");
    std::string const second =
        InstallPlugin(Plugin::kScriptedProvider, "ad", Location::kPluginDirectory);
    {
        ActiveDirectoryProvider const provider("ad");
        EXPECT_TRUE(provider.GetAPIVersion() == 1 && IsLoaded(first) && !IsLoaded(second));
    }
    EXPECT_FALSE(IsLoaded(first));

    // Refused and left unloaded; with a directory ".../lib/lib" the "/" name would reach
    // ".../libexec/tslauth/libevil.so". A first file that does not load gives way to the second.
    sandbox::MakeDirectory("/usr/libexec/tslauth/lib/lib");
    std::string const evil =
        InstallPlugin(Plugin::kScriptedProvider, "evil", Location::kPluginDirectory);
    sandbox::WriteFile("/usr/libexec/tslauth/lib/libbroken.so", "not a shared object\n");
    std::string const unable = Named(typeid(IOError), "Unable to open provider: /usr/libexec/");
    std::string const noFile = ".so: cannot open shared object file: No such file or directory [0]";
    std::string const undefined = ".so: undefined symbol: ActiveDirectoryClient";
    std::tuple<Plugin, std::string, std::string, std::string> const refusals[] = {
        {Plugin::kAPI4Provider, "api4", "api4",
         Invalid("api4", ": The API version (4) is not supported by this version of libtslauth")},
        {Plugin::kNoMetadataProvider, "nometa", "nometa",
         Invalid("nometa", ": /usr/libexec/tslauth/lib/libnometa" + undefined + "Metadata")},
        {Plugin::kNoOperationsProvider, "noops", "noops",
         Invalid("noops", ": /usr/libexec/tslauth/lib/libnoops" + undefined + "Operations")},
        {Plugin::kScriptedProvider, "", "", Invalid("(unset)", "")},
        {Plugin::kScriptedProvider, "evil", "/../../libevil",
         Invalid("/../../libevil", ": a provider name must not contain '/' or NUL characters")},
        {Plugin::kScriptedProvider, "evil", std::string("evil\0/x", 7),  // cut at the NUL
         Invalid("evil", "").substr(0, Invalid("evil", "").find("evil") + 4) + " [0]"},
        {Plugin::kScriptedProvider, "other", "broken", unable + "tslauth/libbroken" + noFile},
    };
    for (auto const& [plugin, installed, name, thrown] : refusals) {
        std::string const path = InstallPlugin(plugin, installed);
        EXPECT_EQ(thrown, Thrown([&] { ActiveDirectoryProvider{name}; }));
        EXPECT_FALSE(IsLoaded(path) || IsLoaded(evil)) << path;
    }
}

TEST_F(ProviderTest, EachSlotReceivesItsArgumentsInThePluginsForm) {
    ActiveDirectoryProvider& ad = Load();
    Credentials const partial = {nullptr, ""};
    for (int slot :
         {kJoinDomain, kPartDomain, kJoinDomainWithMachineAccount, kGetAnyDomainController,
          kConvertCanonicalUsername, kGetHostPrincipalForDomain, kGetDomainTrustRelationship})
        Call(slot);
    ad.JoinDomain("", "OU=Hosts,DC=ad", partial);
    ad.JoinDomain("ad", "", admin, JoinOptions());  // no options: slot 1 as ever
    ad.JoinDomain("ad", "OU=Hosts", admin, reuse);
    ad.PartDomain(admin);
    ad.GetAnyDomainController("writable", "");
    std::pair<Slot, std::vector<Strings>> const cases[] = {
        {kJoinDomain,
         {{"ad.example.com", std::nullopt, "admin", "secret"},
          {"", "OU=Hosts,DC=ad", std::nullopt, ""},
          {"ad", std::nullopt, "admin", "secret"}}},
        {kJoinDomainWithOptions, {{"ad", "OU=Hosts", "admin", "secret"}}},
        {kPartDomain, {{}, {"admin", "secret"}}},
        {kJoinDomainWithMachineAccount,
         {{"", "AD", "ad.example.com", "S-1-5-21-1", "sandbox-host", "ad.example.com", "", "1",
           "2"}}},
        {kGetAnyDomainController, {{std::nullopt, "ad.example.com"}, {"writable", ""}}},
        {kConvertCanonicalUsername, {{"AD\\alice"}}},
        {kGetHostPrincipalForDomain, {{""}}},
        {kGetDomainTrustRelationship, {{"b.example"}}},
    };
    for (auto const& [slot, expected] : cases) {
        std::vector<Strings> received;
        for (ReceivedCall const& call : script.Received(slot)) received.push_back(call.strings);
        EXPECT_EQ(received, expected) << slot;
    }
    // The caller's own credentials record, or NULL.
    auto const joins = script.Received(kJoinDomain), parts = script.Received(kPartDomain);
    EXPECT_EQ(Pointers({joins[0].credentials, joins[1].credentials, parts[0].credentials,
                        parts[1].credentials}),
              Pointers({&admin, &partial, nullptr, &admin}));
    EXPECT_EQ(AD_JOIN_REUSE_ACCOUNT, script.Received(kJoinDomainWithOptions)[0].flags);
    EXPECT_EQ(&admin, script.Received(kJoinDomainWithOptions)[0].credentials);
    // Arrays end in NULL; an empty list is an array, not NULL.
    for (auto const& list : {std::vector<std::string>{"dc1.ad", "", "dc3.ad"}, {}}) {
        ad.SetPreferredDomainControllers(std::deque<std::string>(list.begin(), list.end()));
        ad.SetSmartCardEnabledServices(list);
        EXPECT_EQ(script.Received(kSetPreferredDomainControllers).back().array, list);
        EXPECT_EQ(script.Received(kSetSmartCardEnabledServices).back().array, list);
    }
    ad.GetActiveDomain();
    EXPECT_TRUE(script.Received(kGetActiveDomain)[0].outputsPresetNull);
}

// Results are converted and each released once; a failing call's results (a careless plug-in
// writes them anyway) are neither read nor released.
TEST_F(ProviderTest, ResultsAreConvertedAndEachReleasedOnceFailuresRaise) {
    Load();
    std::vector<std::tuple<Slot, Behaviour, std::string>> cases = {
        {kGetActiveDomain, {{0}, Strings{"ad.example.com", "AD"}}, "ad.example.com/AD;"},
        {kGetActiveDomain, {{0}, Strings{std::nullopt, "AD"}}, "/AD;"},
        {kGetActiveDomain, {{0}, Strings{"ad", "AD"}, {}, false}, "ad/AD;"},  // no deallocator
        // A NULL name of a trusted domain reads as empty.
        {kGetTrustedDomains,
         {{0}, {}, Pairs{{"a", "A"}, {std::nullopt, "B"}, {"c", std::nullopt}}},
         "a/A;/B;c/;"},
        {kGetTrustedDomains, {}, ""},
        {kGetMachineAccountDN, {{0}, Strings{"CN=host"}, {}, false}, "CN=host"},
        // Values, not statuses: returned as they are, never raised.
        {kGetDomainTrustState, {{0xdeadbeef}}, "3735928559"},
        {kGetDomainTrustRelationship, {{1326}}, "1326"},
        {kGetMachineAccountDN,
         {{0x80090325}, Strings{"x"}},
         Named(typeid(UnknownException), "Exception 0x80090325: Unknown exception [2148074277]")},
        // The plug-in's words on a failure; none, or none it can give, read as empty.
        {kGetLastErrorText, {{0}, Strings{"the DC said no"}}, "the DC said no"},
        {kGetLastErrorText, {}, ""},
        {kJoinDomainWithOptions,
         {{1316}},
         Named(typeid(AccountExistsException),
               "Exception 0x00000524: The specified account already exists. [1316]")},
    };
    // Lists end at their first NULL entry; a NULL list or string reads as empty.
    for (Slot slot : {kGetPreferredDomainControllers, kGetSmartCardEnabledServices}) {
        cases.insert(cases.end(), {{slot, {{0}, Strings{"dc1", "", std::nullopt, "4"}}, "dc1;;"},
                                   {slot, {}, ""}});
    }
    for (Slot slot : {kGetMachineAccountDN, kGetAnyDomainController, kConvertCanonicalUsername,
                      kGetHostPrincipalForDomain}) {
        cases.insert(cases.end(), {{slot, {{0}, Strings{"AD\\x"}}, "AD\\x"}, {slot, {}, ""}});
    }
    for (Slot slot :
         {kPartDomain, kGetActiveDomain, kSetPreferredDomainControllers,
          kGetPreferredDomainControllers, kGetTrustedDomains, kGetMachineAccountDN,
          kGetAnyDomainController, kConvertCanonicalUsername, kGetHostPrincipalForDomain,
          kSetSmartCardEnabledServices, kGetSmartCardEnabledServices}) {
        cases.push_back(
            {slot,
             {{5}, Strings{"x", "y"}, Pairs{{"a", "A"}}},
             Named(typeid(AccessDeniedException), "Exception 0x00000005: Access is denied. [5]")});
    }
    for (auto const& [slot, row, result] : cases) {
        script.Set(slot, row);
        std::size_t const returned = script.Returned().size();
        std::size_t const deallocated = script.Deallocated().size();
        std::string got;
        std::string const thrown = Thrown([&, slot = slot] { got = Call(slot); });
        EXPECT_EQ(thrown == "(returned)" ? got : thrown, result) << slot;
        Pointers out = script.Returned(), back = script.Deallocated(), expected;
        out.erase(out.begin(), out.begin() + returned);
        back.erase(back.begin(), back.begin() + deallocated);
        // Each result is released once, even NULL; the active domain's names one by one, not NULL.
        for (void const* pointer : out) {
            if (row.deallocator && thrown == "(returned)" &&
                (pointer != nullptr || slot != kGetActiveDomain))
                expected.push_back(pointer);
        }
        EXPECT_EQ(back, expected) << slot << " " << result.substr(0, 20);
    }
    EXPECT_EQ(script.Outstanding(), 3u + 10u);  // kept without a deallocator; after failures
}

TEST_F(ProviderTest, MissingSlotsAreNotImplemented) {
    std::string const notImplemented =
        Named(typeid(CallNotImplementedException),
              "Exception 0x00000078: This function is not supported on this system. [120]");
    Load(Plugin::kVersion1Provider);  // its table ends before slots 12 and 13: never called
    for (Slot slot : {kJoinDomainWithMachineAccount, kGetHostPrincipalForDomain})
        EXPECT_EQ(notImplemented, Thrown([&] { Call(slot); })) << slot;
    EXPECT_EQ(
        script.Calls(kJoinDomainWithMachineAccount) + script.Calls(kGetHostPrincipalForDomain), 0u);
    ActiveDirectoryProvider& ad = Load(Plugin::kEmptyProvider);
    for (int slot = 1; slot <= 16; ++slot)
        EXPECT_EQ(slot == 6 ? "(returned)" : notImplemented, Thrown([&] { Call(slot); })) << slot;
    EXPECT_EQ(notImplemented, Thrown([&] { ad.PartDomain(admin); }));
    // Without an extension table: no options, no words.
    EXPECT_EQ(notImplemented, Thrown([&] { Call(kJoinDomainWithOptions); }));
    EXPECT_EQ("(returned) false", Thrown([&] { Call(kGetLastErrorText); }) + " " +
                                      (ad.CanJoinWithOptions() ? "true" : "false"));
}

}  // namespace
