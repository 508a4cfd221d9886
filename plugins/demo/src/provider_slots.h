#ifndef DEMO_DIRECTORY_PROVIDER_SLOTS_H
#define DEMO_DIRECTORY_PROVIDER_SLOTS_H

#include <tslauth/active_directory_client.h>

#include <cstdint>

// The provider's operations, one function per slot of its table. None of them throws.
namespace demodirectory {

// Membership: provider_membership.cpp.
ADStatus JoinDomain(char const* domain, char const* computerContainer,
                    Credentials const* credentials);
ADStatus PartDomain(Credentials const* credentials);
ADStatus JoinDomainWithMachineAccount(ADDirectoryDomainInfo const* domain,
                                      ADMachineAccountInfo const* account);

// What the host's membership looks like: provider_membership_queries.cpp.
ADStatus GetActiveDomain(ADDomainNames* domain, ADDeallocator* deallocator);
ADStatus GetPreferredDomainControllers(char*** names, ADDeallocator* deallocator);
TrustState GetDomainTrustState();
ADStatus GetTrustedDomains(ADDomainNames*** domains, ADDeallocator* deallocator);
ADStatus GetMachineAccountDN(char** dn, ADDeallocator* deallocator);
std::uint32_t GetDomainTrustRelationship(char const* domain);

// Questions to the directory: provider_directory_queries.cpp.
ADStatus GetAnyDomainController(char const* qualifier, char const* domain, char** controller,
                                ADDeallocator* deallocator);
ADStatus ConvertCanonicalUsername(char const* name, char** canonical, ADDeallocator* deallocator);
ADStatus GetHostPrincipalForDomain(char const* domain, char** principal,
                                   ADDeallocator* deallocator);

// The host's own settings: provider_settings.cpp.
ADStatus SetPreferredDomainControllers(char const* const* names);
ADStatus SetSmartCardEnabledServices(char const* const* services);
ADStatus GetSmartCardEnabledServices(char*** services, ADDeallocator* deallocator);

}  // namespace demodirectory

#endif
