#ifndef SAMBA_PROVIDER_SLOTS_H
#define SAMBA_PROVIDER_SLOTS_H

// The operations of the plug-in's table, by slot.
#include <tslauth/active_directory_client.h>

namespace sambaprovider {

// Trust states this provider reports (slot 7).
TrustState const kTrustGood = 1;       // the DC accepted the machine's credentials just now
TrustState const kTrustBroken = 3;     // the DC rejects them: account deleted, disabled or reset
TrustState const kTrustNoWinbind = 4;  // winbindd is not running, so nothing can be checked
TrustState const kTrustDcUnreachable = 5;  // winbindd runs but no DC answered
TrustState const kTrustNotJoined = 7;

ADStatus JoinDomain(char const* domain, char const* computerContainer,
                    Credentials const* credentials);                                // 1
ADStatus PartDomain(Credentials const* credentials);                                // 2
ADStatus GetActiveDomain(ADDomainNames* domain, ADDeallocator* deallocator);        // 3
ADStatus SetPreferredDomainControllers(char const* const* names);                   // 4
ADStatus GetPreferredDomainControllers(char*** names, ADDeallocator* deallocator);  // 5
TrustState GetDomainTrustState();                                                   // 7
ADStatus GetTrustedDomains(ADDomainNames*** domains, ADDeallocator* deallocator);   // 8
ADStatus GetMachineAccountDN(char** dn, ADDeallocator* deallocator);                // 9
ADStatus GetAnyDomainController(char const* qualifier, char const* domain, char** controller,
                                ADDeallocator* deallocator);  // 10
ADStatus ConvertCanonicalUsername(char const* name, char** canonical,
                                  ADDeallocator* deallocator);  // 11
ADStatus JoinDomainWithMachineAccount(ADDirectoryDomainInfo const* domain,
                                      ADMachineAccountInfo const* account);  // 12
ADStatus GetHostPrincipalForDomain(char const* domain, char** principal,
                                   ADDeallocator* deallocator);        // 13
uint32_t GetDomainTrustRelationship(char const* domain);               // 14
ADStatus LookupAccount(char const* name, char** canonical, char** sid, uint32_t* isGroup,
                       ADDeallocator* deallocator);                    // E3
ADStatus GetLastChanges(char*** changes, ADDeallocator* deallocator);  // E4

// Extension E2: slot 1 with AD_JOIN_... flags; an unknown flag is refused (87).
ADStatus JoinDomainWithOptions(char const* domain, char const* computerContainer,
                               Credentials const* credentials, uint32_t flags);

}  // namespace sambaprovider

#endif
