#ifndef TESTS_SUPPORT_TEST_PLUGINS_H
#define TESTS_SUPPORT_TEST_PLUGINS_H

// The builds of the scripted plug-in (tests/plugins/scripted.c), installed into the sandbox of
// a SandboxTest, and the table behind them: per slot of the provider and word of the proxy
// client, what its calls answer, with which statuses, whether they hang, and what each call
// received. Every row starts as status 0, NULL results and a deallocator handed back. Results
// are written whatever the status, as a careless plug-in might, so a test sees whether the
// caller reads or releases them anyway.

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

// The provider's slots, then the proxy client's words 1 and 2.
enum Slot : int {
    kJoinDomain = 1,
    kPartDomain = 2,
    kGetActiveDomain = 3,
    kSetPreferredDomainControllers = 4,
    kGetPreferredDomainControllers = 5,
    kGetDomainTrustState = 7,
    kGetTrustedDomains = 8,
    kGetMachineAccountDN = 9,
    kGetAnyDomainController = 10,
    kConvertCanonicalUsername = 11,
    kJoinDomainWithMachineAccount = 12,
    kGetHostPrincipalForDomain = 13,
    kGetDomainTrustRelationship = 14,
    kSetSmartCardEnabledServices = 15,
    kGetSmartCardEnabledServices = 16,
    kGetDomainInfo = 17,
    kCreateMachineAccount = 18,
};

// One row of the table: the statuses of the following calls in turn, the last one staying
// (slots 7 and 14 return it as their value); the out-strings in order (slot 3: DNS and
// NetBIOS name) or a list's entries (5, 16), nullopt for a NULL list; the trusted domains
// (8); whether the deallocator out-parameter is set or left as found; whether calls block
// until Release.
struct Behaviour {
    std::vector<std::uint32_t> statuses = {0};
    std::optional<Strings> answer = {};
    std::optional<Pairs> domains = {};
    bool deallocator = true, hang = false;
};

// What one call received. strings: the string arguments in order; slots 1 and 2 add the user
// name and password when credentials came; slot 12 the four domain and five account strings.
struct ReceivedCall {
    Strings strings;
    std::optional<std::vector<std::string>> array;  // slots 4 and 15; nullopt when NULL
    void const* credentials = nullptr;              // the Credentials pointer as passed
    std::int32_t verifyCertificate = 0;             // the proxy client's flag
    bool outputsPresetNull = true;                  // every out-parameter was NULL on entry
};

// One at a time. Its destructor releases every hang and waits for the calls in flight to
// return before forgetting the table, so no thread stays stuck in the plug-in.
class ProviderScript {
public:
    ProviderScript();
    ~ProviderScript();
    ProviderScript(ProviderScript const&) = delete;
    ProviderScript& operator=(ProviderScript const&) = delete;

    void Set(Slot slot, Behaviour const& behaviour);
    template <class T>
    void Put(Slot slot, T Behaviour::*field, T value) {
        Edit(slot, [&](Behaviour& row) { row.*field = std::move(value); });
    }
    void SetStatus(Slot s, std::uint32_t status) { SetStatuses(s, {status}); }
    void SetStatuses(Slot s, std::vector<std::uint32_t> v) { Put(s, &Behaviour::statuses, v); }
    void SetAnswer(Slot s, std::optional<Strings> v) { Put(s, &Behaviour::answer, v); }
    void SetString(Slot s, CString value) { SetAnswer(s, Strings{value}); }
    void SetArray(Slot s, std::optional<Strings> entries) { SetAnswer(s, entries); }
    void SetActiveDomain(CString dns, CString nb) { SetAnswer(kGetActiveDomain, Strings{dns, nb}); }
    void SetTrustedDomains(std::optional<Pairs> v) {
        Put(kGetTrustedDomains, &Behaviour::domains, v);
    }
    void Hang(Slot s) { Put(s, &Behaviour::hang, true); }
    void Release(Slot s) { Put(s, &Behaviour::hang, false); }
    // Returns once `count` calls are blocked in the hanging slot.
    void WaitUntilBlocked(Slot slot, unsigned count = 1);

    unsigned Calls(Slot slot) const { return static_cast<unsigned>(Received(slot).size()); }
    std::vector<ReceivedCall> Received(Slot slot) const;
    // Every pointer handed out for release (NULL included), in order; every pointer passed to
    // a deallocator or the proxy client's release word, in order; and the blocks not yet back.
    std::vector<void const*> Returned() const;
    std::vector<void const*> Deallocated() const;
    std::size_t Outstanding() const;

private:
    void Edit(Slot slot, std::function<void(Behaviour&)> const& edit);
};

enum class Plugin {
    kScriptedProvider,  // API 3, table version 2, every slot scripted; PAM "pam_scripted.so" with "
                        // try_first_pass \t unknown_ok  ", NSS "scripted" with "cache"
    kEmptyProvider,     // every slot and proxy word 2 NULL, NULL parameter strings
    kVersion1Provider,  // table version 1
    kAPI4Provider,
    kNegativeAPIProvider,
    kNoMetadataProvider,
    kNoOperationsProvider,  // neither operations table
    kNullModuleProvider,    // metadata that breaks the contract: NULL module names,
    kLineBreakProvider,     // a PAM module name and parameters with line breaks,
    kOverlongProvider,      // a 1 MiB PAM module name with 100,000 parameters
    kScriptedProxy,         // the proxy client's words scripted, and nothing of a provider
};

enum class Location {
    kLibSubdirectory,  // /usr/libexec/tslauth/lib/lib<name>.so, the first place looked at
    kPluginDirectory,  // /usr/libexec/tslauth/lib<name>.so
};

std::string PluginPath(std::string const& name, Location where);

// Copies the built plug-in to PluginPath(name, where) and returns that path. Fails the test
// unless /usr/libexec is the sandbox's private overlay.
std::string InstallPlugin(Plugin plugin, std::string const& name,
                          Location where = Location::kLibSubdirectory);

// Write /etc/ostrel/tslauth/provider.conf or qapprovider.conf: "provider = <name>".
void WriteProviderConfiguration(std::string const& name);
void WriteQAPProviderConfiguration(std::string const& name);

// Whether the object at this path is loaded in the process (dlopen with RTLD_NOLOAD).
bool IsLoaded(std::string const& path);

}  // namespace test_plugins

#endif
