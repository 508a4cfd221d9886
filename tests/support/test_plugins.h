#ifndef TESTS_SUPPORT_TEST_PLUGINS_H
#define TESTS_SUPPORT_TEST_PLUGINS_H

// Builds of the scripted plug-in (tests/plugins/scripted.c) and the table behind them: per slot,
// what its calls answer (written whatever the status) and whether they hang; what each received.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace test_plugins {

// A string crossing the plug-in boundary; std::nullopt stands for NULL.
using CString = std::optional<std::string>;
using Strings = std::vector<CString>;
using Pairs = std::vector<std::pair<CString, CString>>;

// The provider's slots, the proxy client's words 1 and 2, then the provider's extensions.
// clang-format off
enum Slot : int {
    kJoinDomain = 1, kPartDomain, kGetActiveDomain, kSetPreferredDomainControllers,
    kGetPreferredDomainControllers, kGetDomainTrustState = 7, kGetTrustedDomains,
    kGetMachineAccountDN, kGetAnyDomainController, kConvertCanonicalUsername,
    kJoinDomainWithMachineAccount, kGetHostPrincipalForDomain, kGetDomainTrustRelationship,
    kSetSmartCardEnabledServices, kGetSmartCardEnabledServices, kGetDomainInfo,
    kCreateMachineAccount, kGetLastErrorText = 20, kJoinDomainWithOptions
};
// clang-format on

// statuses: of the following calls in turn, the last staying (slots 7 and 14: their value).
// answer: out-strings in order, or a list's entries (nullopt: NULL list); domains: slot 8's.
struct Behaviour {
    std::vector<std::uint32_t> statuses = {0};
    std::optional<Strings> answer = {};
    std::optional<Pairs> domains = {};
    bool deallocator = true, hang = false;  // deallocator: the out-parameter set or left as is
};

// strings: the string arguments in order, then user name and password when credentials came
// (slots 1, 2, E2); slot 12: the four domain and five account strings.
struct ReceivedCall {
    Strings strings;
    std::optional<std::vector<std::string>> array;  // slots 4 and 15; nullopt when NULL
    void const* credentials = nullptr;
    std::int32_t verifyCertificate = 0;
    bool outputsPresetNull = true;  // every out-parameter was NULL on entry
    std::uint32_t flags = 0;        // E2's
};

// One at a time. Its destructor releases every hang and waits for the calls in flight.
class ProviderScript {
public:
    ProviderScript();
    ~ProviderScript();
    ProviderScript(ProviderScript const&) = delete;
    ProviderScript& operator=(ProviderScript const&) = delete;

    void Set(Slot s, Behaviour const& b) {
        Edit(s, [&](Behaviour& row) { row = b; });
    }
    template <class T>
    void Put(Slot slot, T Behaviour::*field, T value) {
        Edit(slot, [&](Behaviour& row) { row.*field = std::move(value); });
    }
    void SetStatus(Slot s, std::uint32_t v) { Put(s, &Behaviour::statuses, {v}); }
    void SetAnswer(Slot s, std::optional<Strings> v) { Put(s, &Behaviour::answer, v); }
    void SetString(Slot s, CString value) { SetAnswer(s, Strings{value}); }
    void SetArray(Slot s, std::optional<Strings> entries) { SetAnswer(s, entries); }
    void SetActiveDomain(CString dns, CString nb) { SetAnswer(kGetActiveDomain, Strings{dns, nb}); }
    void SetTrustedDomains(std::optional<Pairs> v) {
        Put(kGetTrustedDomains, &Behaviour::domains, v);
    }
    void Hang(Slot s) { Put(s, &Behaviour::hang, true); }
    void Release(Slot s) { Put(s, &Behaviour::hang, false); }

    unsigned Calls(Slot slot) const { return static_cast<unsigned>(Received(slot).size()); }
    std::vector<ReceivedCall> Received(Slot slot) const;
    // Pointers handed out for release (NULL included) and those passed back to a deallocator
    // or the release word, in order; the blocks not yet back.
    std::vector<void const*> Returned() const;
    std::vector<void const*> Deallocated() const;
    std::size_t Outstanding() const;

private:
    void Edit(Slot slot, std::function<void(Behaviour&)> const& edit);
};

enum class Plugin {
    kScriptedProvider,  // API 3, table 2, extensions E1 and E2 (count 2);
                        // PAM "pam_scripted.so" "  try_first_pass \t unknown_ok  ",
                        // NSS "scripted" "cache"
    kEmptyProvider,     // every slot and proxy word 2 NULL, NULL parameter strings
    kVersion1Provider,  // table version 1
    kAPI4Provider,
    kNoMetadataProvider,
    kNoOperationsProvider,
    kNullModuleProvider,  // NULL module names
    kLineBreakProvider,   // line breaks in the PAM module name and parameters
    kOverlongProvider,    // a PAM module name of 1003 characters
    kScriptedProxy,       // the proxy client only
};

enum class Location {
    kLibSubdirectory,  // /usr/libexec/tslauth/lib/lib<name>.so, looked at first
    kPluginDirectory,  // /usr/libexec/tslauth/lib<name>.so
};

// Copies the build there; fails the test unless /usr/libexec is the sandbox's overlay.
std::string InstallPlugin(Plugin plugin, std::string const& name,
                          Location where = Location::kLibSubdirectory);
// "provider = <name>" into /etc/ostrel/tslauth/provider.conf or qapprovider.conf.
void WriteProviderConfiguration(std::string const& name);
void WriteQAPProviderConfiguration(std::string const& name);
bool IsLoaded(std::string const& path);  // dlopen with RTLD_NOLOAD
// Runs once, at the next load of a scripted plug-in build, inside dlopen.
void OnNextLoad(std::function<void()> action);

}  // namespace test_plugins

#endif
