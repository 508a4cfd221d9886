#ifndef TESTS_SUPPORT_PROVIDER_SCRIPT_H
#define TESTS_SUPPORT_PROVIDER_SCRIPT_H

// Scripts the scripted provider plug-ins (tests/plugins/scripted_provider.c). A test holds
// one ProviderScript at a time; until it is set otherwise, every slot answers status 0 with
// NULL results and hands back a deallocator. Results are written whatever the status, as a
// careless plug-in might, so a test sees whether the caller reads or releases them anyway.

#include "plugin_script.h"

namespace test_plugins {

// Slot numbers of the provider's operations table.
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
};

// ReceivedCall::strings per slot:
//   1  domain, container, and when credentials came: user name, password
//   2  user name, password when credentials came (none for NULL)
//   10 qualifier, domain;  11, 13, 14 the one string argument
//   12 the four domain-record strings, then the five account-record strings
// Slots 4 and 15 record ReceivedCall::array; slots 1 and 2 ReceivedCall::credentials;
// slot 3 ReceivedCall::outputsPresetNull.
class ProviderScript {
public:
    ProviderScript();
    // Releases every hang and waits for the calls in flight to return before forgetting the
    // script, so no thread stays stuck in the plug-in.
    ~ProviderScript();
    ProviderScript(ProviderScript const&) = delete;
    ProviderScript& operator=(ProviderScript const&) = delete;

    // The status of every following call; for slots 7 and 14 the value returned.
    void SetStatus(Slot slot, std::uint32_t status);
    // The statuses of the following calls in turn; the last one then stays.
    void SetStatuses(Slot slot, std::vector<std::uint32_t> statuses);

    void SetActiveDomain(CString dnsName, CString netbiosName);             // slot 3
    void SetString(Slot slot, CString value);                               // 9, 10, 11, 13
    void SetArray(Slot slot, std::optional<std::vector<CString>> entries);  // 5, 16
    void SetTrustedDomains(std::optional<std::vector<std::pair<CString, CString>>> domains);
    // false: the slot leaves the deallocator out-parameter as it found it.
    void SetGivesDeallocator(Slot slot, bool gives);

    // Calls of the slot block from now on until Release(slot).
    void Hang(Slot slot);
    void Release(Slot slot);
    // Returns once `count` calls are blocked in the hanging slot.
    void WaitUntilBlocked(Slot slot, unsigned count = 1);

    unsigned Calls(Slot slot) const;
    std::vector<ReceivedCall> Received(Slot slot) const;
    // Every pointer a slot handed out for release (NULL included), in order, and every
    // pointer passed to the deallocator, in order.
    std::vector<void const*> Returned() const;
    std::vector<void const*> Deallocated() const;
    // Blocks handed out and not yet released.
    std::size_t Outstanding() const;
};

}  // namespace test_plugins

#endif
